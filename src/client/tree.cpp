#include "client/tree.h"

#include "common/cf.h"
#include "common/fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr int unopened = -2;

static const struct {
    const char *parent; // null: the root
    const char *name;
} places[KS_TREE_COUNT] = {
    {nullptr, "staging"},       {nullptr, "pending"},  {nullptr, "sending"},
    {"committed", "coredump"},  {"committed", "snapshot"},
    {nullptr, "assets"},        {"failed", "pending"}, {"failed", "sending"},
};

static struct {
    int root; // -1 when it does not exist
    int dir[KS_TREE_COUNT];
} tree = {unopened, {unopened, unopened, unopened, unopened, unopened, unopened, unopened, unopened}};

// The reader is told who may read the tree, from the directory's own group
// (the configuration's group is the caller's own when it names none).
[[noreturn]] static void unreadable(int at, const char *name, const char *path)
{
    struct stat st;
    char number[32];
    const char *group = nullptr;

    if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        struct group *gr = getgrgid(st.st_gid);
        snprintf(number, sizeof(number), "%u", static_cast<unsigned int>(st.st_gid));
        group = gr != nullptr ? gr->gr_name : number;
    }
    if (group != nullptr)
        fprintf(stderr, "error: cannot read the archive tree: %s: only its owner and the group %s may read it\n",
                path, group);
    else
        fprintf(stderr, "error: cannot read the archive tree: %s: permission denied\n", path);
    exit(1);
}

// One directory of the tree under at; -1 when it does not exist.
static int step(int at, const char *name, const char *path)
{
    struct stat st;
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);

    if (fd != -1)
        return fd;
    int error = errno;
    if (error == ENOENT)
        return -1;
    if (error == EACCES || error == EPERM)
        unreadable(at, name, path);
    if (error == ENOTDIR && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        fprintf(stderr, "error: %s is a symbolic link: the archive tree is never read through links\n", path);
        exit(1);
    }
    fprintf(stderr, "error: failed to open archive: %s\n", strerror(error));
    exit(1);
}

// The directories above the root belong to the system and are followed;
// the root itself belongs to the archive owner.
static int root(void)
{
    const char *path = ks_cf_get()->archive.root;

    if (tree.root == unopened)
        tree.root = step(AT_FDCWD, path, path);
    return tree.root;
}

int ks_tree_dir(enum ks_tree_place place)
{
    const char *path = ks_tree_path(place);
    int at = root();

    if (tree.dir[place] != unopened)
        return tree.dir[place];
    tree.dir[place] = -1;
    if (at == -1)
        return -1;
    if (places[place].parent == nullptr) {
        tree.dir[place] = step(at, places[place].name, path);
        return tree.dir[place];
    }
    // The parent's path is the directory's without its last component.
    size_t length = strlen(path) - strlen(places[place].name) - 1;
    char parent[4096];
    snprintf(parent, sizeof(parent), "%.*s", static_cast<int>(length), path);
    int middle = step(at, places[place].parent, parent);
    if (middle == -1)
        return -1;
    tree.dir[place] = step(middle, places[place].name, path);
    ks_fd_close(middle);
    return tree.dir[place];
}

int ks_tree_root(void) { return root(); }

const char *ks_tree_path(enum ks_tree_place place)
{
    const struct ks_cf *cf = ks_cf_get();
    const char *const paths[KS_TREE_COUNT] = {
        cf->path.staging, cf->path.pending, cf->path.sending, cf->path.committed,
        cf->path.sent,    cf->path.assets,  cf->path.failed.pending, cf->path.failed.sending,
    };

    return paths[place];
}

DIR *ks_tree_opendir(int fd, const char *what)
{
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = copy != -1 ? fdopendir(copy) : nullptr;

    if (dir == nullptr) {
        perror(what);
        exit(1);
    }
    // The copy shares the offset, which an earlier reading left at the end.
    rewinddir(dir);
    return dir;
}
