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

// How much of the metadata could be read.
typedef enum ks_proc_metadata {
    KS_PROC_COMPLETE = 0,
    KS_PROC_GONE = 1,        // no /proc entry: the process was reaped
    KS_PROC_NOT_DUMPING = 2, // the entry is not a process dumping its core
    KS_PROC_TIMED_OUT = 3,   // reading took too long; what was read is kept
    KS_PROC_CUT = 4,         // a file was cut at KS_PROC_FILE_MAX
} ks_proc_metadata;

// No real process has a metadata file this large; a hostile one is cut here.
#define KS_PROC_FILE_MAX (1u << 20)

struct ks_proc_file {
    char *data; // null when the file could not be read
    size_t length;
};

struct ks_proc {
    bool found;                // /proc/<pid> could be opened
    int dir;                   // that directory, open while the process is held; -1
    ks_proc_metadata metadata;
    const char *cut;           // the first file cut, with KS_PROC_CUT
    char *executable;          // target of /proc/<pid>/exe, or null
    char *command;             // the command line, arguments joined by blanks, or null
    bool ids;                  // uid and gid are known
    uid_t uid;                 // real ids of the process
    gid_t gid;
    bool exe_known;            // the executable's identity, through the link
    dev_t exe_device;
    ino_t exe_inode;
    bool namespace_known;
    ino_t mount_namespace;
    bool initial_namespace;    // the mount namespace is the host's
    struct ks_proc_file files[KS_PROC_ENTRY_COUNT];
};

// The name an entry has for the process itself ("/proc/self/cmdline"); the
// asset stores the files under these names.
const char *ks_proc_entry_name(ks_proc_entry entry);
// What ks_proc_metadata means, for the facts and the log.
const char *ks_proc_metadata_name(ks_proc_metadata metadata);

// Reads everything it can; never fails as a whole. Nothing is read unless the
// entry belongs to a process dumping its core: with a pid reused, the entry
// would describe another process. A read interrupted by a signal ends the
// reading (KS_PROC_TIMED_OUT). The environment is never read: it holds
// secrets.
void ks_proc_read(struct ks_proc *proc, const char *proc_root, pid_t pid);
void ks_proc_release(struct ks_proc *proc);

#endif
