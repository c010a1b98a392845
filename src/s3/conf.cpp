#include "s3/conf.h"

#include "common/parse.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static const size_t line_max = 8192;

bool ks_s3_fail(char *error, size_t size, const char *format, ...)
{
    va_list ap;

    va_start(ap, format);
    vsnprintf(error, size, format, ap);
    va_end(ap);
    return false;
}

static bool parse_bool(const char *value, bool *out)
{
    static const char *const yes[] = {"yes", "true", "on", "1"};
    static const char *const no[] = {"no", "false", "off", "0"};

    for (const char *word : yes)
        if (strcasecmp(value, word) == 0)
            return *out = true, true;
    for (const char *word : no)
        if (strcasecmp(value, word) == 0)
            return *out = false, true;
    return false;
}

static bool parse_unsigned(const char *value, unsigned long max, unsigned long *out)
{
    char *end;

    errno = 0;
    unsigned long n = strtoul(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || n > max || value[0] == '-')
        return false;
    *out = n;
    return true;
}

// A byte count with an optional K, M or G (powers of 1024).
static bool parse_bytes(const char *value, size_t *out)
{
    char *end;

    errno = 0;
    unsigned long long n = strtoull(value, &end, 10);
    if (errno != 0 || end == value || value[0] == '-')
        return false;
    unsigned shift = 0;
    if (*end == 'K' || *end == 'k')
        shift = 10;
    else if (*end == 'M' || *end == 'm')
        shift = 20;
    else if (*end == 'G' || *end == 'g')
        shift = 30;
    if (shift != 0)
        end++;
    if (*end != '\0' || n > (ULLONG_MAX >> shift) || (n << shift) > SIZE_MAX)
        return false;
    *out = static_cast<size_t>(n << shift);
    return true;
}

static bool parse_seconds(const char *value, unsigned *out)
{
    const char *error;
    time_t seconds;

    if (strlen(value) < 2 || !ks_parse_age(&seconds, value, &error) || seconds > 86400)
        return false;
    // ks_parse_age stops at the unit letter; nothing may follow it.
    if (value[strspn(value, "0123456789") + 1] != '\0')
        return false;
    *out = static_cast<unsigned>(seconds);
    return true;
}

static bool copy_text(const char *value, char *out, size_t size)
{
    size_t length = strlen(value);

    if (length >= size)
        return false;
    memcpy(out, value, length + 1);
    return true;
}

static bool set(struct ks_s3_conf *conf, const char *key, const char *value, bool *known)
{
    unsigned long n;

    *known = true;
    if (strcmp(key, "endpoint") == 0) {
        size_t length = strlen(value);
        while (length > 0 && value[length - 1] == '/')
            length--;
        if ((strncmp(value, "http://", 7) != 0 && strncmp(value, "https://", 8) != 0) ||
            length >= sizeof conf->endpoint || length <= 8)
            return false;
        memcpy(conf->endpoint, value, length);
        conf->endpoint[length] = '\0';
        return true;
    }
    if (strcmp(key, "region") == 0)
        return copy_text(value, conf->region, sizeof conf->region) && value[0] != '\0';
    if (strcmp(key, "access.key") == 0)
        return copy_text(value, conf->access_key, sizeof conf->access_key);
    if (strcmp(key, "secret.key") == 0)
        return copy_text(value, conf->secret_key, sizeof conf->secret_key);
    if (strcmp(key, "ca.file") == 0)
        return copy_text(value, conf->ca_file, sizeof conf->ca_file);
    if (strcmp(key, "upload.asset") == 0)
        return parse_bool(value, &conf->upload_asset);
    if (strcmp(key, "upload.core") == 0)
        return parse_bool(value, &conf->upload_core);
    if (strcmp(key, "core.level") == 0) {
        if (!parse_unsigned(value, 19, &n) || n == 0)
            return false;
        conf->core_level = static_cast<int>(n);
        return true;
    }
    if (strcmp(key, "core.threads") == 0) {
        if (!parse_unsigned(value, 256, &n))
            return false;
        conf->core_threads = static_cast<unsigned>(n);
        return true;
    }
    if (strcmp(key, "part.size") == 0)
        return parse_bytes(value, &conf->part_size) && conf->part_size >= KS_S3_CONF_PART_MIN &&
               conf->part_size <= KS_S3_CONF_PART_MAX;
    if (strcmp(key, "timeout") == 0)
        return parse_seconds(value, &conf->timeout);
    if (strcmp(key, "connect.timeout") == 0)
        return parse_seconds(value, &conf->connect_timeout);
    if (strcmp(key, "retry.limit") == 0) {
        if (!parse_unsigned(value, 10, &n))
            return false;
        conf->retry_limit = static_cast<unsigned>(n);
        return true;
    }
    *known = false;
    return true;
}

