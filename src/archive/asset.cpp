#include "archive/asset.h"

#include "common/fd.h"
#include "common/tar.h"

#include <cerrno>
#include <cstring>

// The data goes straight to the descriptor; a failed write leaves no
// message in the handle, so it is given back in *error.
static bool asset_file(ks_tar_t *tar, const char *name, const struct ks_proc_file *file, time_t when,
                       const char **error)
{
    ks_tar_begin(tar, name, static_cast<unsigned int>(strlen(name)));
    ks_tar_set_mtime(tar, when);
    if (!ks_tar_metadata_commit(tar))
        return false;
    ssize_t n = ks_fd_write(ks_tar_fd_get(tar), file->data, file->length);
    if (n < 0 || static_cast<size_t>(n) != file->length) {
        *error = strerror(n < 0 ? errno : ENOSPC);
        return false;
    }
    return ks_tar_end(tar, file->length);
}

bool ks_asset_write(int fd, const struct ks_proc *proc, time_t when, const char **error)
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
    for (int e = 0; ok && e < KS_PROC_ENTRY_COUNT; e++) {
        const struct ks_proc_file *file = &proc->files[e];
        if (file->data != nullptr)
            ok = asset_file(tar, ks_proc_entry_name(static_cast<ks_proc_entry>(e)), file, when,
                            &data_error);
    }
    ok = ok && ks_tar_commit(tar);
    if (!ok)
        *error = data_error != nullptr ? data_error : ks_tar_error(tar);
    ks_tar_destroy(tar);
    return ok;
}
