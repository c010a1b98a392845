#include "archive/asset.h"

#include "common/fd.h"
#include "common/tar.h"

#include <cerrno>
#include <cstring>

// The data goes straight to the descriptor; a failed write leaves no
// message in the handle, so it is given back in *error.
static bool asset_file(ks_tar_t *tar, const char *name, const char *data, size_t length, time_t when,
                       const char **error)
{
    ks_tar_begin(tar, name, static_cast<unsigned int>(strlen(name)));
    ks_tar_set_mtime(tar, when);
    if (!ks_tar_metadata_commit(tar))
        return false;
    ssize_t n = ks_fd_write(ks_tar_fd_get(tar), data, length);
    if (n < 0 || static_cast<size_t>(n) != length) {
        *error = strerror(n < 0 ? errno : ENOSPC);
        return false;
    }
    return ks_tar_end(tar, length);
}

// Each entry: its header, an extended header for a long link, its data
// rounded up to whole records; then the two closing records.
uint64_t ks_asset_size(const struct ks_proc *proc, const struct ks_facts_text *facts)
{
    uint64_t size = 1024 + 3 * 512;

    if (proc->executable != nullptr)
        size += 512 + strlen(proc->executable) + 512;
    size += 512 + facts->length + 511;
    for (const auto &file : proc->files)
        size += 512 + file.length + 511;
    return size;
}

bool ks_asset_write(int fd, const struct ks_proc *proc, const struct ks_facts_text *facts, time_t when,
                    const char **error)
{
    ks_tar_t *tar = ks_tar_fdopen(fd);
    const char *data_error = nullptr;
    bool ok = true;

    if (tar == nullptr) {
        *error = strerror(ENOMEM);
        return false;
    }
    // First, so that a reader looking for the executable finds it at once.
    if (proc->executable != nullptr)
        ok = ks_tar_symlink(tar, "/proc/self/exe", proc->executable, when);
    // Next, still within the first bytes that readers look at.
    if (ok && facts->data != nullptr)
        ok = asset_file(tar, KS_FACTS_ENTRY, facts->data, facts->length, when, &data_error);
    for (int e = 0; ok && e < KS_PROC_ENTRY_COUNT; e++) {
        const struct ks_proc_file *file = &proc->files[e];
        if (file->data != nullptr)
            ok = asset_file(tar, ks_proc_entry_name(static_cast<ks_proc_entry>(e)), file->data, file->length,
                            when, &data_error);
    }
    ok = ok && ks_tar_commit(tar);
    if (!ok)
        *error = data_error != nullptr ? data_error : ks_tar_error(tar);
    ks_tar_destroy(tar);
    return ok;
}
