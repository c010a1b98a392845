#ifndef KS_CLIENT_JSON_H
#define KS_CLIENT_JSON_H

// JSON text for programs that read the client's output, written value by
// value with the commas placed for the caller. Strings may hold any bytes:
// control characters (C0, DEL and the C1 range), quotes, backslashes and
// U+2028/U+2029 are escaped, and every maximal ill-formed UTF-8 subsequence
// becomes one U+FFFD, so that whatever a crashed program called itself, the
// text parses.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

struct ks_json {
    FILE *out;
    unsigned int depth;
    bool key;        // a key was just written: its value takes no comma
    bool first[16];  // nothing written yet inside the container at depth i
};

void ks_json_init(struct ks_json *json, FILE *out);
void ks_json_object_begin(struct ks_json *json);
void ks_json_object_end(struct ks_json *json);
void ks_json_array_begin(struct ks_json *json);
void ks_json_array_end(struct ks_json *json);
void ks_json_key(struct ks_json *json, const char *key);
void ks_json_string(struct ks_json *json, const char *text, size_t length);
// A NUL-terminated text, or null when text is null.
void ks_json_text(struct ks_json *json, const char *text);
void ks_json_integer(struct ks_json *json, long long value);
void ks_json_null(struct ks_json *json);
void ks_json_bool(struct ks_json *json, bool value);
// The members "time" (seconds since the epoch) and "time_utc" (ISO 8601 in
// UTC), or nulls when the time is not known.
void ks_json_time(struct ks_json *json, bool known, time_t when);
// The same under other names: "<name>" and "<name>_utc".
void ks_json_time_as(struct ks_json *json, const char *name, bool known, time_t when);

// Length of the well-formed UTF-8 sequence at s (n > 0 bytes) with its code
// point in *c, or 0 when it is ill-formed, with the length of its maximal
// ill-formed subpart in *bad.
size_t ks_json_utf8(const unsigned char *s, size_t n, uint32_t *c, size_t *bad);

#endif
