#include "common/cf.h"

#include "common/cred.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/ledger.h"
#include "common/list.h"
#include "common/log.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <unistd.h>

typedef void ks_cf_parser_t(char *line, size_t length, unsigned int ln);

// One format.N line.
struct ks_cf_format_rule {
    char position;
    const char *value;
    const char *format;     // null for an unconditional rule
    const char *expression; // null, or the source of rge
    regex_t rge;
    ks_tailq_entry linkage;
    // value, format and expression follow in the same allocation
};

// One dump.ignore line.
struct ks_cf_archive_ignore {
    ks_list_entry linkage;
    regex_t rge;
};

static const char default_root[] = "/var/kestrel/archive";
static const char default_command[] = "/opt/quellon/kestrel/sbin/archive -p%p -P%P -l%c";
static const char default_defaults_command[] = "/opt/quellon/etc/kestrel/defaults %e";
static const char default_defaults_variable[] = "QUELLON_DEFAULTS";

static const char *const default_places[] = {
    "/etc/kestrel/kestrel.conf",
    "/usr/local/etc/kestrel/kestrel.conf",
    "/opt/quellon/etc/kestrel/kestrel.conf",
};

static const size_t default_byte_limit = 104857600;

static struct {
    struct ks_cf cf;
    const char *path;     // the file ks_cf_load read
    ks_tailq_head frule;  // format rules, in file order
    ks_list_head ignored; // ignore rules, newest first
    FILE *file;           // the file being loaded
    char *tree_root;      // the root the tree paths were computed from
} state;

// Loading ends the process on the first error; the stream is closed first so
// that nothing of a failed load stays open.
[[noreturn]] static void cf_exit(void)
{
    if (state.file != nullptr) {
        fclose(state.file);
        state.file = nullptr;
    }
    exit(1);
}

[[noreturn]] __attribute__((format(printf, 1, 2))) static void cf_die_stderr(const char *format, ...)
{
    va_list ap;

    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    cf_exit();
}

[[noreturn]] __attribute__((format(printf, 2, 3))) static void cf_die_log(int level, const char *format, ...)
{
    va_list ap;

    va_start(ap, format);
    vsyslog(level, format, ap);
    va_end(ap);
    cf_exit();
}

// Defaults are constants; everything else a string field holds is the
// record's own heap copy.
static bool cf_is_default(const char *s)
{
    return s == default_root || s == default_command || s == default_defaults_command ||
           s == default_defaults_variable;
}

static void cf_release(const char *s)
{
    if (!cf_is_default(s))
        free(const_cast<char *>(s));
}

// A repeated key replaces the earlier copy, which nothing else refers to.
static void cf_replace(const char **slot, const char *copy)
{
    cf_release(*slot);
    *slot = copy;
}

static void cf_set_text(const char **slot, const char *value)
{
    char *copy = strdup(value);

    if (copy == nullptr)
        cf_die_stderr("error: internal allocation error.\n");
    cf_replace(slot, copy);
}

// The rules belong to the queue; nothing else refers to them.
static void cf_frule_release(void)
{
    for (ks_tailq_entry *e = state.frule.tqh_first, *next; e != nullptr; e = next) {
        next = e->tqe_next;
        struct ks_cf_format_rule *rule = KS_CONTAINER_OF(e, struct ks_cf_format_rule, linkage);
        if (rule->format != nullptr)
            regfree(&rule->rge);
        free(rule);
    }
    ks_tailq_init(&state.frule);
}

// Frees what the record owns. Only ks_cf_deinit does: callers may have put
// strings of their own into the record.
static void cf_record_release(void)
{
    struct ks_cf *cf = &state.cf;
    const char *owned[] = {
        cf->path.staging,     cf->path.pending,     cf->path.sending,
        cf->path.committed,   cf->path.sent,        cf->path.assets,
        cf->path.failed.pending,  cf->path.failed.sending,
        cf->archive.suffix,   cf->archive.root,     cf->archive.home,     cf->archive.command,
        cf->daemon.defaults_command,  cf->daemon.defaults_variable,  cf->daemon.compress.client,
    };

    for (const char *s : owned)
        cf_release(s);
    ks_format_free(cf->daemon.defaults_format);
    for (auto &stage : cf->daemon.stages) {
        cf_release(stage.template_);
        cf_release(stage.append_output.file_path);
        ks_format_free(stage.format);
    }
}

