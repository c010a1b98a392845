#ifndef KS_CLIENT_TEXT_H
#define KS_CLIENT_TEXT_H

// Text for the administrator's terminal. Paths and names come from whatever
// a crashed process chose to call itself, so nothing of theirs reaches the
// terminal as a control sequence.

#include <cstddef>
#include <cstdio>
#include <ctime>

// ctime's text of one time, without its newline ("-" when it has none).
struct ks_text_time {
    time_t creation;
    bool valid;
    unsigned char length;
    char text[64];
};

// Bytes that are not printable (controls, the C1 range, anything that is
// not UTF-8) as \xNN, and so a backslash as "\\".
void ks_text_put_safe(FILE *out, const char *text, size_t length);
void ks_text_put_safe_str(FILE *out, const char *text);

// Times repeat from line to line; each is converted once. The text stays
// valid until 64 other times have been asked for.
const struct ks_text_time *ks_text_ctime(time_t creation);

#endif
