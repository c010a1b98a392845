// kestrel: lists the crashes of the archive tree, shows one in detail or
// under the debugger, and puts failed ones back into the pipeline. It reads
// the daemon's configuration but never talks to the daemon and takes no lock.

#include "client/client.h"
#include "client/compress.h"
#include "client/debug.h"
#include "client/history.h"
#include "client/info.h"
#include "client/list.h"
#include "client/metrics.h"
#include "client/retry.h"
#include "client/signatures.h"
#include "common/cf.h"
#include "common/cred.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <unistd.h>

static const char usage_text[] = "Usage: kestrel [-c <configuration file>] <command> [<arguments>]\n\n"
                                 "    list           Query state of dumps\n"
                                 "    retry          Attempt to retry sending of a dump\n"
                                 "    info           Show one dump in detail\n"
                                 "    debug          Open one dump in gdb\n"
                                 "    metrics        Print the pipeline's state for Prometheus\n"
                                 "    history        Show the crash ledger, newest first\n"
                                 "    signatures     Count the ledger's crashes by signature\n"
                                 "    compress       Compress kept core images with zstd\n"
                                 "\n"
                                 "Options, before the command:\n"
                                 "    -c, --cf <file>  Read this configuration file instead of the first of\n"
                                 "                     /etc/kestrel/kestrel.conf,\n"
                                 "                     /usr/local/etc/kestrel/kestrel.conf and\n"
                                 "                     /opt/quellon/etc/kestrel/kestrel.conf\n"
                                 "    -h, --help       Print this text; \"kestrel <command> -h\" describes a command\n"
                                 "    -v, --version    Print the version\n";

static struct {
    const char *cf_path;
} client;

[[noreturn]] static void usage(FILE *fp)
{
    fputs(usage_text, fp);
    exit(fp == stderr ? 1 : 0);
}

void ks_client_allocation_failure(void)
{
    perror("error: internal allocation failure");
    exit(1);
}

static bool unset(const char *value)
{
    return value == nullptr || *value == '\0';
}

// Without both stage templates the configuration computes no archive paths,
// and there would be nothing to look at.
[[noreturn]] static void archive_unknown(const char *error)
{
    struct ks_cf *cf = ks_cf_get();
    bool snapshot = unset(cf->daemon.stages[KS_SLAVE_SNAPSHOT].template_);
    bool send = unset(cf->daemon.stages[KS_SLAVE_SEND].template_);
    const char *file = ks_cf_path_get() != nullptr ? ks_cf_path_get() : "the configuration file";

    if (snapshot && send)
        fprintf(stderr, "error: snapshot.command and send.command are not set in %s\n", file);
    else if (snapshot || send)
        fprintf(stderr, "error: %s is not set in %s\n", snapshot ? "snapshot.command" : "send.command", file);
    else
        fprintf(stderr, "error: failed to compute the archive paths: %s\n", error != nullptr ? error : "unknown error");
    exit(1);
}

// Root reads the tree as its owner, so that nothing the owner planted there
// gets more than the owner's own rights; this comes before the tree is
// touched, and root's supplementary groups go too.
static void privileges_drop(void)
{
    const struct ks_cf *cf = ks_cf_get();
    const char *error = "";

    if (geteuid() != 0)
        return;
    if (setgroups(0, nullptr) == -1) {
        perror("error: failed to drop privileges");
        exit(1);
    }
    if (!ks_cred_suid(cf->archive.uid, cf->archive.gid, &error)) {
        fprintf(stderr, "error: failed to drop privileges: %s: %s\n", error, strerror(errno));
        exit(1);
    }
    // gdb, started by debug, reads its start-up files from the home.
    if (cf->archive.home != nullptr && cf->archive.uid != 0)
        (void) setenv("HOME", cf->archive.home, 1);
}

static const struct {
    const char *name;
    void (*handler)(int argc, char **argv);
} commands[] = {
    {"list", ks_list_run},
    {"retry", ks_retry_run},
    {"info", ks_info_run},
    {"debug", ks_debug_run},
    {"metrics", ks_metrics_run},
    {"history", ks_history_run},
    {"signatures", ks_signatures_run},
    {"compress", ks_compress_run},
};

int main(int argc, char **argv)
{
    int i;

    ks_cf_init();
    for (i = 1; i < argc && argv[i][0] == '-'; i++) {
        const char *option = argv[i];

        if (strcmp(option, "-v") == 0 || strcmp(option, "--version") == 0) {
            printf("kestrel version 1.5.18\n");
            return 0;
        }
        if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0)
            usage(stdout);
        if (strcmp(option, "-c") == 0 || strcmp(option, "--cf") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                usage(stderr);
            client.cf_path = argv[++i];
        }
    }
    if (i >= argc || argv[i][0] == '\0')
        usage(stdout);

    // A crash fetched from elsewhere is debugged without any configuration.
    if (strcmp(argv[i], "debug") == 0 && ks_debug_outside(argc - i, argv + i)) {
        ks_debug_run(argc - i, argv + i);
        return 0;
    }

    const char *error = nullptr;
    ks_cf_load(client.cf_path);
    privileges_drop();
    bool ensured = ks_cf_ensure(0, &error);

    for (const auto &command : commands) {
        if (strcmp(argv[i], command.name) != 0)
            continue;
        if (!ensured)
            archive_unknown(error);
        command.handler(argc - i, argv + i);
        // A listing that did not reach its reader is a failure, not a success.
        if (fflush(stdout) == EOF || ferror(stdout)) {
            perror("error: failed to write output");
            return 1;
        }
        return 0;
    }
    fputs("error: unknown command.\n", stderr);
    usage(stderr);
}