void ks_cf_init(void)
{
    struct ks_cf *cf = &state.cf;

    cf_frule_release();
    openlog("kestrel", LOG_PID, LOG_DAEMON);
    memset(cf, 0, sizeof(*cf));

    cf->archive.root = default_root;
    cf->archive.mode = 0640;
    cf->archive.uid = getuid();
    cf->archive.gid = getgid();
    cf->archive.unlink = true;
    cf->archive.quota = 0.05;
    cf->archive.ledger_age = KS_LEDGER_AGE_DEFAULT;
    cf->daemon.defaults_command = default_defaults_command;
    cf->daemon.defaults_variable = default_defaults_variable;
    for (auto &stage : cf->daemon.stages) {
        stage.limit = 12;
        stage.interval = 60;
    }
    cf->daemon.log.level = LOG_INFO;
    // Out of memory this early, the constant serves just as well.
    const char *command = strdup(default_command);
    cf->archive.command = command != nullptr ? command : default_command;
    cf->archive.disabled = false;
}

struct ks_cf *ks_cf_get(void) { return &state.cf; }

const char *ks_cf_path_get(void) { return state.path; }

void ks_cf_deinit(void)
{
    cf_record_release();
    memset(&state.cf, 0, sizeof(state.cf));
    cf_frule_release();
    for (ks_list_entry *e = state.ignored.lh_first, *next; e != nullptr; e = next) {
        next = e->le_next;
        struct ks_cf_archive_ignore *rule = KS_CONTAINER_OF(e, struct ks_cf_archive_ignore, linkage);
        regfree(&rule->rge);
        free(rule);
    }
    ks_list_init(&state.ignored);
    free(const_cast<char *>(state.path));
    state.path = nullptr;
    free(state.tree_root);
    state.tree_root = nullptr;
}

// The tree is made, and an existing one tightened, from the root down
// through directory descriptors: its owner cannot steer the walk with links.
// The computed paths name the same directories below the root.
// The directories below the root, in the order of the path block.
static const char *const tree_names[] = {"staging", "pending", "sending", "committed/coredump",
                                         "committed/snapshot", "assets", "failed/pending", "failed/sending"};

static bool cf_tree_ensure(const char **error)
{
    static char message[4200];
    struct ks_cf *cf = &state.cf;
    struct ks_fs_tree *tree = static_cast<struct ks_fs_tree *>(calloc(1, sizeof *tree));
    bool ok = false;

    if (tree == nullptr) {
        *error = "internal allocation failure";
        return false;
    }
    *tree = {cf->archive.uid, cf->archive.gid, 0750, true, true, {}};
    int root = ks_fs_tree_root(state.tree_root, tree);
    if (root != -1) {
        ok = true;
        for (const char *name : tree_names) {
            int fd = ks_fs_tree_dir(root, name, tree);
            if (fd == -1) {
                // Named from the root, as the administrator knows it.
                char inside[4096];
                snprintf(inside, sizeof inside, "%.2048s/%.2000s", state.tree_root, tree->failed);
                memcpy(tree->failed, inside, sizeof inside);
                ok = false;
                break;
            }
            ks_fd_close(fd);
        }
        ks_fd_close(root);
    }
    if (!ok) {
        *error = "failed to ensure path";
        if (errno == ELOOP) {
            snprintf(message, sizeof message, "failed to ensure path: %s is a symbolic link", tree->failed);
            *error = message;
        }
    }
    free(tree);
    return ok;
}

bool ks_cf_ensure(unsigned long n, const char **error)
{
    struct ks_cf *cf = &state.cf;
    const char **paths[] = {&cf->path.staging,   &cf->path.pending, &cf->path.sending,
                            &cf->path.committed, &cf->path.sent,    &cf->path.assets,
                            &cf->path.failed.pending, &cf->path.failed.sending};
    const char *send = cf->daemon.stages[KS_SLAVE_SEND].template_;
    const char *snapshot = cf->daemon.stages[KS_SLAVE_SNAPSHOT].template_;

    if (send == nullptr || *send == '\0') {
        ks_log(LOG_ERR, "error: send template must be defined.\n");
        return false;
    }
    if (snapshot == nullptr || *snapshot == '\0') {
        ks_log(LOG_ERR, "error: snapshot template must be defined.\n");
        return false;
    }
    for (size_t i = 0; i < sizeof paths / sizeof paths[0]; i++) {
        // Computed once per process: a later change of the root moves nothing.
        if (*paths[i] == nullptr) {
            char *path;
            if (asprintf(&path, "%s/%s", cf->archive.root, tree_names[i]) == -1) {
                *error = "internal allocation failure";
                return false;
            }
            *paths[i] = path;
        }
    }
    if (state.tree_root == nullptr && (state.tree_root = strdup(cf->archive.root)) == nullptr) {
        *error = "internal allocation failure";
        return false;
    }
    return (n & 1) == 0 || cf_tree_ensure(error);
}

