// The archive tree: the lock on its root, the watch of the pending
// directory, and the scans of the pending and sending directories. A tree
// that cannot be prepared, or a lock another daemon holds, is tried again
// every 3 seconds.

#include "server/watcher.h"

#include "common/cf.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#define TREE_RETRY 3 // seconds between attempts at tree, lock and watch

static struct {
    ks_io_t *io = nullptr;
    ks_io_fs_t *fs = nullptr;
    ks_io_timer_t *timer = nullptr; // retry of tree, lock and watch
    struct ks_cf *cf = nullptr;
    int lock = -1; // the locked archive root
} state;

bool ks_watcher_locked(void) { return state.lock != -1; }

static bool watch_register(void)
{
    return ks_io_fs_listen(state.fs, state.cf->path.pending,
                           KS_IO_FS_MOVED_TO | KS_IO_FS_DELETE_SELF, ks_watcher_event);
}

static void lock_release(void)
{
    if (state.lock == -1)
        return;
    (void) flock(state.lock, LOCK_UN);
    ks_fd_close(state.lock);
    state.lock = -1;
    // Queued objects are another daemon's once the lock is lost.
    ks_watcher_forget_queued();
}

static bool same_file(int a, int b)
{
    struct stat sa, sb;

    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The lock on a root that is still the same directory is kept: letting it go
// even for a moment would let a second daemon in.
bool ks_watcher_lock(void)
{
    const char *root = state.cf->archive.root;
    int fd = open(root, O_RDONLY | O_CLOEXEC);

    if (fd == -1) {
        lock_release();
        return false;
    }
    if (state.lock != -1 && same_file(fd, state.lock)) {
        ks_fd_close(fd);
        return true;
    }
    lock_release();
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        ks_perror("error: failed to acquire lock on archive '%s'", root);
        ks_fd_close(fd);
        return false;
    }
    state.lock = fd;
    // The tree is ours now: what an interrupted compression left goes.
    ks_watcher_compress_clean();
    return true;
}

// Every 3 seconds while tree, lock or watch are not ready. The scan catches
// the crashes that arrived while nothing watched.
static void timer_handler(ks_io_timer_t *timer)
{
    const char *error = "";

    if (!ks_cf_ensure(1, &error) || !ks_watcher_lock())
        return;
    if (!watch_register()) {
        ks_log(LOG_ERR, "error: failed to watch pending directory.\n");
        return;
    }
    ks_io_timer_destroy(timer);
    state.timer = nullptr;
    (void) ks_watcher_scan();
}

bool ks_watcher_defer(void)
{
    struct itimerspec spec = {{TREE_RETRY, 0}, {TREE_RETRY, 0}};

    if (state.timer != nullptr)
        return true;
    ks_io_timer_t *timer = ks_io_timer_create(state.io, timer_handler, 0);
    if (timer != nullptr && ks_io_timer_set(timer, &spec) && ks_io_timer_add(state.io, timer)) {
        state.timer = timer;
        return true;
    }
    ks_io_timer_destroy(timer);
    ks_log(LOG_ERR, "error: failed to monitor directory.\n");
    exit(1);
}

bool ks_watcher_ensure(void)
{
    const char *error = "";

    if (!ks_cf_ensure(1, &error)) {
        ks_log(LOG_WARNING, "warning: failed to ensure archive: %s\n", error != nullptr ? error : "");
        return ks_watcher_defer();
    }
    if (!ks_watcher_lock())
        return ks_watcher_defer();
    if (watch_register())
        return true;
    ks_log(LOG_ERR, "error: failed to watch pending directory.\n");
    return false;
}

void ks_watcher_event(ks_io_fs_t *, const char *, const char *base, unsigned long mask)
{
    // Notifications were lost: look for ourselves.
    if (mask & KS_IO_FS_RESCAN)
        (void) ks_watcher_scan();
    if (mask & KS_IO_FS_DELETE_SELF) {
        if (!ks_watcher_ensure())
            exit(1);
        // A new watch is in place: catch what arrived before it.
        if (state.timer == nullptr)
            (void) ks_watcher_scan();
    } else if ((mask & KS_IO_FS_MOVED_TO) && base != nullptr) {
        ks_watcher_add(KS_STAGE_PENDING, base);
    }
}

// Regular files and symbolic links; filesystems that do not report the type
// in the directory entry are asked.
static bool scan_wanted(DIR *d, const struct dirent *e)
{
    struct stat st;

    if (e->d_type == DT_REG || e->d_type == DT_LNK)
        return true;
    if (e->d_type != DT_UNKNOWN)
        return false;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == -1)
        return false;
    return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
}

// A scan holds the pending and assets directories open: every crash it finds
// is looked at with one short lookup rather than a walk of the whole path.
bool ks_watcher_scan(void)
{
    const char *const paths[] = {state.cf->path.pending, state.cf->path.sending};
    const ks_stage stages[] = {KS_STAGE_PENDING, KS_STAGE_SENDING};
    DIR *d[2] = {nullptr, nullptr};
    bool scanned = true;

    // The tree belongs to whoever holds the lock.
    if (state.lock == -1)
        return true;
    struct ks_watcher_dirs dirs = {-1, open(state.cf->path.assets, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    for (int i = 0; i < 2; i++) {
        struct dirent *e;

        if (!ks_fs_directory_open(&d[i], paths[i])) {
            ks_log(LOG_ERR, "error: failed to scan %s: %s\n", paths[i], strerror(errno));
            scanned = false;
            break;
        }
        if (i == 0)
            dirs.pending = dirfd(d[0]);
        while ((e = readdir(d[i])) != nullptr)
            if (e->d_name[0] != '.' && scan_wanted(d[i], e))
                ks_watcher_add_at(stages[i], e->d_name, dirs.assets != -1 ? &dirs : nullptr);
    }
    if (scanned)
        ks_watcher_gc();
    for (DIR *one : d)
        if (one != nullptr)
            closedir(one);
    if (dirs.assets != -1)
        ks_fd_close(dirs.assets);
    return scanned;
}

bool ks_watcher_init(ks_io_t *io)
{
    state.cf = ks_cf_get();
    state.io = io;
    if (!ks_watcher_compress_check())
        return false;
    ks_watcher_gc_init(io);
    state.fs = ks_io_fs(io);
    if (state.fs == nullptr || !ks_watcher_pipeline_init(io)) {
        ks_log(LOG_ERR, "error: failed to create watcher.\n");
        return false;
    }
    if (!ks_watcher_ensure())
        return false;
    if (!ks_watcher_scan())
        ks_log(LOG_ERR, "error: failed to scan pending directory.\n");
    ks_watcher_process();
    return true;
}
