#include "archive/proc.h"

#include "common/fd.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *const entry_files[KS_PROC_ENTRY_COUNT] = {"cmdline", "status", "maps", "limits",
                                                              "cgroup"};
static const char *const entry_names[KS_PROC_ENTRY_COUNT] = {
    "/proc/self/cmdline", "/proc/self/status", "/proc/self/maps", "/proc/self/limits",
    "/proc/self/cgroup"};
static const char *const metadata_names[] = {"complete", "process gone", "not dumping", "timed out", "cut"};

const char *ks_proc_entry_name(ks_proc_entry entry) { return entry_names[entry]; }

const char *ks_proc_metadata_name(ks_proc_metadata metadata) { return metadata_names[metadata]; }

enum read_end {
    READ_ALL,
    READ_FAILED,
    READ_CUT,
    READ_INTERRUPTED,
};

// /proc files report a size of 0, so they are read until the end or the cap.
static read_end read_all(int dir, const char *name, struct ks_proc_file *file)
{
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    size_t capacity = 16384, length = 0;
    char *data = nullptr;
    read_end end = READ_ALL;

    if (fd == -1)
        return errno == EINTR ? READ_INTERRUPTED : READ_FAILED;
    for (;;) {
        if (length == capacity || data == nullptr) {
            if (length == KS_PROC_FILE_MAX) {
                char byte;
                if (read(fd, &byte, 1) == 1)
                    end = READ_CUT;
                break;
            }
            capacity = data == nullptr ? capacity : capacity * 2;
            if (capacity > KS_PROC_FILE_MAX)
                capacity = KS_PROC_FILE_MAX;
            char *grown = static_cast<char *>(realloc(data, capacity));
            if (grown == nullptr)
                break;
            data = grown;
        }
        ssize_t n = read(fd, data + length, capacity - length);
        if (n <= 0) {
            // Only the archiver's deadline interrupts it.
            if (n == -1 && errno == EINTR)
                end = READ_INTERRUPTED;
            if (n == -1 && length == 0) {
                free(data);
                data = nullptr;
            }
            break;
        }
        length += static_cast<size_t>(n);
    }
    ks_fd_close(fd);
    file->data = data;
    file->length = data != nullptr ? length : 0;
    if (data == nullptr && end == READ_ALL)
        end = READ_FAILED;
    return end;
}

static char *read_link(int dir, const char *name)
{
    char buffer[PATH_MAX];
    ssize_t n = readlinkat(dir, name, buffer, sizeof buffer);

    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer)
        return nullptr;
    return strndup(buffer, static_cast<size_t>(n));
}

// The arguments are NUL-separated, the last one NUL-terminated.
static char *command_join(const struct ks_proc_file *cmdline)
{
    size_t length = cmdline->length;

    if (cmdline->data == nullptr || length == 0)
        return nullptr;
    while (length > 0 && cmdline->data[length - 1] == '\0')
        length--;
    char *command = static_cast<char *>(malloc(length + 1));
    if (command == nullptr)
        return nullptr;
    for (size_t i = 0; i < length; i++)
        command[i] = cmdline->data[i] == '\0' ? ' ' : cmdline->data[i];
    command[length] = '\0';
    return command;
}

// The value of a "Name:\tvalue" line of status, or null.
static const char *status_field(const struct ks_proc_file *status, const char *name)
{
    size_t n = strlen(name);
    const char *p = status->data, *end = status->data + status->length;

    while (p != nullptr && p < end) {
        if (static_cast<size_t>(end - p) > n + 1 && memcmp(p, name, n) == 0 && p[n] == ':')
            return p + n + 1;
        p = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (p != nullptr)
            p++;
    }
    return nullptr;
}

// The kernel shows "CoreDumping:\t1" only while the process writes its core;
// a reaped process's pid taken by a new one shows 0 or nothing.
static bool status_dumping(const struct ks_proc_file *status)
{
    const char *value = status_field(status, "CoreDumping");

    return value != nullptr && strncmp(value, "\t1\n", 3) == 0;
}

static bool status_id(const struct ks_proc_file *status, const char *name, unsigned long *id)
{
    const char *value = status_field(status, name);
    char *end;

    if (value == nullptr)
        return false;
    errno = 0;
    *id = strtoul(value, &end, 10);
    return errno == 0 && end != value;
}

