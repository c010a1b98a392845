#ifndef KS_ARCHIVE_NOTES_H
#define KS_ARCHIVE_NOTES_H

// The notes of a core image: what the kernel says about a crash before the
// memory follows. A Linux core starts with its ELF header, the program
// headers and the PT_NOTE segment; the archiver reads that prefix from the
// pipe into memory, takes the facts from it, and only then decides whether
// to store the rest.
//
// Only 64-bit little-endian cores (ET_CORE) are read. Anything else (another
// format, a 32-bit or big-endian core, a cut image, a note whose sizes do
// not fit its segment) yields no facts, in time linear in the prefix and
// without reading a byte outside it.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// The prefix is never wanted longer than this. A process with thousands of
// threads has more notes; its first thread's notes and the file mappings
// come first and are all that is used.
#define KS_NOTES_PREFIX_MAX (16u << 20)

struct ks_notes {
    bool valid;         // a well-formed core whose notes name the fatal signal
    uint16_t machine;   // e_machine (EM_X86_64, EM_AARCH64...)
    bool has_siginfo;   // NT_SIGINFO: signal, code, address or sender
    int signal;         // from NT_SIGINFO, else the first NT_PRSTATUS
    int code;           // si_code (only with has_siginfo)
    uint64_t address;   // si_addr, meaningful for a fault (code > 0)
    int32_t sender_pid; // si_pid and si_uid, meaningful when code <= 0
    uint32_t sender_uid;
    bool has_thread;    // the first NT_PRSTATUS: the thread that took the signal
    int32_t thread;
    bool has_registers; // pc and sp: x86_64 and aarch64 only
    uint64_t pc;
    uint64_t sp;
    bool has_module;        // a file mapping of NT_FILE holds pc
    uint64_t module_start;  // that mapping, as /proc/<pid>/map_files/ names it
    uint64_t module_end;
    uint64_t module_offset; // pc's offset in the file
    // Points into the prefix given to ks_notes_parse (NUL-terminated there);
    // null without a module.
    const char *module;
};

// How many leading bytes of the image the notes need: the ELF header, the
// program headers and every PT_NOTE segment, at most KS_NOTES_PREFIX_MAX.
// Given the length bytes that have arrived so far; the answer grows as more
// arrives (first the header, then the program headers tell where the notes
// are). A result <= length means: parse now. An image that cannot be a core
// (its first bytes say so) needs no more than it has.
size_t ks_notes_needed(const void *prefix, size_t length);

// Reads from fd into buffer (size bytes) until ks_notes_needed is satisfied,
// the input ends, or the buffer is full: never a byte beyond what is
// needed, so the rest of the image is still in the pipe. Returns the bytes
// read, or -1 with errno when a read fails.
ssize_t ks_notes_read(int fd, unsigned char *buffer, size_t size);

// Takes the facts from a prefix. notes->valid tells whether there are any;
// the other fields are set only as their flags say.
void ks_notes_parse(const void *prefix, size_t length, struct ks_notes *notes);

#endif
