#include "client/text.h"

#include "client/json.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static struct {
    struct ks_text_time times[64];
} text;

void ks_text_put_safe(FILE *out, const char *text, size_t length)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text);

    for (size_t i = 0; i < length;) {
        uint32_t c = s[i];
        size_t n = 1, bad = 1;
        bool shown = c >= 0x20 && c < 0x7f && c != '\\';
        if (c >= 0x80) {
            n = ks_json_utf8(s + i, length - i, &c, &bad);
            shown = n > 0 && c >= 0xa0 && c != 0x2028 && c != 0x2029;
        }
        if (shown) {
            fwrite_unlocked(s + i, 1, n, out);
            i += n;
            continue;
        }
        for (size_t end = i + (n > 0 ? n : bad); i < end; i++) {
            if (s[i] == '\\')
                fputs("\\\\", out);
            else
                fprintf(out, "\\x%02x", s[i]);
        }
    }
}

void ks_text_put_safe_str(FILE *out, const char *text)
{
    ks_text_put_safe(out, text, strlen(text));
}

// The length of the character at s that a terminal shows, or 0 with the
// length of what it must not be shown in *skip.
static size_t shown(const unsigned char *s, size_t length, size_t *skip)
{
    uint32_t c = s[0];

    *skip = 1;
    if (c < 0x80)
        return c >= 0x20 && c != 0x7f ? 1 : 0;
    size_t bad, n = ks_json_utf8(s, length, &c, &bad);
    if (n == 0) {
        *skip = bad;
        return 0;
    }
    *skip = n;
    return c >= 0xa0 ? n : 0;
}

bool ks_text_clean(const char *text, size_t length)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t skip;

    for (size_t i = 0; i < length; i += skip) {
        // Most names are printable ASCII throughout.
        if (s[i] >= 0x20 && s[i] < 0x7f) {
            skip = 1;
            continue;
        }
        if (shown(s + i, length - i, &skip) == 0)
            return false;
    }
    return true;
}

size_t ks_text_mask(const char *text, size_t length, char *out)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t n = 0, skip;

    for (size_t i = 0; i < length; i += skip) {
        size_t keep = shown(s + i, length - i, &skip);
        if (keep == 0) {
            out[n++] = '?';
            continue;
        }
        memcpy(out + n, text + i, keep);
        n += keep;
    }
    out[n] = '\0';
    return n;
}

const struct ks_text_time *ks_text_ctime(time_t creation)
{
    struct ks_text_time *slot = &text.times[static_cast<unsigned long long>(creation) % 64];
    struct tm tm;
    char buffer[64];

    if (slot->valid && slot->creation == creation)
        return slot;
    slot->valid = true;
    slot->creation = creation;
    snprintf(slot->text, sizeof(slot->text), "-");
    // localtime_r, unlike ctime, does not look at the time zone file again.
    if (localtime_r(&creation, &tm) != nullptr && asctime_r(&tm, buffer) != nullptr)
        snprintf(slot->text, sizeof(slot->text), "%.*s", static_cast<int>(strcspn(buffer, "\n")), buffer);
    slot->length = static_cast<unsigned char>(strlen(slot->text));
    return slot;
}

void ks_text_usage(const char *usage, const char *help, bool with_help)
{
    fputs(usage, stderr);
    if (with_help)
        fputs(help, stderr);
    exit(1);
}