// Value syntaxes.

static bool ks_cf_ul(unsigned long *target, const char *value, int base)
{
    char *end;

    errno = 0;
    unsigned long result = strtoul(value, &end, base);
    if (errno == ERANGE || (errno != 0 && result == 0) || end == value || *end != '\0')
        return false;
    *target = result;
    return true;
}

static void cf_parse_bool(bool *target, const char *value)
{
    const char *text = ks_ltrim(value);

    if (strcasecmp(text, "true") == 0)
        *target = true;
    else if (strcasecmp(text, "false") == 0)
        *target = false;
    else
        cf_die_log(LOG_ERR, "error: malformed boolean value [%s]\n", text);
}

// Read as atoi reads, truncated into the field's unsigned 32 bits.
static unsigned int cf_integer(const char *value)
{
    return static_cast<unsigned int>(strtoll(value, nullptr, 10));
}

static ks_cf_action cf_action(const char *value)
{
    return strcasecmp(value, "unlink") == 0 ? KS_CF_A_UNLINK : KS_CF_A_ARCHIVE;
}

static void cf_age(time_t *target, const char *value, unsigned int ln)
{
    const char *error = "";

    if (!ks_parse_age(target, value, &error))
        cf_die_log(LOG_ERR, "error: timestamp malformed at line %u: %s\n", ln, error);
}

// "<digits>%": the percentage as a fraction.
static bool cf_percentage(double *target, const char *value)
{
    uint64_t n = 0;
    const char *p = value;

    for (; isdigit(static_cast<unsigned char>(*p)); p++) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (n > (UINT64_MAX - digit) / 10)
            return false;
        n = n * 10 + digit;
    }
    if (p == value || *p != '%')
        return false;
    *target = static_cast<double>(n) / 100;
    return true;
}

// "unlimited", or a positive byte count with an optional binary unit:
// 512, 64k, 8M, 2G, 1T (an optional "B" or "iB" after the unit).
static bool cf_size(uint64_t *target, const char *value)
{
    static const char units[] = "kmgt";
    char *end;

    if (strcmp(value, "unlimited") == 0) {
        *target = 0;
        return true;
    }
    if (!isdigit(static_cast<unsigned char>(*value)))
        return false;
    errno = 0;
    unsigned long long n = strtoull(value, &end, 10);
    if (errno != 0 || n == 0)
        return false;
    const char *unit = *end != '\0' ? strchr(units, tolower(static_cast<unsigned char>(*end))) : nullptr;
    if (unit != nullptr) {
        for (const char *u = units; u <= unit; u++) {
            if (n > UINT64_MAX / 1024)
                return false;
            n *= 1024;
        }
        end++;
        if (strcmp(end, "B") == 0 || strcmp(end, "iB") == 0)
            end += strlen(end);
    } else if (strcmp(end, "B") == 0) {
        end++;
    }
    if (*end != '\0')
        return false;
    *target = n;
    return true;
}

// Seconds: "0" (off), a plain number, or an age with its unit.
static bool cf_window(time_t *target, const char *value)
{
    const char *error = "";
    unsigned long seconds;

    if (ks_cf_ul(&seconds, value, 10)) {
        *target = static_cast<time_t>(seconds);
        return true;
    }
    return ks_parse_age(target, value, &error);
}

static const char *cf_word_end(const char *p)
{
    while (*p != '\0' && !isspace(static_cast<unsigned char>(*p)))
        p++;
    return p;
}

