#ifndef KS_COMMON_FACTS_H
#define KS_COMMON_FACTS_H

// The facts of one crash: the asset entry "kestrel/facts" (no /proc path can
// take that name), "key=value" lines written by the archiver and read by the
// daemon, the client and the example commands. Readers skip keys they do not
// know; a key appears at most once; a fact that is not known is left out.
//
// Every value is escaped so that each line is printable ASCII whatever the
// crashed process chose for its paths: "\\" stands for a backslash and
// "\xNN" (two lower-case hexadecimal digits) for every byte outside 0x20 to
// 0x7e. A crash can therefore neither add a line nor reach a terminal with a
// control sequence.
//
// Keys:
//   signature           16 hexadecimal digits; see the archiver's manual page
//   signal, signal.name the fatal signal (11, SIGSEGV)
//   signal.code         its si_code
//   fault.address       0x..., only for signals that have one (SIGSEGV,
//                       SIGBUS, SIGILL, SIGFPE, SIGTRAP) and a code > 0
//   sender.pid, sender.uid  for a signal sent by a process (code <= 0)
//   thread              the id of the thread that took the signal
//   pc, sp              its program counter and stack pointer, 0x...
//   module, module.offset   the file mapped at the program counter and the
//                       counter's offset in that file (0x...)
//   module.build_id, executable.build_id   GNU build-ids, hexadecimal
//   core                how the core image was stored: "stored", "cut"
//   core.limit          the byte limit an image was cut at
//   uid, gid            the crashed process's real user and group
//   exe.device, exe.inode   the executable as seen through /proc/<pid>/exe
//                       ("major:minor", decimal inode)
//   mount.namespace     inode of the crashed process's mount namespace
//   mount.namespace.initial  "yes" or "no": whether it is the host's
//   metadata            "complete", or why /proc could not be read whole

#include <cstddef>

#define KS_FACTS_ENTRY "kestrel/facts"
#define KS_FACTS_SIGNATURE_SIZE 17 // 16 digits and the NUL

// Text being built; data is NUL-terminated while not failed.
struct ks_facts_text {
    char *data;
    size_t length;
    size_t capacity;
    bool failed; // an allocation failed; later additions do nothing
};

// Writes length bytes of value escaped into out, which has room for four
// bytes each; returns the bytes written (no NUL).
size_t ks_facts_escape(const char *value, size_t length, char *out);
// Appends "key=value\n" with length bytes of value escaped. False once an
// allocation has failed.
bool ks_facts_add(struct ks_facts_text *t, const char *key, const char *value, size_t length);
bool ks_facts_addf(struct ks_facts_text *t, const char *key, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void ks_facts_release(struct ks_facts_text *t);

// "SIGSEGV", "SIGRTMIN+3", or "signal 99", into buffer (at least 16 bytes);
// null for a signal of 0 or less (none known).
const char *ks_facts_signal_name(int signal, char *buffer, size_t size);

// One line as it stands in the text: the value still escaped.
struct ks_facts_line {
    const char *key;
    size_t key_length;
    const char *value;
    size_t value_length;
};

// The next line from *cursor on; false at the end. Lines without "=" are
// passed over.
bool ks_facts_next(const char **cursor, const char *end, struct ks_facts_line *line);
// The escaped value of key, or null when the text has none.
const char *ks_facts_find(const char *text, size_t length, const char *key, size_t *value_length);
// The signature fact as the archiver writes it, 16 lower-case hexadecimal
// digits, into out; false, with out empty, when the text has none such.
bool ks_facts_signature(const char *text, size_t length, char out[KS_FACTS_SIGNATURE_SIZE]);
// Unescapes into out, which receives at most size - 1 bytes and a NUL;
// returns the length of the whole unescaped value. A malformed escape is
// taken literally.
size_t ks_facts_unescape(const char *value, size_t length, char *out, size_t size);

#endif
