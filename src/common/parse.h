#ifndef KS_COMMON_PARSE_H
#define KS_COMMON_PARSE_H

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

// Command templates: one line of text with "%" placeholders, compiled once
// and rendered into fresh argument vectors without any shell.
typedef enum ks_format_type {
    KS_FORMAT_LITERAL = 0,
    KS_FORMAT_REPLACE = 1,
} ks_format_type;

struct ks_format_argv {
    ks_format_type format;
    char *literal; // literal text, or the prefix of a placeholder (may be null)
    char *suffix;  // text after a placeholder up to the next blank (may be null)
    char value;    // the placeholder character
};

typedef struct ks_format {
    struct ks_format_argv *argv;
    size_t capacity;
    size_t length;
} ks_format_t;

// Returns a heap string of literal, the value of the placeholder character
// and suffix, or null when it has no value for the character.
typedef char *ks_format_value_cb_t(char value, const char *literal, const char *suffix, void *cl);

// ac lists the letters meant for the template. On false *e is a static message.
bool ks_format_create(ks_format_t **fo, const char *ed, const char *ac, const char **e);
// A new null-terminated vector, or null on failure; release with ks_format_argv_free.
char **ks_format_argv(ks_format_t *format, ks_format_value_cb_t *fm, void *cl, size_t *argc);
void ks_format_argv_free(char **argv);
// Releases a compiled template (null is fine); the programs keep theirs for
// life, tests and fuzzing release them.
void ks_format_free(ks_format_t *format);
void ks_format_argv_fprint(FILE *fp, char **argv);

// A positive count followed by one unit letter: s m h d w M. On false
// *error is "out of range" or "invalid age suffix specified".
bool ks_parse_age(time_t *r, const char *p, const char **error);

// Scales a byte count to the largest unit it exceeds ("gB", "mB", "kB", "B").
double ks_parse_bytes(const char **u, unsigned long long value);

// Decimal numbers; text after the number is not examined. Out-parameters
// are written only on success.
bool ks_parse_size(size_t *t, const char *s);
bool ks_parse_timestamp(time_t *t, const char *s);
bool ks_parse_pid(pid_t *pid, const char *s);

// First character of r that is not white space.
const char *ks_ltrim(const char *r);

#endif