// "append <file> [rename|purge [<byte limit>]]"; the stage changes only when
// the whole value is valid.
static bool cf_parse_output_append_value(struct ks_cf_stage *stage, const char *value)
{
    const char *p = ks_ltrim(value);
    ks_cf_append_output_action action = KS_CF_APPEND_OUTPUT_ACTION_RENAME;
    size_t byte_limit = default_byte_limit;

    if (strncmp(p, "append", 6) != 0)
        return false;
    const char *file = ks_ltrim(cf_word_end(p));
    if (*file == '\0')
        return false;
    const char *file_end = cf_word_end(file);
    p = ks_ltrim(file_end);
    if (*p != '\0') {
        if (strncmp(p, "rename", 6) == 0)
            action = KS_CF_APPEND_OUTPUT_ACTION_RENAME;
        else if (strncmp(p, "purge", 5) == 0)
            action = KS_CF_APPEND_OUTPUT_ACTION_PURGE;
        else
            return false;
        p = ks_ltrim(cf_word_end(p));
        if (*p != '\0' && !ks_parse_size(&byte_limit, p))
            return false;
    }

    char *copy = strndup(file, static_cast<size_t>(file_end - file));
    if (copy == nullptr)
        cf_die_log(LOG_ERR, "error: internal allocation error.\n");
    cf_replace(&stage->append_output.file_path, copy);
    stage->append_output.action = action;
    stage->append_output.byte_limit = byte_limit;
    stage->output = KS_CF_SLAVE_OUTPUT_APPEND;
    return true;
}

static void cf_output(struct ks_cf_stage *stage, const char *value)
{
    if (strcmp(value, "null") == 0)
        stage->output = KS_CF_SLAVE_OUTPUT_NULL;
    else if (strcmp(value, "syslog") == 0)
        stage->output = KS_CF_SLAVE_OUTPUT_SYSLOG;
    else if (strcmp(value, "inherit") == 0)
        stage->output = KS_CF_SLAVE_OUTPUT_INHERIT;
    else if (!cf_parse_output_append_value(stage, value))
        cf_die_log(LOG_ERR, "error: unknown output mode [%s]\n", value);
}

static void cf_log_level(const char *value)
{
    static const struct {
        const char *name;
        int priority;
    } levels[] = {
        {"debug", LOG_DEBUG},  {"info", LOG_INFO}, {"notice", LOG_NOTICE},
        {"warning", LOG_WARNING}, {"err", LOG_ERR}, {"error", LOG_ERR},
    };

    for (const auto &level : levels) {
        if (strcmp(value, level.name) == 0) {
            state.cf.daemon.log.level = level.priority;
            return;
        }
    }
    cf_die_log(LOG_ERR, "error: unknown log level [%s]\n", value);
}

// Rules.

static void cf_format_rule(const char *key, char *value, unsigned int ln)
{
    const char *number = key + strlen("format.");

    if (*number == '\0')
        cf_die_log(LOG_ERR, "error: format option requires option on line %u.\n", ln);
    // atoi's reading, without its wrap-around for huge numbers.
    long n = strtol(number, nullptr, 10);
    if (n < 1 || n > 9)
        cf_die_log(LOG_ERR, "error: format positon must be between 0 and 9  on line %u.\n", ln);

    // value [format [expression]], split at single blanks; further parts are ignored.
    char *parts[3] = {value, nullptr, nullptr};
    for (int i = 1; i < 3; i++) {
        char *blank = strchr(parts[i - 1], ' ');
        if (blank == nullptr)
            break;
        *blank = '\0';
        parts[i] = blank + 1;
    }
    if (parts[2] != nullptr)
        parts[2][strcspn(parts[2], " ")] = '\0';

    const char *format = parts[1], *expression = parts[2];
    if (format != nullptr) {
        if (expression == nullptr)
            cf_die_log(LOG_ERR, "error: format requires expression on line %u.\n", ln);
        if (strlen(format) != 2)
            cf_die_log(LOG_ERR, "error: invalid format string.\n");
        if (isdigit(static_cast<unsigned char>(format[1])))
            cf_die_log(LOG_ERR, "error: format expansion cannot reference 0-9.\n");
        format = ks_ltrim(format);
        expression = ks_ltrim(expression);
    }

    size_t value_size = strlen(parts[0]) + 1;
    size_t format_size = format != nullptr ? strlen(format) + 1 : 0;
    size_t expression_size = expression != nullptr ? strlen(expression) + 1 : 0;
    struct ks_cf_format_rule *rule = static_cast<struct ks_cf_format_rule *>(
        calloc(1, sizeof(*rule) + value_size + format_size + expression_size));
    if (rule == nullptr)
        cf_die_log(LOG_ERR, "error: internal allocation failure.\n");
    char *payload = reinterpret_cast<char *>(rule + 1);
    rule->position = static_cast<char>('0' + n);
    rule->value = static_cast<char *>(memcpy(payload, parts[0], value_size));
    if (format != nullptr) {
        rule->format = static_cast<char *>(memcpy(payload + value_size, format, format_size));
        rule->expression = static_cast<char *>(memcpy(payload + value_size + format_size, expression, expression_size));
        if (regcomp(&rule->rge, rule->expression, REG_EXTENDED) != 0) {
            free(rule);
            cf_die_log(LOG_ERR, "error: malformed regular expression.\n");
        }
    }
    if (state.frule.tqh_last == nullptr)
        ks_tailq_init(&state.frule);
    ks_tailq_insert_tail(&state.frule, &rule->linkage);
}

