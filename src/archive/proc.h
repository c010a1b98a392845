#ifndef KS_ARCHIVE_PROC_H
#define KS_ARCHIVE_PROC_H

// What the archiver learns about a crashed process from /proc/<pid>/ while
// the kernel still holds the process for its core dump.

#include <cstddef>
#include <sys/types.h>

typedef enum ks_proc_entry {
    KS_PROC_CMDLINE = 0,
    KS_PROC_STATUS = 1,
    KS_PROC_MAPS = 2,
    KS_PROC_LIMITS = 3,
    KS_PROC_CGROUP = 4,
    KS_PROC_ENTRY_COUNT = 5,
} ks_proc_entry;

struct ks_proc_file {
    char *data; // null when the file could not be read
    size_t length;
};

struct ks_proc {
    bool found;       // /proc/<pid> could be opened
    char *executable; // target of /proc/<pid>/exe, or null
    char *command;    // the command line, arguments joined by blanks, or null
    struct ks_proc_file files[KS_PROC_ENTRY_COUNT];
};

// The name an entry has for the process itself ("/proc/self/cmdline"); the
// asset stores the files under these names.
const char *ks_proc_entry_name(ks_proc_entry entry);

// Reads everything it can; never fails as a whole. The environment is never
// read: it holds secrets.
void ks_proc_read(struct ks_proc *proc, const char *proc_root, pid_t pid);
void ks_proc_release(struct ks_proc *proc);

#endif
