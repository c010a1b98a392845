#include "common/facts.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool reserve(struct ks_facts_text *t, size_t more)
{
    if (t->failed)
        return false;
    if (t->length + more + 1 <= t->capacity)
        return true;
    size_t capacity = t->capacity != 0 ? t->capacity : 256;
    while (capacity < t->length + more + 1)
        capacity *= 2;
    char *grown = static_cast<char *>(realloc(t->data, capacity));
    if (grown == nullptr) {
        t->failed = true;
        return false;
    }
    t->data = grown;
    t->capacity = capacity;
    return true;
}

size_t ks_facts_escape(const char *value, size_t length, char *out)
{
    static const char digits[] = "0123456789abcdef";
    size_t n = 0;

    for (size_t i = 0; i < length; i++) {
        auto c = static_cast<unsigned char>(value[i]);
        if (c == '\\') {
            out[n++] = '\\';
            out[n++] = '\\';
        } else if (c >= 0x20 && c <= 0x7e) {
            out[n++] = static_cast<char>(c);
        } else {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = digits[c >> 4];
            out[n++] = digits[c & 15];
        }
    }
    return n;
}

bool ks_facts_add(struct ks_facts_text *t, const char *key, const char *value, size_t length)
{
    size_t key_length = strlen(key);

    // Room for the worst case: every byte escaped in four.
    if (!reserve(t, key_length + 2 + 4 * length))
        return false;
    memcpy(t->data + t->length, key, key_length);
    t->length += key_length;
    t->data[t->length++] = '=';
    t->length += ks_facts_escape(value, length, t->data + t->length);
    t->data[t->length++] = '\n';
    t->data[t->length] = '\0';
    return true;
}

bool ks_facts_addf(struct ks_facts_text *t, const char *key, const char *format, ...)
{
    char value[512];
    va_list ap;

    va_start(ap, format);
    int n = vsnprintf(value, sizeof value, format, ap);
    va_end(ap);
    if (n < 0)
        return false;
    return ks_facts_add(t, key, value, static_cast<size_t>(n) < sizeof value ? static_cast<size_t>(n) : sizeof value - 1);
}

void ks_facts_release(struct ks_facts_text *t)
{
    free(t->data);
    *t = {};
}

bool ks_facts_next(const char **cursor, const char *end, struct ks_facts_line *line)
{
    while (*cursor < end) {
        const char *start = *cursor;
        const auto *newline = static_cast<const char *>(memchr(start, '\n', static_cast<size_t>(end - start)));
        const char *stop = newline != nullptr ? newline : end;
        *cursor = newline != nullptr ? newline + 1 : end;
        const auto *equal = static_cast<const char *>(memchr(start, '=', static_cast<size_t>(stop - start)));
        if (equal == nullptr)
            continue;
        line->key = start;
        line->key_length = static_cast<size_t>(equal - start);
        line->value = equal + 1;
        line->value_length = static_cast<size_t>(stop - equal - 1);
        return true;
    }
    return false;
}

const char *ks_facts_find(const char *text, size_t length, const char *key, size_t *value_length)
{
    const char *cursor = text;
    size_t key_length = strlen(key);
    struct ks_facts_line line;

    while (ks_facts_next(&cursor, text + length, &line)) {
        if (line.key_length == key_length && memcmp(line.key, key, key_length) == 0) {
            *value_length = line.value_length;
            return line.value;
        }
    }
    return nullptr;
}

bool ks_facts_signature(const char *text, size_t length, char out[KS_FACTS_SIGNATURE_SIZE])
{
    size_t n = 0;
    const char *value = ks_facts_find(text, length, "signature", &n);

    out[0] = '\0';
    if (value == nullptr || n != KS_FACTS_SIGNATURE_SIZE - 1)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!((value[i] >= '0' && value[i] <= '9') || (value[i] >= 'a' && value[i] <= 'f')))
            return false;
    memcpy(out, value, n);
    out[n] = '\0';
    return true;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

size_t ks_facts_unescape(const char *value, size_t length, char *out, size_t size)
{
    size_t n = 0;

    for (size_t i = 0; i < length; i++) {
        char c = value[i];
        if (c == '\\' && i + 1 < length && value[i + 1] == '\\') {
            i++;
        } else if (c == '\\' && i + 3 < length && value[i + 1] == 'x' && hex_digit(value[i + 2]) >= 0 &&
                   hex_digit(value[i + 3]) >= 0) {
            c = static_cast<char>(hex_digit(value[i + 2]) << 4 | hex_digit(value[i + 3]));
            i += 3;
        }
        if (n + 1 < size)
            out[n] = c;
        n++;
    }
    if (size > 0)
        out[n < size ? n : size - 1] = '\0';
    return n;
}

const char *ks_facts_signal_name(int signal, char *buffer, size_t size)
{
    const char *abbreviation = signal > 0 && signal < SIGRTMIN ? sigabbrev_np(signal) : nullptr;

    if (signal <= 0)
        return nullptr;
    if (abbreviation != nullptr)
        snprintf(buffer, size, "SIG%s", abbreviation);
    else if (signal >= SIGRTMIN && signal <= SIGRTMAX)
        snprintf(buffer, size, "SIGRTMIN+%d", signal - SIGRTMIN);
    else
        snprintf(buffer, size, "signal %d", signal);
    return buffer;
}
