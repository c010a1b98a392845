#include "client/json.h"

#include <charconv>
#include <cstdint>
#include <cstring>

static void put(struct ks_json *json, const char *text, size_t length)
{
    fwrite_unlocked(text, 1, length, json->out);
}

// The comma before a value, unless it is the first of its container or
// follows its key.
static void value_begin(struct ks_json *json)
{
    if (json->key) {
        json->key = false;
        return;
    }
    // The client nests three deep at most; deeper values would lose commas.
    if (json->depth == 0 || json->depth > sizeof json->first)
        return;
    if (!json->first[json->depth - 1])
        putc_unlocked(',', json->out);
    json->first[json->depth - 1] = false;
}

static void container_begin(struct ks_json *json, char open)
{
    value_begin(json);
    putc_unlocked(open, json->out);
    if (json->depth < sizeof json->first)
        json->first[json->depth] = true;
    json->depth++;
}

static void container_end(struct ks_json *json, char close)
{
    json->depth--;
    putc_unlocked(close, json->out);
}

void ks_json_init(struct ks_json *json, FILE *out)
{
    memset(json, 0, sizeof *json);
    json->out = out;
}

void ks_json_object_begin(struct ks_json *json) { container_begin(json, '{'); }
void ks_json_object_end(struct ks_json *json) { container_end(json, '}'); }
void ks_json_array_begin(struct ks_json *json) { container_begin(json, '['); }
void ks_json_array_end(struct ks_json *json) { container_end(json, ']'); }

static void escape(struct ks_json *json, uint32_t c)
{
    static const char hex[] = "0123456789abcdef";
    char text[6] = {'\\', 'u', hex[c >> 12 & 15], hex[c >> 8 & 15], hex[c >> 4 & 15], hex[c & 15]};

    switch (c) {
    case '"':
        put(json, "\\\"", 2);
        return;
    case '\\':
        put(json, "\\\\", 2);
        return;
    case '\n':
        put(json, "\\n", 2);
        return;
    case '\t':
        put(json, "\\t", 2);
        return;
    case '\r':
        put(json, "\\r", 2);
        return;
    default:
        put(json, text, sizeof text);
    }
}

size_t ks_json_utf8(const unsigned char *s, size_t n, uint32_t *c, size_t *bad)
{
    unsigned char lead = s[0], low = 0x80, high = 0xbf;
    size_t more;
    uint32_t v;

    if (lead >= 0xc2 && lead <= 0xdf) {
        more = 1;
        v = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        more = 2;
        v = lead & 0x0f;
        low = lead == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        high = lead == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        more = 3;
        v = lead & 0x07;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf; // nothing above U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    for (size_t i = 1; i <= more; i++) {
        if (i >= n || s[i] < low || s[i] > high) {
            *bad = i;
            return 0;
        }
        v = v << 6 | (s[i] & 0x3f);
        low = 0x80;
        high = 0xbf;
    }
    *c = v;
    return more + 1;
}

void ks_json_string(struct ks_json *json, const char *text, size_t length)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0;

    value_begin(json);
    putc_unlocked('"', json->out);
    while (i < length) {
        size_t plain = i;
        while (plain < length && s[plain] >= 0x20 && s[plain] < 0x7f && s[plain] != '"' && s[plain] != '\\')
            plain++;
        put(json, text + i, plain - i);
        i = plain;
        if (i == length)
            break;
        if (s[i] < 0x80) {
            escape(json, s[i++]);
            continue;
        }
        uint32_t c;
        size_t bad;
        size_t n = ks_json_utf8(s + i, length - i, &c, &bad);
        if (n == 0) {
            put(json, "\\ufffd", 6);
            i += bad;
        } else if (c < 0xa0 || c == 0x2028 || c == 0x2029) {
            escape(json, c);
            i += n;
        } else {
            put(json, text + i, n);
            i += n;
        }
    }
    putc_unlocked('"', json->out);
}

void ks_json_key(struct ks_json *json, const char *key)
{
    ks_json_string(json, key, strlen(key));
    putc_unlocked(':', json->out);
    json->key = true;
}

void ks_json_text(struct ks_json *json, const char *text)
{
    if (text == nullptr)
        ks_json_null(json);
    else
        ks_json_string(json, text, strlen(text));
}

void ks_json_integer(struct ks_json *json, long long value)
{
    char text[24];
    auto r = std::to_chars(text, text + sizeof text, value);

    value_begin(json);
    put(json, text, static_cast<size_t>(r.ptr - text));
}

void ks_json_bool(struct ks_json *json, bool value)
{
    value_begin(json);
    put(json, value ? "true" : "false", value ? 4 : 5);
}

void ks_json_null(struct ks_json *json)
{
    value_begin(json);
    put(json, "null", 4);
}

void ks_json_time_as(struct ks_json *json, const char *name, bool known, time_t when)
{
    struct tm tm;
    char text[64], utc[64];

    snprintf(utc, sizeof utc, "%s_utc", name);
    ks_json_key(json, name);
    if (known)
        ks_json_integer(json, when);
    else
        ks_json_null(json);
    ks_json_key(json, utc);
    if (known && gmtime_r(&when, &tm) != nullptr && strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm) > 0)
        ks_json_text(json, text);
    else
        ks_json_null(json);
}

void ks_json_time(struct ks_json *json, bool known, time_t when) { ks_json_time_as(json, "time", known, when); }
