// kestrel-s3: the send command for S3-compatible object stores. Stores one
// crash's snapshot (and, as configured, its asset and its core image,
// compressed) under
//   <prefix>/<host>/<YYYY-MM-DD>/<signature>/<name>.{txt,asset,core.zst}
// Storing the same crash again writes the same objects, so a send that is
// retried, or run twice after a restart, does no harm. Exits 0 when every
// object is stored; otherwise non-zero with the store's answer on standard
// error, so that the daemon tries again later.

#include "s3/conf.h"
#include "s3/crash.h"
#include "s3/http.h"
#include "s3/upload.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static const char usage[] =
    "usage: kestrel-s3 [-C <configuration>] [-a <asset>] [-c <core image>] [-G <signature>]\n"
    "                  <snapshot> <name> s3://<bucket>[/<prefix>]\n";

static void stored(const char *bucket, const char *key, const struct ks_s3_upload_stats *stats)
{
    if (stats->read != stats->stored)
        printf("kestrel-s3: stored s3://%s/%s (%" PRIu64 " bytes from %" PRIu64 ", %u part%s)\n", bucket, key,
               stats->stored, stats->read, stats->parts > 0 ? stats->parts : 1, stats->parts > 1 ? "s" : "");
    else
        printf("kestrel-s3: stored s3://%s/%s (%" PRIu64 " bytes)\n", bucket, key, stats->stored);
}

int main(int argc, char **argv)
{
    const char *conf_path = KS_S3_CONF_DEFAULT, *asset = nullptr, *core = nullptr, *signature = nullptr;
    char error[1024], bucket[256], prefix[1024], key[4096];
    int c;

    while ((c = getopt(argc, argv, "+C:a:c:G:h")) != -1) {
        switch (c) {
        case 'C':
            conf_path = optarg;
            break;
        case 'a':
            asset = optarg;
            break;
        case 'c':
            core = optarg;
            break;
        case 'G':
            signature = optarg;
            break;
        case 'h':
            fputs(usage, stdout);
            return 0;
        default:
            fputs(usage, stderr);
            return 2;
        }
    }
    if (argc - optind != 3) {
        fputs(usage, stderr);
        return 2;
    }
    const char *snapshot = argv[optind], *name = argv[optind + 1], *destination = argv[optind + 2];
    if (!ks_s3_crash_destination(destination, bucket, sizeof bucket, prefix, sizeof prefix)) {
        fprintf(stderr, "kestrel-s3: %s is not s3://<bucket>[/<prefix>]\n", destination);
        return 2;
    }

    static struct ks_s3_conf conf;
    if (!ks_s3_conf_load(&conf, conf_path, error, sizeof error)) {
        fprintf(stderr, "kestrel-s3: %s\n", error);
        return 1;
    }
    struct ks_s3_crash crash;
    if (!ks_s3_crash_locate(&crash, snapshot, name, asset, core, signature, getenv("QUELLON_DEFAULTS"), error,
                            sizeof error)) {
        fprintf(stderr, "kestrel-s3: %s\n", error);
        return 1;
    }

    // A store that closes the connection must give an error to report,
    // not end the process silently.
    signal(SIGPIPE, SIG_IGN);
    static struct ks_s3_http http;
    if (!ks_s3_http_open(&http, &conf)) {
        fprintf(stderr, "kestrel-s3: %s\n", http.error);
        return 1;
    }
    struct ks_s3_upload_stats stats;
    bool ok = true;
    // The report goes last: once it is there, so is everything it refers to.
    if (conf.upload_asset && crash.asset[0] == '\0') {
        fprintf(stderr, "kestrel-s3: warning: crash %s has no asset to store\n", crash.name);
    } else if (conf.upload_asset) {
        ok = ks_s3_crash_key(&crash, prefix, ".asset", key, sizeof key) &&
             ks_s3_upload_file(&http, bucket, key, crash.asset, "application/x-tar", &stats);
        if (ok)
            stored(bucket, key, &stats);
    }
    if (ok && conf.upload_core && crash.core[0] == '\0') {
        fprintf(stderr, "kestrel-s3: warning: crash %s has no core image to store\n", crash.name);
    } else if (ok && conf.upload_core) {
        ok = ks_s3_crash_key(&crash, prefix, ".core.zst", key, sizeof key) &&
             ks_s3_upload_core(&http, bucket, key, crash.core, &stats);
        if (ok)
            stored(bucket, key, &stats);
    }
    if (ok) {
        ok = ks_s3_crash_key(&crash, prefix, ".txt", key, sizeof key) &&
             ks_s3_upload_file(&http, bucket, key, crash.snapshot, "text/plain", &stats);
        if (ok)
            stored(bucket, key, &stats);
    }
    if (!ok)
        fprintf(stderr, "kestrel-s3: %s\n", http.error[0] != '\0' ? http.error : "the key is too long");
    ks_s3_http_close(&http);
    return ok ? 0 : 1;
}
