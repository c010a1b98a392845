#include "common/parse.h"

#include "common/log.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

bool ks_parse_age(time_t *r, const char *p, const char **error)
{
    static const struct {
        char suffix;
        time_t seconds;
    } units[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 604800}, {'M', 2592000}};
    char *end;

    unsigned long value = strtoul(p, &end, 10);
    if (value == 0 || value == ULONG_MAX) {
        *error = "out of range";
        return false;
    }
    for (const auto &unit : units) {
        if (*end != unit.suffix)
            continue;
        // A count that would wrap time_t is as wrong as no count at all.
        if (value > static_cast<unsigned long>(std::numeric_limits<time_t>::max() / unit.seconds)) {
            *error = "out of range";
            return false;
        }
        *r = static_cast<time_t>(value) * unit.seconds;
        return true;
    }
    *error = "invalid age suffix specified";
    return false;
}

double ks_parse_bytes(const char **u, unsigned long long value)
{
    static const struct {
        const char *unit;
        unsigned long long threshold;
    } units[] = {{"gB", 1ULL << 30}, {"mB", 1ULL << 20}, {"kB", 1ULL << 10}};

    for (const auto &row : units) {
        if (value > row.threshold) {
            *u = row.unit;
            return static_cast<double>(value) / static_cast<double>(row.threshold);
        }
    }
    *u = "B";
    return static_cast<double>(value);
}

// Shared rule of the decimal parsers: no overflow, no error with a zero
// result, at least one character consumed.
template <typename T, typename Convert> static bool parse_decimal(T *out, const char *s, Convert convert)
{
    char *end;

    errno = 0;
    auto value = convert(s, &end, 10);
    if (errno == ERANGE || (errno != 0 && value == 0) || end == s)
        return false;
    *out = static_cast<T>(value);
    return true;
}

bool ks_parse_size(size_t *t, const char *s) { return parse_decimal(t, s, strtoull); }

bool ks_parse_timestamp(time_t *t, const char *s) { return parse_decimal(t, s, strtoll); }

bool ks_parse_pid(pid_t *pid, const char *s) { return parse_decimal(pid, s, strtoll); }

const char *ks_ltrim(const char *r)
{
    while (isspace(static_cast<unsigned char>(*r)))
        r++;
    return r;
}

// Command templates.

void ks_format_free(ks_format_t *format)
{
    if (format == nullptr)
        return;
    for (size_t i = 0; i < format->length; i++) {
        free(format->argv[i].literal);
        free(format->argv[i].suffix);
    }
    free(format->argv);
    free(format);
}

// The next "%" that starts a placeholder; "%%" pairs stay plain text. Sets
// *invalid for a "%" that ends the template.
static const char *format_next(const char *cursor, bool *invalid)
{
    for (const char *p = strchr(cursor, '%'); p != nullptr; p = strchr(p, '%')) {
        if (p[1] == '%') {
            p += 2;
            continue;
        }
        if (p[1] == '\0') {
            *invalid = true;
            return nullptr;
        }
        return p;
    }
    return nullptr;
}

static bool format_grow(ks_format_t *format)
{
    if (format->length < format->capacity)
        return true;

    size_t capacity = (format->capacity + 8) * 2;
    void *grown = realloc(format->argv, capacity * sizeof(format->argv[0]));
    if (grown == nullptr)
        return false;
    format->argv = static_cast<struct ks_format_argv *>(grown);
    format->capacity = capacity;
    return true;
}

// Fills one entry from the text at *cursor; false on allocation failure.
static bool format_entry(struct ks_format_argv *entry, const char **cursor, const char *placeholder)
{
    const char *c = *cursor;

    *entry = {};
    if (placeholder == nullptr) {
        entry->format = KS_FORMAT_LITERAL;
        entry->literal = strdup(c);
        *cursor = c + strlen(c);
        return entry->literal != nullptr;
    }

    entry->format = KS_FORMAT_REPLACE;
    entry->value = placeholder[1];
    if (placeholder > c && (entry->literal = strndup(c, static_cast<size_t>(placeholder - c))) == nullptr)
        return false;
    c = placeholder + 2;
    if (*c != '\0' && *c != ' ') {
        size_t length = strcspn(c, " ");
        if ((entry->suffix = strndup(c, length)) == nullptr)
            return false;
        c += length;
    }
    *cursor = c;
    return true;
}

