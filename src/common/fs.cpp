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
#include <sys/statvfs.h>
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

uint64_t ks_fs_room(int fd, double quota)
{
    struct statvfs st;

    if (fstatvfs(fd, &st) == -1 || st.f_blocks == 0)
        return UINT64_MAX;
    double total = static_cast<double>(st.f_blocks) * static_cast<double>(st.f_frsize);
    double available = static_cast<double>(st.f_bavail) * static_cast<double>(st.f_frsize);
    double room = available - quota * total;
    return room <= 0 ? 0 : room >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(room);
}

bool ks_fs_directory_open(DIR **d, const char *path)
{
    *d = opendir(path);
    return *d != nullptr;
}

// Where a walk failed, for the caller's message.
static int tree_fail(struct ks_fs_tree *tree, const char *path, size_t length, int error)
{
    snprintf(tree->failed, sizeof tree->failed, "%.*s", static_cast<int>(length), path);
    errno = error;
    return -1;
}

// A symbolic link met where a directory was expected is reported as such,
// whatever the open itself said.
static int link_error(int dir, const char *name, int error)
{
    struct stat st;

    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return ELOOP;
    return error;
}

static bool link_owned_by_root(int dir, const char *name)
{
    struct stat st;

    return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) && st.st_uid == 0;
}

static int fd_fail(int fd)
{
    int error = errno;

    ks_fd_close(fd);
    errno = error;
    return -1;
}

// A missing directory of the tree is made under a private name, given its
// owner and mode on its descriptor, and only then renamed into place: others
// making the same directory at the same moment (archivers of one crash
// storm) never find it with root's owner or the umask's mode.
static int component_make(int dir, const char *name, struct ks_fs_tree *tree)
{
    char scratch[64];

    snprintf(scratch, sizeof scratch, ".kestrel-new.%ld", static_cast<long>(getpid()));
    (void) unlinkat(dir, scratch, AT_REMOVEDIR);
    if (mkdirat(dir, scratch, tree->mode) == -1)
        return -1;
    int fd = openat(dir, scratch, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1 || fchown(fd, tree->uid, tree->gid) == -1 || fchmod(fd, tree->mode) == -1 ||
        renameat2(dir, scratch, dir, name, RENAME_NOREPLACE) == -1) {
        int error = errno;
        if (fd != -1)
            ks_fd_close(fd);
        (void) unlinkat(dir, scratch, AT_REMOVEDIR);
        errno = error;
        return -1;
    }
    return fd;
}

// One component of the tree: opened without following a link and checked
// on the descriptor, made if missing; owner and mode are set on the
// descriptor, never by name.
static int tree_component(int dir, const char *name, struct ks_fs_tree *tree)
{
    int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);

    if (fd == -1 && errno == ENOENT && tree->create) {
        fd = component_make(dir, name, tree);
        if (fd != -1 || errno != EEXIST)
            return fd;
        fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd == -1) {
        errno = link_error(dir, name, errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == -1)
        return fd_fail(fd);
    if (tree->tighten && (st.st_mode & 027) != 0 && fchmod(fd, st.st_mode & 07777 & ~mode_t{027}) == -1)
        return fd_fail(fd);
    return fd;
}

// A missing directory above the tree: everyone may pass through it, whatever
// the umask, and it belongs to whoever makes it (root, normally).
static int ancestor_make(int dir, const char *name)
{
    static struct ks_fs_tree ancestor;

    ancestor = {geteuid(), getegid(), 0755, true, false, {}};
    int fd = component_make(dir, name, &ancestor);
    if (fd == -1 && errno == EEXIST)
        fd = openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd;
}

// The component of path that starts at at, into name; false when it is
// longer than a name can be. *end is where it ends.
static bool component_at(const char *path, size_t length, size_t at, size_t *end, char name[NAME_MAX + 1])
{
    *end = at;
    while (*end < length && path[*end] != '/')
        (*end)++;
    if (*end - at > NAME_MAX)
        return false;
    memcpy(name, path + at, *end - at);
    name[*end - at] = '\0';
    return true;
}

int ks_fs_tree_root(const char *path, struct ks_fs_tree *tree)
{
    size_t length = strlen(path);

    tree->failed[0] = '\0';
    if (path[0] != '/' || length >= sizeof tree->failed)
        return tree_fail(tree, path, length, path[0] != '/' ? EINVAL : ENAMETOOLONG);
    while (length > 1 && path[length - 1] == '/')
        length--;
    if (length == 1)
        return tree_fail(tree, path, length, EINVAL);
    int dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir == -1)
        return tree_fail(tree, "/", 1, errno);
    for (size_t at = 1; at < length;) {
        size_t end;
        char name[NAME_MAX + 1];
        if (!component_at(path, length, at, &end, name)) {
            ks_fd_close(dir);
            return tree_fail(tree, path, end, ENAMETOOLONG);
        }
        int next;
        if (end == length) {
            next = tree_component(dir, name, tree);
        } else if (name[0] == '\0' || strcmp(name, ".") == 0) {
            at = end + 1;
            continue;
        } else {
            next = openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next == -1 && link_owned_by_root(dir, name))
                next = openat(dir, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
            else if (next == -1 && errno == ENOENT && tree->create)
                next = ancestor_make(dir, name);
            if (next == -1)
                errno = link_error(dir, name, errno);
        }
        int error = errno;
        ks_fd_close(dir);
        if (next == -1)
            return tree_fail(tree, path, end, error);
        dir = next;
        at = end + 1;
    }
    return dir;
}

int ks_fs_tree_dir(int dir, const char *relative, struct ks_fs_tree *tree)
{
    size_t length = strlen(relative);
    int current = dir;

    tree->failed[0] = '\0';
    for (size_t at = 0; at < length;) {
        size_t end;
        char name[NAME_MAX + 1];
        if (!component_at(relative, length, at, &end, name) || end == at || strcmp(name, ".") == 0 ||
            strcmp(name, "..") == 0) {
            if (current != dir)
                ks_fd_close(current);
            return tree_fail(tree, relative, end, EINVAL);
        }
        int next = tree_component(current, name, tree);
        int error = errno;
        if (current != dir)
            ks_fd_close(current);
        if (next == -1)
            return tree_fail(tree, relative, end, error);
        current = next;
        at = end + 1;
    }
    if (current == dir) {
        current = fcntl(dir, F_DUPFD_CLOEXEC, 0);
        if (current == -1)
            return tree_fail(tree, relative, length, errno);
    }
    return current;
}

int ks_fs_openat(int dir, char *name, int flags, mode_t mode)
{
    int fd;

    do {
        uuid_t uuid;

        uuid_generate(uuid);
        uuid_unparse_lower(uuid, name);
        fd = openat(dir, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    } while (fd == -1 && errno == EEXIST);
    return fd;
}
