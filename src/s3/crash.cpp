#include "s3/crash.h"
#include "s3/conf.h"

#include "common/facts.h"
#include "common/tar.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

static bool copy_text(const char *text, size_t length, char *out, size_t size)
{
    if (length >= size)
        return false;
    memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

static bool is_dot_name(const char *text, size_t length)
{
    return (length == 1 && text[0] == '.') || (length == 2 && text[0] == '.' && text[1] == '.');
}

// A signature is one key component: letters, digits, "_" and "-" only.
static bool signature_valid(const char *text, size_t length)
{
    if (length == 0 || length > 64)
        return false;
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    }
    return true;
}

// A host name as one key component: anything but letters, digits, ".",
// "_" and "-" becomes "_".
static void host_component(const char *text, size_t length, char *out, size_t size)
{
    size_t n = 0;

    for (size_t i = 0; i < length && n + 1 < size && n < 253; i++) {
        char c = text[i];
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '_' || c == '-';
        out[n++] = plain ? c : '_';
    }
    out[n] = '\0';
    if (n == 0 || is_dot_name(out, n))
        snprintf(out, size, "%s", KS_S3_CRASH_UNKNOWN);
}

// The signature the asset's facts give, or "unknown".
static void crash_signature(const char *asset, char *out, size_t size)
{
    struct ks_tar_iterator *it = asset[0] != '\0' ? ks_tar_iterator_open(asset) : nullptr;
    char value[KS_FACTS_SIGNATURE_SIZE];

    snprintf(out, size, "%s", KS_S3_CRASH_UNKNOWN);
    if (it == nullptr)
        return;
    size_t length;
    ks_tar_type type;
    const char *facts = ks_tar_iterate_to(it, KS_FACTS_ENTRY, &length, &type);
    if (facts != nullptr && type == KS_TAR_T_FILE && ks_facts_signature(facts, length, value))
        snprintf(out, size, "%s", value);
    ks_tar_iterator_destroy(it);
}

// The value of the first "host=" line of the defaults command's output,
// which has the facts' key=value lines.
static bool defaults_host(const char *defaults, char *out, size_t size)
{
    size_t length = 0;
    const char *value = ks_facts_find(defaults, strlen(defaults), "host", &length);

    if (value == nullptr || length == 0)
        return false;
    host_component(value, length, out, size);
    return true;
}

static bool regular_file(const char *path, struct stat *st)
{
    return stat(path, st) == 0 && S_ISREG(st->st_mode);
}

// <root>/<directory>/<name> when snapshot lies in <root>/sending and that
// file exists; else "".
static void companion(const char *snapshot, const char *directory, const char *name, char *out, size_t size)
{
    const char *slash = strrchr(snapshot, '/');
    struct stat st;

    out[0] = '\0';
    if (slash == nullptr)
        return;
    size_t length = static_cast<size_t>(slash - snapshot);
    if (length < 7 || strncmp(slash - 7, "sending", 7) != 0 || (length > 7 && slash[-8] != '/'))
        return;
    int root = static_cast<int>(length - 7);
    int n = snprintf(out, size, "%.*s%s/%s", root, snapshot, directory, name);
    if (n < 0 || static_cast<size_t>(n) >= size || !regular_file(out, &st))
        out[0] = '\0';
}

bool ks_s3_crash_locate(struct ks_s3_crash *c, const char *snapshot, const char *name, const char *asset,
                        const char *core, const char *signature, const char *defaults, char *error,
                        size_t size)
{
    struct stat st;
    size_t name_length = strlen(name);

    *c = {};
    if (name_length == 0 || strchr(name, '/') != nullptr || is_dot_name(name, name_length) ||
        !copy_text(name, name_length, c->name, sizeof c->name))
        return ks_s3_fail(error, size, "invalid crash name \"%s\"", name);
    if (!copy_text(snapshot, strlen(snapshot), c->snapshot, sizeof c->snapshot))
        return ks_s3_fail(error, size, "snapshot path too long");
    errno = 0;
    if (!regular_file(snapshot, &st))
        return ks_s3_fail(error, size, "cannot read the snapshot %s: %s", snapshot,
                    errno != 0 ? strerror(errno) : "not a regular file");
    time_t when = st.st_mtime;

    if (asset != nullptr) {
        if (!copy_text(asset, strlen(asset), c->asset, sizeof c->asset) || !regular_file(asset, &st))
            return ks_s3_fail(error, size, "cannot find the asset %s", asset);
    } else {
        companion(snapshot, "assets", name, c->asset, sizeof c->asset);
    }
    if (core != nullptr) {
        if (!copy_text(core, strlen(core), c->core, sizeof c->core) || !regular_file(core, &st))
            return ks_s3_fail(error, size, "cannot find the core image %s", core);
    } else {
        companion(snapshot, "pending", name, c->core, sizeof c->core);
    }
    // The crash's time as the daemon takes it: the core image's, else the
    // asset's, else the snapshot's.
    if (c->core[0] != '\0' && stat(c->core, &st) == 0)
        when = st.st_mtime;
    else if (c->asset[0] != '\0' && stat(c->asset, &st) == 0)
        when = st.st_mtime;
    struct tm tm;
    gmtime_r(&when, &tm);
    strftime(c->date, sizeof c->date, "%Y-%m-%d", &tm);

    if (signature == nullptr) {
        crash_signature(c->asset, c->signature, sizeof c->signature);
    } else if (signature_valid(signature, strlen(signature))) {
        snprintf(c->signature, sizeof c->signature, "%s", signature);
    } else {
        if (signature[0] != '\0')
            fprintf(stderr, "kestrel-s3: warning: the signature \"%s\" cannot be part of a key; using \"%s\"\n",
                    signature, KS_S3_CRASH_UNKNOWN);
        snprintf(c->signature, sizeof c->signature, "%s", KS_S3_CRASH_UNKNOWN);
    }

    if (!defaults_host(defaults, c->host, sizeof c->host)) {
        char host[256] = "";
        if (gethostname(host, sizeof host - 1) != 0)
            host[0] = '\0';
        host_component(host, strlen(host), c->host, sizeof c->host);
    }
    return true;
}

bool ks_s3_crash_key(const struct ks_s3_crash *c, const char *prefix, const char *suffix, char *out, size_t size)
{
    int n = snprintf(out, size, "%s%s%s/%s/%s/%s%s", prefix, prefix[0] != '\0' ? "/" : "", c->host, c->date,
                     c->signature, c->name, suffix);
    return n >= 0 && static_cast<size_t>(n) < size;
}

bool ks_s3_crash_destination(const char *destination, char *bucket, size_t bucket_size, char *prefix,
                             size_t prefix_size)
{
    if (strncmp(destination, "s3://", 5) != 0)
        return false;
    const char *p = destination + 5;
    size_t length = strcspn(p, "/");
    if (length == 0 || !copy_text(p, length, bucket, bucket_size))
        return false;
    for (size_t i = 0; i < length; i++) {
        char c = p[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-'))
            return false;
    }
    if (is_dot_name(p, length))
        return false;
    p += length;

    size_t n = 0;
    while (*p != '\0') {
        while (*p == '/')
            p++;
        size_t part = strcspn(p, "/");
        if (part == 0)
            break;
        if (is_dot_name(p, part) || n + (n > 0) + part >= prefix_size)
            return false;
        if (n > 0)
            prefix[n++] = '/';
        memcpy(prefix + n, p, part);
        n += part;
        p += part;
    }
    if (prefix_size == 0)
        return false;
    prefix[n] = '\0';
    return true;
}