static char *trim(char *text)
{
    while (*text == ' ' || *text == '\t')
        text++;
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t' || text[length - 1] == '\r'))
        text[--length] = '\0';
    return text;
}

// Only the owner may read the file: checked on the opened descriptor, so
// that what is judged is what is read.
static bool private_enough(int fd, const char *path, char *error, size_t size)
{
    struct stat st;

    if (fstat(fd, &st) != 0)
        return ks_s3_fail(error, size, "cannot examine %s: %s", path, strerror(errno));
    if (!S_ISREG(st.st_mode))
        return ks_s3_fail(error, size, "%s is not a regular file", path);
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return ks_s3_fail(error, size, "%s belongs to uid %u, neither to this user (uid %u) nor to root; refusing to use its keys",
                    path, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
    if ((st.st_mode & 077) != 0)
        return ks_s3_fail(error, size, "%s holds a secret key but others may access it (mode %04o); run chmod 600 on it",
                    path, static_cast<unsigned>(st.st_mode & 07777));
    return true;
}

bool ks_s3_conf_load(struct ks_s3_conf *conf, const char *path, char *error, size_t size)
{
    *conf = {};
    strcpy(conf->region, "us-east-1");
    conf->core_level = 3;
    conf->part_size = 8u << 20;
    conf->timeout = 90;
    conf->connect_timeout = 10;
    conf->retry_limit = 3;

    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ks_s3_fail(error, size, "cannot open %s: %s", path, strerror(errno));
    if (!private_enough(fd, path, error, size)) {
        close(fd);
        return false;
    }
    FILE *file = fdopen(fd, "r");
    if (file == nullptr) {
        close(fd);
        return ks_s3_fail(error, size, "cannot read %s: %s", path, strerror(errno));
    }

    char *line = static_cast<char *>(malloc(line_max));
    bool ok = line != nullptr || ks_s3_fail(error, size, "cannot read %s: out of memory", path);
    for (unsigned number = 1; ok && fgets(line, static_cast<int>(line_max), file) != nullptr; number++) {
        size_t length = strlen(line);
        if (length > 0 && line[length - 1] == '\n')
            line[--length] = '\0';
        else if (!feof(file))
            ok = ks_s3_fail(error, size, "%s:%u: line too long", path, number);
        char *text = trim(line);
        if (!ok || text[0] == '\0' || text[0] == '#')
            continue;
        char *equal = strchr(text, '=');
        if (equal == nullptr) {
            ok = ks_s3_fail(error, size, "%s:%u: not a \"key = value\" line", path, number);
            continue;
        }
        *equal = '\0';
        const char *key = trim(text), *value = trim(equal + 1);
        bool known;
        if (!set(conf, key, value, &known))
            ok = ks_s3_fail(error, size, "%s:%u: invalid value for %s", path, number, key);
        else if (!known)
            fprintf(stderr, "kestrel-s3: warning: %s:%u: unknown key %s\n", path, number, key);
    }
    if (ok && ferror(file))
        ok = ks_s3_fail(error, size, "cannot read %s: %s", path, strerror(errno));
    free(line);
    fclose(file);
    if (!ok)
        return false;
    if (conf->endpoint[0] == '\0')
        return ks_s3_fail(error, size, "%s: no endpoint", path);
    if (conf->access_key[0] == '\0' || conf->secret_key[0] == '\0')
        return ks_s3_fail(error, size, "%s: access.key and secret.key are both needed", path);
    return true;
}