static void cf_ignore_rule(const char *expression, unsigned int ln)
{
    struct ks_cf_archive_ignore *rule = static_cast<struct ks_cf_archive_ignore *>(calloc(1, sizeof(*rule)));

    if (rule == nullptr)
        cf_die_log(LOG_ERR, "error: allocation error: %u\n", ln);
    if (regcomp(&rule->rge, expression, REG_EXTENDED) != 0) {
        free(rule);
        cf_die_log(LOG_ERR, "error: malformed regular expression.\n");
    }
    ks_list_insert_head(&state.ignored, &rule->linkage);
}

const char *ks_cf_format_match(char position, ks_format_value_cb_t *cb, void *cl)
{
    for (ks_tailq_entry *e = state.frule.tqh_first; e != nullptr; e = e->tqe_next) {
        struct ks_cf_format_rule *rule = KS_CONTAINER_OF(e, struct ks_cf_format_rule, linkage);

        if (rule->position != position)
            continue;
        if (rule->format == nullptr)
            return rule->value;
        char *text = cb(rule->format[1], "", "", cl);
        if (text == nullptr)
            continue;
        int rc = regexec(&rule->rge, text, 0, nullptr, 0);
        free(text);
        // An execution error applies the rule as a match does.
        if (rc != REG_NOMATCH)
            return rule->value;
    }
    return "blackhole";
}

bool ks_cf_archive_ignore(const char *command)
{
    if (command == nullptr || *command == '\0')
        return false;
    for (ks_list_entry *e = state.ignored.lh_first; e != nullptr; e = e->le_next) {
        struct ks_cf_archive_ignore *rule = KS_CONTAINER_OF(e, struct ks_cf_archive_ignore, linkage);
        if (regexec(&rule->rge, command, 0, nullptr, 0) != REG_NOMATCH)
            return true;
    }
    return false;
}

bool ks_cf_archive_has_ignore(void) { return !ks_list_empty(&state.ignored); }

// Blocks.

void ks_cf_kv(char **k, char **v, char *line, size_t length, unsigned int ln)
{
    (void) length;
    char *equal = strchr(line, '=');

    if (equal == nullptr)
        cf_die_stderr("error: configuration parse error at line %u\n", ln);
    *equal = '\0';
    char *key = const_cast<char *>(ks_ltrim(line));
    *const_cast<char *>(cf_word_end(key)) = '\0';
    *k = key;
    *v = const_cast<char *>(ks_ltrim(equal + 1));
}

static void ks_cf_skip(char *line, size_t length, unsigned int ln)
{
    (void) line;
    (void) length;
    (void) ln;
}

static void ks_cf_general(char *line, size_t length, unsigned int ln)
{
    char *key, *value;

    if (line != nullptr)
        ks_cf_kv(&key, &value, line, length, ln);
}

