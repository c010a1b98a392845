#include "archive/proc.h"

#include "common/fd.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// A process with a six-figure number of mappings still fits; anything past
// this is cut rather than allowed to exhaust memory at crash time.
static constexpr size_t file_limit = 64u << 20;

static const char *const entry_files[KS_PROC_ENTRY_COUNT] = {"cmdline", "status", "maps", "limits",
                                                              "cgroup"};
static const char *const entry_names[KS_PROC_ENTRY_COUNT] = {
    "/proc/self/cmdline", "/proc/self/status", "/proc/self/maps", "/proc/self/limits",
    "/proc/self/cgroup"};

const char *ks_proc_entry_name(ks_proc_entry entry)
{
    return entry_names[entry];
}

// /proc files report a size of 0, so they are read until the end.
static bool read_all(int dir, const char *name, struct ks_proc_file *file)
{
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    size_t capacity = 16384, length = 0;
    char *data = nullptr;

    if (fd == -1)
        return false;
    for (;;) {
        if (length == capacity || data == nullptr) {
            if (length == file_limit)
                break;
            capacity = data == nullptr ? capacity : capacity * 2;
            if (capacity > file_limit)
                capacity = file_limit;
            char *grown = static_cast<char *>(realloc(data, capacity));
            if (grown == nullptr)
                break;
            data = grown;
        }
        ssize_t n = read(fd, data + length, capacity - length);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0) {
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
    return data != nullptr;
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

void ks_proc_read(struct ks_proc *proc, const char *proc_root, pid_t pid)
{
    char path[PATH_MAX];

    memset(proc, 0, sizeof *proc);
    if (pid <= 0)
        return;
    snprintf(path, sizeof path, "%s/%ld", proc_root, static_cast<long>(pid));
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir == -1)
        return;
    proc->found = true;
    proc->executable = read_link(dir, "exe");
    for (int e = 0; e < KS_PROC_ENTRY_COUNT; e++)
        (void) read_all(dir, entry_files[e], &proc->files[e]);
    proc->command = command_join(&proc->files[KS_PROC_CMDLINE]);
    ks_fd_close(dir);
}

void ks_proc_release(struct ks_proc *proc)
{
    free(proc->executable);
    free(proc->command);
    for (auto &file : proc->files)
        free(file.data);
    memset(proc, 0, sizeof *proc);
}
