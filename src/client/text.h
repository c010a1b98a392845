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
// A command's usage line on standard error, with its help after it when
// asked for (-h), and exit status 1.
[[noreturn]] void ks_text_usage(const char *usage, const char *help, bool with_help);

void ks_text_put_safe(FILE *out, const char *text, size_t length);
void ks_text_put_safe_str(FILE *out, const char *text);

// Whether a terminal shows these bytes as they are: printable ASCII and
// UTF-8 characters other than the C1 controls.
bool ks_text_clean(const char *text, size_t length);
// The bytes with "?" for each control character (C0, DEL, C1) and for each
// maximal ill-formed UTF-8 subsequence, everything else unchanged: the
// table's way, which keeps names readable. out has room for length + 1
// bytes and receives a NUL; returns the length written.
size_t ks_text_mask(const char *text, size_t length, char *out);

// Times repeat from line to line; each is converted once. The text stays
// valid until 64 other times have been asked for.
const struct ks_text_time *ks_text_ctime(time_t creation);

#endif