bool ks_format_create(ks_format_t **fo, const char *ed, const char *ac, const char **e)
{
    // Every letter compiles: templates that select format rules with digits
    // must keep working, and the callback decides what has a value.
    (void) ac;
    ks_format_t *format = static_cast<ks_format_t *>(calloc(1, sizeof(*format)));
    const char *cursor = ed;
    const char *end = ed + strlen(ed);

    if (format == nullptr) {
        *e = "allocation failure";
        return false;
    }
    do {
        bool invalid = false;
        const char *placeholder = format_next(cursor, &invalid);
        if (invalid) {
            *e = "invalid format string specified";
            goto fail;
        }
        if (!format_grow(format)) {
            *e = "internal allocation failure";
            goto fail;
        }
        cursor = ks_ltrim(cursor);
        // Counted before it is filled, so that a failure frees a partial entry.
        struct ks_format_argv *entry = &format->argv[format->length++];
        if (!format_entry(entry, &cursor, placeholder)) {
            *e = "internal allocation failure";
            goto fail;
        }
    } while (cursor < end);

    *fo = format;
    return true;

fail:
    ks_format_free(format);
    return false;
}

struct ks_format_render {
    char **argv;
    size_t length;
    size_t capacity;
};

static bool render_room(struct ks_format_render *r)
{
    if (r->length < r->capacity)
        return true;

    void *grown = reallocarray(r->argv, r->capacity * 2, sizeof(r->argv[0]));
    if (grown == nullptr)
        return false;
    r->argv = static_cast<char **>(grown);
    r->capacity *= 2;
    return true;
}

// Takes ownership of text, which may be null after a failed copy.
static bool render_adopt(struct ks_format_render *r, char *text)
{
    if (text == nullptr || !render_room(r)) {
        ks_log(LOG_ERR, "Format string failed: %s\n", strerror(errno));
        free(text);
        return false;
    }
    r->argv[r->length++] = text;
    return true;
}

// Pushes every blank-terminated word of text; returns the text after the
// last blank, or null on failure.
static const char *render_split(struct ks_format_render *r, const char *text)
{
    for (const char *blank; (blank = strchr(text, ' ')) != nullptr; text = blank + 1)
        if (!render_adopt(r, strndup(text, static_cast<size_t>(blank - text))))
            return nullptr;
    return text;
}

static bool render_entry(struct ks_format_render *r, const struct ks_format_argv *entry,
                         ks_format_value_cb_t *fm, void *cl)
{
    const char *rest = render_split(r, entry->literal != nullptr ? entry->literal : "");

    if (rest == nullptr)
        return false;
    if (entry->format == KS_FORMAT_LITERAL)
        return render_adopt(r, strdup(rest));

    // Blanks inside a value never split it; a missing value fails silently.
    char *value = fm(entry->value, rest, entry->suffix != nullptr ? entry->suffix : "", cl);
    return value != nullptr && render_adopt(r, value);
}

char **ks_format_argv(ks_format_t *format, ks_format_value_cb_t *fm, void *cl, size_t *argc)
{
    struct ks_format_render r = {nullptr, 0, format->length + 1};

    r.argv = static_cast<char **>(malloc(r.capacity * sizeof(r.argv[0])));
    if (r.argv == nullptr) {
        ks_log(LOG_ERR, "malloc failed: %s\n", strerror(errno));
        return nullptr;
    }
    for (size_t i = 0; i < format->length; i++)
        if (!render_entry(&r, &format->argv[i], fm, cl))
            goto fail;
    if (!render_room(&r)) {
        ks_log(LOG_ERR, "Format push failed: %s\n", strerror(errno));
        goto fail;
    }
    r.argv[r.length] = nullptr;
    if (argc != nullptr)
        *argc = r.length;
    return r.argv;

fail:
    for (size_t i = 0; i < r.length; i++)
        free(r.argv[i]);
    free(r.argv);
    return nullptr;
}

void ks_format_argv_free(char **argv)
{
    if (argv == nullptr)
        return;
    for (char **p = argv; *p != nullptr; p++)
        free(*p);
    free(argv);
}

void ks_format_argv_fprint(FILE *fp, char **argv)
{
    for (char **p = argv; *p != nullptr; p++)
        fprintf(fp, "%s ", *p);
    fputc('\n', fp);
}
