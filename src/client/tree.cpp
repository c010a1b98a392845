#include "client/tree.h"

#include "common/cf.h"
#include "common/fd.h"
#include "common/fs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr int unopened = -2;

// Below the root, as the tree's walk takes them.
static const char *const names[KS_TREE_COUNT] = {
    "staging", "pending", "sending", "committed/coredump", "committed/snapshot", "assets", "failed/pending",
    "failed/sending",
};

static struct {
    int root; // -1 when it does not exist
    int dir[KS_TREE_COUNT];
    // The client makes nothing and changes no mode: it only reads.
    struct ks_fs_tree walk;
} tree = {unopened, {unopened, unopened, unopened, unopened, unopened, unopened, unopened, unopened}, {}};

void ks_tree_refused(const char *what, int at, const char *name, const char *path)
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
        fprintf(stderr, "error: cannot read %s: %s: only its owner and the group %s may read it\n", what, path,
                group);
    else
        fprintf(stderr, "error: cannot read %s: %s: permission denied\n", what, path);
    exit(1);
}

void ks_tree_link_refused(const char *path)
{
    fprintf(stderr, "error: %s is a symbolic link: the archive tree is never read through links\n", path);
    exit(1);
}

// What the walk opened; -1 when the directory does not exist. The walk
// failed at the component it names, relative to at: that is what the
// reader is told about.
static int opened(int fd, int at, const char *prefix)
{
    char path[8200];

    if (fd != -1)
        return fd;
    int error = errno;
    if (error == ENOENT)
        return -1;
    snprintf(path, sizeof path, "%s%s%s", prefix, *prefix != '\0' ? "/" : "", tree.walk.failed);
    if (error == EACCES || error == EPERM)
        ks_tree_refused("the archive tree", at, tree.walk.failed, path);
    if (error == ELOOP)
        ks_tree_link_refused(path);
    fprintf(stderr, "error: failed to open archive: %s\n", strerror(error));
    exit(1);
}

static int root(void)
{
    if (tree.root == unopened)
        tree.root = opened(ks_fs_tree_root(ks_cf_get()->archive.root, &tree.walk), AT_FDCWD, "");
    return tree.root;
}

int ks_tree_dir(enum ks_tree_place place)
{
    int at = root();

    if (tree.dir[place] != unopened)
        return tree.dir[place];
    tree.dir[place] = at == -1 ? -1 : opened(ks_fs_tree_dir(at, names[place], &tree.walk), at, ks_cf_get()->archive.root);
    return tree.dir[place];
}

const char *ks_tree_name(enum ks_tree_place place) { return names[place]; }

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