static void ks_cf_archive(char *line, size_t length, unsigned int ln)
{
    struct ks_cf *cf = &state.cf;
    char *key, *value;
    const char *error = "";

    if (line == nullptr)
        return;
    ks_cf_kv(&key, &value, line, length, ln);

    if (strcmp(key, "dump.root") == 0) {
        cf_set_text(&cf->archive.root, value);
    } else if (strcmp(key, "dump.ignore") == 0) {
        cf_ignore_rule(value, ln);
    } else if (strcmp(key, "dump.quota") == 0) {
        if (!cf_percentage(&cf->archive.quota, value))
            cf_die_log(LOG_ERR, "error: malformed percentage  percentage %s at line %u\n", value, ln);
    } else if (strcmp(key, "dump.mode") == 0) {
        unsigned long mode;
        if (!ks_cf_ul(&mode, value, 8))
            cf_die_stderr("error: malformed mode: %s\n", value);
        cf->archive.mode = static_cast<mode_t>(mode);
    } else if (strcmp(key, "dump.user") == 0) {
        const char *home = nullptr;
        if (!ks_cred_uid_name(&cf->archive.uid, &home, value, &error))
            cf_die_stderr("error: invalid user: %s\n", error);
        cf_replace(&cf->archive.home, home);
    } else if (strcmp(key, "dump.group") == 0) {
        if (!ks_cred_gid_name(&cf->archive.gid, value, &error))
            cf_die_stderr("error: invalid group: %s\n", error);
    } else if (strcmp(key, "dump.fail") == 0) {
        if (strcmp(value, "unlink") != 0)
            cf_die_log(LOG_ERR, "error: unknown failure mode: %s\n", value);
        cf->archive.unlink = true;
    } else if (strcmp(key, "dump.size.max") == 0) {
        if (!cf_size(&cf->archive.size_max, value))
            cf_die_stderr("error: malformed size: %s\n", value);
    } else if (strcmp(key, "dump.storm.window") == 0) {
        if (!cf_window(&cf->archive.storm.window, value))
            cf_die_stderr("error: malformed storm window: %s\n", value);
    } else if (strcmp(key, "dump.storm.signature") == 0) {
        if (!ks_cf_ul(&cf->archive.storm.per_signature, value, 10))
            cf_die_stderr("error: malformed storm limit: %s\n", value);
    } else if (strcmp(key, "dump.storm.user") == 0) {
        if (!ks_cf_ul(&cf->archive.storm.per_user, value, 10))
            cf_die_stderr("error: malformed storm limit: %s\n", value);
    } else if (strcmp(key, "dump.core.limit") == 0) {
        if (strcmp(value, "ignore") != 0 && strcmp(value, "respect") != 0)
            cf_die_stderr("error: unknown core limit mode: %s\n", value);
        cf->archive.core_limit_ignore = strcmp(value, "ignore") == 0;
    } else if (strcmp(key, "dump.ledger.age") == 0) {
        if (!cf_window(&cf->archive.ledger_age, value) || cf->archive.ledger_age == 0)
            cf_die_stderr("error: malformed ledger age: %s\n", value);
    } else if (strcmp(key, "archive.command") == 0) {
        cf_set_text(&cf->archive.command, value);
    } else if (strcmp(key, "archive.disabled") == 0) {
        cf_parse_bool(&cf->archive.disabled, value);
    } else {
        fprintf(stderr, "warning: ignoring unknown archive option [%s]\n", key);
    }
}

// The keys of one stage, without their "snapshot." or "send." prefix.
static bool cf_stage_key(struct ks_cf_stage *stage, bool snapshot, const char *name, const char *value,
                         unsigned int ln)
{
    if (strcmp(name, "command") == 0 || (snapshot && strcmp(name, "template") == 0))
        cf_set_text(&stage->template_, value);
    else if (strcmp(name, "concurrency") == 0)
        stage->concurrency = cf_integer(value);
    else if (strcmp(name, "retry.action") == 0)
        stage->retry = cf_action(value);
    else if (strcmp(name, "retry.limit") == 0)
        stage->limit = cf_integer(value);
    else if (strcmp(name, "retry.interval") == 0)
        cf_age(&stage->interval, value, ln);
    else if (strcmp(name, "commit") == 0)
        stage->commit = cf_action(value);
    else if (strcmp(name, "output") == 0)
        cf_output(stage, value);
    else if (strcmp(name, "timeout") == 0)
        cf_age(&stage->timeout, value, ln);
    else
        return false;
    return true;
}