static void identity_read(struct ks_proc *proc, const char *proc_root)
{
    const struct ks_proc_file *status = &proc->files[KS_PROC_STATUS];
    unsigned long uid, gid;
    struct stat st, initial;
    char init[PATH_MAX];

    if (status_id(status, "Uid", &uid) && status_id(status, "Gid", &gid)) {
        proc->ids = true;
        proc->uid = static_cast<uid_t>(uid);
        proc->gid = static_cast<gid_t>(gid);
    }
    // Through the link, the file the process runs, whatever mount namespace
    // it sees it in.
    if (fstatat(proc->dir, "exe", &st, 0) == 0) {
        proc->exe_known = true;
        proc->exe_device = st.st_dev;
        proc->exe_inode = st.st_ino;
    }
    // The kernel starts the archiver in the host's namespaces, so its own
    // stands in where pid 1 cannot be examined (inside some containers).
    snprintf(init, sizeof init, "%s/1/ns/mnt", proc_root);
    bool reference = stat(init, &initial) == 0;
    if (!reference) {
        snprintf(init, sizeof init, "%s/self/ns/mnt", proc_root);
        reference = stat(init, &initial) == 0;
    }
    if (fstatat(proc->dir, "ns/mnt", &st, 0) == 0 && reference) {
        proc->namespace_known = true;
        proc->mount_namespace = st.st_ino;
        proc->initial_namespace = st.st_ino == initial.st_ino && st.st_dev == initial.st_dev;
    }
}

static void metadata_worsen(struct ks_proc *proc, ks_proc_metadata metadata)
{
    if (proc->metadata == KS_PROC_COMPLETE)
        proc->metadata = metadata;
}

// Whatever was read may describe another process: none of it is kept.
static void proc_forget(struct ks_proc *proc, ks_proc_metadata metadata)
{
    ks_proc_release(proc);
    proc->found = true;
    proc->metadata = metadata;
}

void ks_proc_read(struct ks_proc *proc, const char *proc_root, pid_t pid)
{
    char path[PATH_MAX];

    memset(proc, 0, sizeof *proc);
    proc->dir = -1;
    proc->metadata = KS_PROC_GONE;
    if (pid <= 0)
        return;
    snprintf(path, sizeof path, "%s/%ld", proc_root, static_cast<long>(pid));
    // Everything below is read through this one directory: should the pid be
    // reused meanwhile, it still names the crashed process, which is gone.
    proc->dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc->dir == -1) {
        if (errno == EINTR)
            proc->metadata = KS_PROC_TIMED_OUT;
        return;
    }
    proc->found = true;
    read_end status = read_all(proc->dir, entry_files[KS_PROC_STATUS], &proc->files[KS_PROC_STATUS]);
    if (status == READ_INTERRUPTED || status == READ_FAILED) {
        proc_forget(proc, status == READ_INTERRUPTED ? KS_PROC_TIMED_OUT : KS_PROC_GONE);
        return;
    }
    if (!status_dumping(&proc->files[KS_PROC_STATUS])) {
        proc_forget(proc, KS_PROC_NOT_DUMPING);
        return;
    }
    proc->metadata = KS_PROC_COMPLETE;
    proc->executable = read_link(proc->dir, "exe");
    identity_read(proc, proc_root);
    for (int e = 0; e < KS_PROC_ENTRY_COUNT && proc->metadata != KS_PROC_TIMED_OUT; e++) {
        if (e == KS_PROC_STATUS)
            continue;
        read_end end = read_all(proc->dir, entry_files[e], &proc->files[e]);
        if (end == READ_INTERRUPTED)
            proc->metadata = KS_PROC_TIMED_OUT;
        if (end == READ_CUT && proc->cut == nullptr) {
            proc->cut = entry_files[e];
            metadata_worsen(proc, KS_PROC_CUT);
        }
    }
    proc->command = command_join(&proc->files[KS_PROC_CMDLINE]);
}

void ks_proc_release(struct ks_proc *proc)
{
    if (proc->dir != -1)
        ks_fd_close(proc->dir);
    free(proc->executable);
    free(proc->command);
    for (auto &file : proc->files)
        free(file.data);
    memset(proc, 0, sizeof *proc);
    proc->dir = -1;
}
