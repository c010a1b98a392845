// The purge of kept files: committed core images and snapshots, and the files
// of crashes given up into the failure directories, go with their assets once
// they are older than purge.age. It runs after every scan and on a timer set
// for the moment the oldest kept file expires.

#include "server/watcher.h"

#include "common/cf.h"
#include "common/log.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#define PURGE_PATH_MAX 4096

static struct {
    ks_io_t *io = nullptr;
    struct ks_cf *cf = nullptr;
    ks_io_timer_t *timer = nullptr;
    time_t deadline = 0; // what the timer is armed for; 0 when none
} state;

static bool path_join(char *buffer, const char *dir, const char *name)
{
    int n = snprintf(buffer, PURGE_PATH_MAX, "%s/%s", dir, name);

    return n >= 0 && n < PURGE_PATH_MAX;
}

void ks_watcher_gc_init(ks_io_t *io)
{
    state.io = io;
    state.cf = ks_cf_get();
}

bool ks_watcher_gc_active(void)
{
    return !state.cf->daemon.purge.disabled && state.cf->daemon.purge.age > 0;
}

static void gc_remove(const char *dir, const char *name)
{
    char asset[PURGE_PATH_MAX], file[PURGE_PATH_MAX];

    if (!path_join(asset, state.cf->path.assets, name))
        ks_log(LOG_WARNING, "warning: failed to construct path for asset clean-up.\n");
    else if (unlink(asset) == -1 && errno != ENOENT)
        ks_perror("warning: failed to purge asset file '%s'", asset);
    if (!path_join(file, dir, name)) {
        ks_log(LOG_WARNING, "warning: failed to construct path for clean-up.\n");
        return;
    }
    if (unlink(file) == -1)
        ks_perror("warning: failed to purge object '%s'", file);
    else
        ks_log(LOG_INFO, "kestrel purged %s due to expiry\n", file);
}

time_t ks_watcher_gc_scan(const char *path)
{
    time_t now = time(nullptr), oldest = 0;
    DIR *d = opendir(path);
    struct dirent *e;

    if (d == nullptr)
        return 0;
    while ((e = readdir(d)) != nullptr) {
        char file[PURGE_PATH_MAX];
        struct stat st;

        if (e->d_name[0] == '.')
            continue;
        if (!path_join(file, path, e->d_name)) {
            ks_log(LOG_WARNING, "warning: failed to construct path for clean-up.\n");
            continue;
        }
        if (stat(file, &st) == -1) {
            ks_perror("error: failed to extract metadata from '%s'", file);
            continue;
        }
        if (!S_ISREG(st.st_mode))
            continue;
        if (st.st_mtime <= now - state.cf->daemon.purge.age)
            gc_remove(path, e->d_name);
        else if (oldest == 0 || oldest > st.st_mtime)
            oldest = st.st_mtime;
    }
    closedir(d);
    return oldest;
}

void ks_watcher_gc(void)
{
    const struct ks_cf *cf = state.cf;
    const char *dirs[] = {cf->path.committed, cf->path.sent, cf->path.failed.pending,
                          cf->path.failed.sending};
    time_t oldest = 0;

    if (!ks_watcher_gc_active())
        return;
    for (const char *dir : dirs) {
        time_t t = ks_watcher_gc_scan(dir);
        if (t != 0 && (oldest == 0 || t < oldest))
            oldest = t;
    }
    ks_watcher_gc_timer(oldest != 0 ? oldest + cf->daemon.purge.age : 0);
}

// The deadline has passed: the purge asks for the next one afresh.
static void gc_timer_handler(ks_io_timer_t *timer)
{
    ks_io_timer_destroy(timer);
    state.timer = nullptr;
    state.deadline = 0;
    ks_watcher_gc();
}

static void gc_timer_cancel(void)
{
    ks_io_timer_destroy(state.timer);
    state.timer = nullptr;
    state.deadline = 0;
}

void ks_watcher_gc_timer(time_t tm)
{
    // Without a purge there is nothing to wake up for.
    if (tm == 0 || !ks_watcher_gc_active()) {
        gc_timer_cancel();
        return;
    }
    if (state.deadline != 0 && state.deadline < tm)
        return;
    gc_timer_cancel();
    ks_io_timer_t *timer = ks_io_timer_create(state.io, gc_timer_handler, 0);
    if (timer == nullptr) {
        ks_log(LOG_ERR, "error: failed to arm clean-up timer\n");
        return;
    }
    time_t now = time(nullptr);
    time_t delay = tm > now ? tm - now : 1;
    struct itimerspec spec = {{delay, 0}, {delay, 0}};
    if (!ks_io_timer_set(timer, &spec) || !ks_io_timer_add(state.io, timer)) {
        ks_io_timer_destroy(timer);
        ks_log(LOG_ERR, "error: failed to arm clean-up timer\n");
        return;
    }
    ks_log(LOG_INFO, "kestrel triggering clean-up in %ju seconds (%ju hours)\n",
           static_cast<uintmax_t>(delay), static_cast<uintmax_t>(delay / 3600));
    state.timer = timer;
    state.deadline = tm;
}

