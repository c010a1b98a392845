#include "common/fs.h"

#include "common/fd.h"
#include "common/log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

bool ks_fs_flock_init(struct ks_fs_flock *fl, const char *path)
{
    // Close-on-exec: the daemon's children must not inherit the archive lock.
    fl->fd = open(path, O_RDONLY | O_CLOEXEC);
    return fl->fd != -1;
}

bool ks_fs_flock_trylock(struct ks_fs_flock *fl)
{
    return flock(fl->fd, LOCK_EX | LOCK_NB) == 0;
}

void ks_fs_flock_unlock(struct ks_fs_flock *fl)
{
    if (flock(fl->fd, LOCK_UN) == -1)
        ks_perror("error: unlocking file has failed");
}

void ks_fs_flock_deinit(struct ks_fs_flock *fl)
{
    (void)flock(fl->fd, LOCK_UN);
    ks_fd_close(fl->fd);
    fl->fd = -1;
}

int ks_fs_open(char *path, const char *root, int flags, uid_t uid, gid_t gid, mode_t mode)
{
    int fd;

    do {
        uuid_t uuid;
        char name[37];

        uuid_generate(uuid);
        uuid_unparse_lower(uuid, name);
        int n = snprintf(path, PATH_MAX, "%s/%s", root, name);
        if (n < 0 || n >= PATH_MAX) {
            errno = ENAMETOOLONG;
            return -1;
        }
        fd = open(path, flags | O_CREAT | O_EXCL, mode);
    } while (fd == -1 && errno == EEXIST);

    if (fd == -1)
        return -1;
    if (fchown(fd, uid, gid) == -1)
        ks_perror("warning: failed to set privileges on '%s'", path);
    return fd;
}

// Creates one missing component of a path; existing ones are left alone.
static bool ensure_directory(const char *prefix, uid_t uid, gid_t gid, mode_t mode)
{
    struct stat st;

    if (stat(prefix, &st) == -1) {
        if (errno != ENOENT)
            return false;
        // The daemon and an archiver started for a crash may make the
        // tree at the same moment: a directory made by the other is as
        // good, and keeps the owner the other gave it.
        if (mkdir(prefix, mode) == -1) {
            if (errno != EEXIST)
                return false;
        } else if (chown(prefix, uid, gid) == -1) {
            return false;
        }
        if (stat(prefix, &st) == -1)
            return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool ks_fs_ensure_path(const char *p, uid_t uid, gid_t gid, mode_t mode)
{
    char buffer[PATH_MAX];
    struct stat st;

    if (p[0] != '/') {
        errno = EINVAL;
        return false;
    }
    size_t length = strlen(p);
    if (length >= sizeof buffer) {
        errno = E2BIG;
        return false;
    }
    if (stat(p, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        errno = ENOTDIR;
        return false;
    }

    memcpy(buffer, p, length + 1);
    if (strcmp(buffer, "/") == 0) {
        errno = EINVAL;
        return false;
    }
    for (char *cursor = buffer + 1;;) {
        char *slash = strchr(cursor, '/');
        if (slash != nullptr)
            *slash = '\0';
        if (!ensure_directory(buffer, uid, gid, mode))
            return false;
        if (slash == nullptr)
            return true;
        *slash = '/';
        cursor = slash + 1;
    }
}

bool ks_fs_directory_open(DIR **d, const char *path)
{
    *d = opendir(path);
    return *d != nullptr;
}