static void ks_cf_daemon(char *line, size_t length, unsigned int ln)
{
    struct ks_cf *cf = &state.cf;
    struct ks_cf_stage *stages = cf->daemon.stages;
    char *key, *value;

    if (line == nullptr)
        return;
    ks_cf_kv(&key, &value, line, length, ln);

    if (strcmp(key, "defaults.command") == 0) {
        cf_set_text(&cf->daemon.defaults_command, value);
    } else if (strcmp(key, "defaults.variable") == 0) {
        cf_set_text(&cf->daemon.defaults_variable, value);
    } else if (strncmp(key, "snapshot.", 9) == 0 && cf_stage_key(&stages[KS_SLAVE_SNAPSHOT], true, key + 9, value, ln)) {
    } else if (strncmp(key, "send.", 5) == 0 && cf_stage_key(&stages[KS_SLAVE_SEND], false, key + 5, value, ln)) {
    } else if (strcmp(key, "snapshot.compress") == 0) {
        if (strcmp(value, "zstd") == 0)
            cf->daemon.compress.method = KS_CF_COMPRESS_ZSTD;
        else if (strcmp(value, "none") == 0)
            cf->daemon.compress.method = KS_CF_COMPRESS_NONE;
        else
            cf_die_stderr("error: unknown compression at line %u: %s\n", ln, value);
    } else if (strcmp(key, "snapshot.compress.client") == 0) {
        cf_set_text(&cf->daemon.compress.client, value);
    } else if (strcmp(key, "purge.age") == 0) {
        cf_age(&cf->daemon.purge.age, value, ln);
    } else if (strcmp(key, "purge.quota") == 0) {
        if (!ks_cf_ul(&cf->daemon.purge.quota, value, 10))
            cf_die_log(LOG_ERR, "error: malformed quota at line %u\n", ln);
    } else if (strcmp(key, "purge.disabled") == 0) {
        cf_parse_bool(&cf->daemon.purge.disabled, value);
    } else if (strcmp(key, "log.level") == 0) {
        cf_log_level(value);
    } else if (strncmp(key, "format.", 7) == 0) {
        cf_format_rule(key, value, ln);
    } else {
        ks_log(LOG_WARNING, "warning: ignoring unknown daemon option %s\n", key);
    }
}

static ks_cf_parser_t *ks_cf_parser_get(const char *block)
{
    static const struct {
        const char *name;
        ks_cf_parser_t *parser;
    } parsers[] = {
        {nullptr, ks_cf_skip},
        {"general", ks_cf_general},
        {"daemon", ks_cf_daemon},
        {"archive", ks_cf_archive},
    };

    for (const auto &entry : parsers)
        if (entry.name != nullptr && strcmp(entry.name, block) == 0)
            return entry.parser;
    return ks_cf_skip;
}

static const char *cf_open(const char *path)
{
    if (path != nullptr) {
        state.file = fopen(path, "re");
        return path;
    }
    for (const char *place : default_places)
        if ((state.file = fopen(place, "re")) != nullptr)
            return place;
    return nullptr;
}

void ks_cf_load(const char *path)
{
    ks_cf_parser_t *parser = nullptr;
    unsigned int header = 0;
    char line[1024];

    path = cf_open(path);
    if (state.file == nullptr) {
        perror("error: configuration file could not be opened");
        cf_exit();
    }
    for (unsigned int ln = 1; fgets(line, sizeof line, state.file) != nullptr; ln++) {
        size_t length = strlen(line);

        // Also a line cut short by a NUL byte, which would otherwise be read
        // as two lines.
        if (length == 0 || line[length - 1] != '\n')
            cf_die_stderr("error: configuration file contains long line at %u\n", ln);
        line[length - 1] = '\0';

        switch (line[0]) {
        case '#':
        case '\0':
        case '\n':
        case '\r':
            break;
        case '[': {
            char *close = strchr(line + 1, ']');
            if (close == nullptr)
                cf_die_stderr("error: incomplete configuration block [%s] at line %u\n", line + 1, ln);
            *close = '\0';
            if (parser != nullptr)
                parser(nullptr, 0, header);
            parser = ks_cf_parser_get(line + 1);
            header = ln;
            break;
        }
        default:
            if (parser == nullptr)
                cf_die_stderr("error: configuration file lacks block at line %u\n", ln);
            parser(line, length, ln);
        }
    }
    // A read error is no end of file: a half-read configuration must not load.
    if (ferror(state.file)) {
        perror("error: configuration file could not be read");
        cf_exit();
    }
    if (parser != nullptr)
        parser(nullptr, 0, header);

    char *copy = strdup(path);
    if (copy == nullptr)
        cf_die_stderr("error: failed to cache configuration path.\n");
    free(const_cast<char *>(state.path));
    state.path = copy;
    fclose(state.file);
    state.file = nullptr;
}
