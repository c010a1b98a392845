#include "server/watcher.h"

#include "common/cf.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/parse.h"
#include "common/tar.h"
#include "server/slave.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#define WATCHER_PATH_MAX 4096
#define WATCHER_RETRY 3             // seconds between attempts at tree, lock and watch
#define WATCHER_DEFAULTS_MAX 10485760 // bytes of defaults output taken at most
#define WATCHER_DEFAULTS_BOUND 30   // seconds for the defaults command without a snapshot time-out
#define WATCHER_ENV_STRING_MAX 131072 // the kernel's limit on one environment string, NUL included

static struct {
    ks_io_t *io = nullptr;
    ks_io_fs_t *fs = nullptr;
    ks_io_timer_t *timer = nullptr; // retry of tree, lock and watch
    struct ks_cf *cf = nullptr;
    int lock = -1; // the locked archive root
    ks_tailq_head lists[KS_WATCHER_COUNT] = {};
    // Objects that found their stage's pool full, oldest first: a freed
    // place goes to the head. During a processing pass newcomers gather in
    // batch, newest first, and join the queue in arrival order after it.
    ks_tailq_head waiting[KS_SLAVE_TYPE_COUNT] = {};
    ks_tailq_head batch[KS_SLAVE_TYPE_COUNT] = {};
    bool in_pass = false;
    std::unordered_map<std::string_view, ks_watcher_object *> index; // by base name
    ks_io_timer_t *fail_timer = nullptr;
    ks_io_timer_t *gc_timer = nullptr;
    time_t gc_deadline = 0;
} state;

static const char *const state_names[KS_WATCHER_COUNT] = {"float", "pending", "active", "failed"};

static void watcher_handle(ks_watcher_object *o);
static void watcher_process(void);
static char *watcher_format(char c, const char *prefix, const char *suffix, void *cl);

static ks_watcher_object *object_of(ks_tailq_entry *entry)
{
    return KS_CONTAINER_OF(entry, ks_watcher_object, linkage);
}

static ks_watcher_object *waiting_of(ks_tailq_entry *entry)
{
    return KS_CONTAINER_OF(entry, ks_watcher_object, waiting);
}

static ks_tailq_head *list_of(ks_watcher_state st) { return &state.lists[st]; }

// The pool and settings of the stage an object is in.
static bool stage_type(ks_stage stage, ks_slave_type *type)
{
    if (stage == KS_STAGE_PENDING)
        *type = KS_SLAVE_SNAPSHOT;
    else if (stage == KS_STAGE_SENDING)
        *type = KS_SLAVE_SEND;
    else
        return false;
    return true;
}

static struct ks_cf_stage *stage_of(ks_slave_type type) { return &state.cf->daemon.stages[type]; }

static const char *watcher_stage_string(ks_stage stage)
{
    switch (stage) {
    case KS_STAGE_STAGING:
        return "staging";
    case KS_STAGE_PENDING:
        return "pending";
    case KS_STAGE_SENDING:
        return "sending";
    case KS_STAGE_COMMITTED:
        return "committed";
    default:
        return "unknown";
    }
}

static bool path_join(char *buffer, const char *dir, const char *name)
{
    int n = snprintf(buffer, WATCHER_PATH_MAX, "%s/%s", dir, name);

    return n >= 0 && n < WATCHER_PATH_MAX;
}

// Waiting for a pool place.

static void waiting_join(ks_watcher_object *o, ks_slave_type type)
{
    if (o->queue != nullptr)
        return;
    if (state.in_pass) {
        o->queue = &state.batch[type];
        ks_tailq_insert_head(o->queue, &o->waiting);
    } else {
        o->queue = &state.waiting[type];
        ks_tailq_insert_tail(o->queue, &o->waiting);
    }
}

static void waiting_leave(ks_watcher_object *o)
{
    if (o->queue == nullptr)
        return;
    ks_tailq_remove(o->queue, &o->waiting);
    o->queue = nullptr;
}

// The pass handles the newest object first; its newcomers queue up behind
// those already waiting, oldest first.
static void waiting_settle(void)
{
    for (int type = 0; type < KS_SLAVE_TYPE_COUNT; type++) {
        ks_tailq_entry *e;
        while ((e = state.batch[type].tqh_first) != nullptr) {
            ks_watcher_object *o = waiting_of(e);
            ks_tailq_remove(&state.batch[type], e);
            o->queue = &state.waiting[type];
            ks_tailq_insert_tail(o->queue, e);
        }
    }
}

// Hands every free place to the object that has waited longest for one.
static void waiting_serve(void)
{
    for (int type = 0; type < KS_SLAVE_TYPE_COUNT; type++) {
        ks_tailq_entry *e;
        while ((e = state.waiting[type].tqh_first) != nullptr &&
               ks_slave_available(static_cast<ks_slave_type>(type)))
            watcher_handle(waiting_of(e));
    }
}

// Objects: loading, lists, destruction.

static void env_release(ks_watcher_object *o)
{
    if (o->child_env.envp == nullptr)
        return;
    qu_env_deinit(&o->child_env);
    o->child_env = {};
}

static void watcher_object_destroy(ks_watcher_object *o)
{
    ks_watcher_unlink(o);
    waiting_leave(o);
    auto at = state.index.find(o->basename);
    if (at != state.index.end() && at->second == o)
        state.index.erase(at);
    ks_format_argv_free(o->argv);
    free(o->executable);
    env_release(o);
    free(o);
}

ks_watcher_object *ks_watcher_find(const char *base)
{
    auto at = state.index.find(base);

    return at != state.index.end() ? at->second : nullptr;
}

void ks_watcher_unlink(ks_watcher_object *o)
{
    switch (o->state) {
    case KS_WATCHER_FLOAT:
        return;
    case KS_WATCHER_PENDING:
    case KS_WATCHER_ACTIVE:
    case KS_WATCHER_FAILED:
        ks_tailq_remove(list_of(o->state), &o->linkage);
        o->state = KS_WATCHER_FLOAT;
        return;
    default:
        abort();
    }
}

// The record with its core image path and the four companion paths behind it.
static ks_watcher_object *object_alloc(const char *base)
{
    const struct ks_cf *cf = state.cf;
    const char *dirs[] = {cf->path.pending, cf->path.sent, cf->path.sending, cf->path.assets,
                          cf->path.committed};
    size_t sizes[5], total = 0, base_len = strlen(base);

    for (size_t i = 0; i < 5; i++) {
        sizes[i] = strlen(dirs[i]) + 1 + base_len + 1;
        total += sizes[i];
        if (sizes[i] <= WATCHER_PATH_MAX)
            continue;
        if (i == 0)
            ks_log(LOG_ERR, "error: failed to schedule %s/%s\n", dirs[0], base);
        else
            ks_log(LOG_ERR, "error: object %s failed to process due to an internal error.\n", base);
        return nullptr;
    }
    auto *o = static_cast<ks_watcher_object *>(calloc(1, sizeof(ks_watcher_object) + total));
    if (o == nullptr) {
        ks_log(LOG_ERR, "error: failed to allocate object %s\n", base);
        return nullptr;
    }
    char *at = o->path;
    char **fields[] = {nullptr, &o->pst.sent, &o->pst.sending, &o->pst.asset, &o->pst.committed};
    for (size_t i = 0; i < 5; i++) {
        snprintf(at, sizes[i], "%s/%s", dirs[i], base);
        if (fields[i] != nullptr)
            *fields[i] = at;
        at += sizes[i];
    }
    o->basename = o->path + strlen(dirs[0]) + 1;
    return o;
}

// The crash time: the modification time of the first of its files found.
static time_t object_creation(const ks_watcher_object *o)
{
    const char *paths[] = {o->path, o->pst.asset, o->pst.sending};
    struct stat st;

    for (const char *path : paths)
        if (stat(path, &st) == 0)
            return st.st_mtime;
    return 0;
}

// The executable named by the asset's "/proc/self/exe" entry, or null.
static char *asset_executable(const char *asset)
{
    struct ks_tar_iterator *it = ks_tar_iterator_open(asset);
    char *executable = nullptr;
    size_t length;
    ks_tar_type type;

    if (it == nullptr)
        return nullptr;
    const char *content = ks_tar_iterate_to(it, "/proc/self/exe", &length, &type);
    if (content != nullptr)
        executable = strndup(content, length);
    ks_tar_iterator_destroy(it);
    return executable;
}

static bool index_insert(ks_watcher_object *o)
{
    try {
        state.index.emplace(o->basename, o);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void ks_watcher_add(ks_stage stage, const char *base)
{
    if (ks_watcher_find(base) != nullptr)
        return;
    ks_log(LOG_DEBUG, "adding %s/%s\n", state.cf->path.pending, base);
    ks_watcher_object *o = object_alloc(base);
    if (o == nullptr)
        return;
    (void) clock_gettime(CLOCK_MONOTONIC, &o->st.added);
    o->stage = stage;
    o->st.creation = object_creation(o);
    if (!ks_watcher_object_invariant(o))
        return;
    o->executable = asset_executable(o->pst.asset);
    if (!index_insert(o)) {
        ks_log(LOG_ERR, "error: failed to allocate object %s\n", base);
        watcher_object_destroy(o);
        return;
    }
    ks_watcher_step(o, KS_WATCHER_PENDING);
}

void ks_watcher_step(ks_watcher_object *o, ks_watcher_state st)
{
    ks_watcher_unlink(o);
    ks_log(LOG_DEBUG, "object %s: new state %s\n", o->basename, state_names[st]);
    switch (st) {
    case KS_WATCHER_ACTIVE:
        ks_tailq_insert_head(list_of(st), &o->linkage);
        o->st.n_attempt++;
        break;
    case KS_WATCHER_FAILED:
        if (!ks_watcher_object_invariant(o))
            return;
        ks_tailq_insert_tail(list_of(st), &o->linkage);
        break;
    case KS_WATCHER_PENDING:
        ks_tailq_insert_head(list_of(st), &o->linkage);
        break;
    default:
        return;
    }
    o->state = st;
}

// Giving up and committing.

static bool purge_active(void)
{
    return !state.cf->daemon.purge.disabled && state.cf->daemon.purge.age > 0;
}

static void object_snapshot_ensure(const char *path)
{
    const struct ks_cf *cf = state.cf;

    if (chown(path, cf->archive.uid, cf->archive.gid) == -1 && errno != ENOENT)
        ks_perror("error: failed to set snapshot permissions on '%s'", path);
    if (chmod(path, cf->archive.mode) == -1 && errno != ENOENT)
        ks_perror("error: failed to update snapshot permissions on '%s'", path);
}

// Deletes the object's files; the snapshot only where it may exist.
static void object_delete(ks_watcher_object *o, bool snapshot)
{
    (void) unlink(o->pst.asset);
    (void) unlink(o->path);
    if (snapshot)
        (void) unlink(o->pst.sending);
    watcher_object_destroy(o);
}

// A file that is already gone is accepted.
static bool failure_move(const ks_watcher_object *o, const char *from, const char *to)
{
    if (rename(from, to) == 0 || errno == ENOENT)
        return true;
    ks_log(LOG_ERR, "error: failed to archive %s failure, deleting.\n", o->basename);
    return false;
}

// Moves the object's files into the failure directories; false when they
// have to be deleted instead.
static bool object_archive(ks_watcher_object *o)
{
    char pending[WATCHER_PATH_MAX], sending[WATCHER_PATH_MAX];

    if (!path_join(pending, state.cf->path.failed.pending, o->basename) ||
        !path_join(sending, state.cf->path.failed.sending, o->basename))
        return false;
    if (!failure_move(o, o->path, pending) || !failure_move(o, o->pst.sending, sending))
        return false;
    object_snapshot_ensure(sending);
    ks_watcher_gc_timer(o->st.creation + state.cf->daemon.purge.age);
    watcher_object_destroy(o);
    return true;
}

static bool object_too_old(const ks_watcher_object *o)
{
    time_t age = state.cf->daemon.purge.age;

    return purge_active() && o->st.creation > 0 && o->st.creation <= time(nullptr) - age;
}

bool ks_watcher_object_invariant(ks_watcher_object *o)
{
    ks_slave_type type;

    if (object_too_old(o)) {
        ks_log(LOG_ERR, "error: failed to process %s (exceeds age)\n", o->basename);
        object_delete(o, true);
        return false;
    }
    if (!stage_type(o->stage, &type))
        return true;
    const struct ks_cf_stage *stage = stage_of(type);
    if (stage->limit == 0 || o->st.n_attempt < stage->limit)
        return true;
    ks_log(LOG_ERR, "error: failed to process %s (%u attempts)\n", o->basename, o->st.n_attempt);
    if (stage->retry == KS_CF_A_ARCHIVE && object_archive(o))
        return false;
    object_delete(o, o->stage == KS_STAGE_SENDING);
    return false;
}

static uintmax_t seconds_since(const struct timespec *start)
{
    struct timespec now;

    if (clock_gettime(CLOCK_MONOTONIC, &now) == -1 || now.tv_sec < start->tv_sec)
        return 0;
    return static_cast<uintmax_t>(now.tv_sec - start->tv_sec);
}

void ks_watcher_object_commit(ks_watcher_object *o)
{
    const struct ks_cf *cf = state.cf;
    bool archived = false;

    if (cf->daemon.stages[KS_SLAVE_SNAPSHOT].commit == KS_CF_A_ARCHIVE) {
        archived = true;
        if (rename(o->path, o->pst.committed) == -1)
            ks_perror("error: failed to commit object '%s'", o->path);
    }
    if (cf->daemon.stages[KS_SLAVE_SEND].commit == KS_CF_A_ARCHIVE) {
        archived = true;
        if (rename(o->pst.sending, o->pst.sent) == -1)
            ks_perror("error: failed to commit snapshot '%s'", o->pst.sending);
        else
            object_snapshot_ensure(o->pst.sent);
    }
    uintmax_t elapsed = seconds_since(&o->st.added);
    if (archived)
        ks_watcher_gc_timer(o->st.creation + cf->daemon.purge.age);
    ks_log(LOG_INFO, "crash %s processed in %ju second%s", o->basename, elapsed,
           elapsed == 1 ? "" : "s");
}

// Stage commands: values, the defaults command, starting and ending.

static const char *term_reason_name(qu_termination_id id)
{
    switch (id) {
    case QU_TERMINATION_ID_CLEAN:
        return "exit code";
    case QU_TERMINATION_ID_SIGNALED:
        return "signal";
    case QU_TERMINATION_ID_STOPPED:
        return "stop code";
    default:
        return "unknown code";
    }
}

static char *watcher_format(char c, const char *prefix, const char *suffix, void *cl)
{
    auto *o = static_cast<ks_watcher_object *>(cl);
    const char *value;
    char *result;

    switch (c) {
    case 'c':
        value = o->path;
        break;
    case 'e':
        if (o->executable == nullptr) {
            ks_log(LOG_ERR, "Object has no executable.\n");
            return nullptr;
        }
        value = o->executable;
        break;
    case 'a':
        value = o->pst.asset;
        break;
    case 'S':
        value = o->pst.sending;
        break;
    case 'B':
        value = o->basename;
        break;
    default:
        if (c < '0' || c > '9')
            return nullptr;
        value = ks_cf_format_match(c, watcher_format, o);
        break;
    }
    if (asprintf(&result, "%s%s%s", prefix != nullptr ? prefix : "", value,
                 suffix != nullptr ? suffix : "") == -1) {
        ks_log(LOG_ERR, "asprintf failed: %s\n", strerror(errno));
        return nullptr;
    }
    return result;
}

// A bound on the defaults command, which the whole loop waits for.
static unsigned int defaults_bound(const struct ks_cf *cf)
{
    time_t timeout = cf->daemon.stages[KS_SLAVE_SNAPSHOT].timeout;

    if (timeout <= 0)
        return WATCHER_DEFAULTS_BOUND;
    return timeout > static_cast<time_t>(UINT_MAX) ? UINT_MAX : static_cast<unsigned int>(timeout);
}

// The output goes into the environment block as it is, up to a NUL byte; a
// string the kernel would refuse at exec is left out, or no command would
// ever start.
static void defaults_set(ks_watcher_object *o, const struct ks_cf *cf, const char *command,
                         const char *out, size_t length)
{
    const char *name = cf->daemon.defaults_variable;
    size_t value = strnlen(out, length);
    size_t size = strlen(name) + 1 + value + 1;

    if (size > WATCHER_ENV_STRING_MAX) {
        ks_log(LOG_WARNING, "warning: output of %s is too large for %s (%zu bytes), not passed\n",
               command, name, size);
        return;
    }
    (void) qu_env_set_kv(&o->child_env, name, static_cast<size_t>(-1), out, value);
}

static bool watcher_kvs_obtain(ks_watcher_object *o, const struct ks_cf *cf)
{
    struct qu_termination term = {QU_TERMINATION_ID_UNKNOWN, 0};
    size_t argc = 0, length = WATCHER_DEFAULTS_MAX;
    char *out = nullptr;
    char **argv = ks_format_argv(cf->daemon.defaults_format, watcher_format, o, &argc);

    if (argv == nullptr)
        return false;
    const char *command = argv[0] != nullptr ? argv[0] : "";
    qu_error err = qu_exec_bounded(command, argc, const_cast<const char **>(argv), nullptr,
                                   defaults_bound(cf), &term, nullptr, nullptr, &out, &length);
    bool ok = err == QU_ERR_NONE && term.how == QU_TERMINATION_ID_CLEAN && term.code == 0;
    if (err != QU_ERR_NONE)
        ks_log(LOG_WARNING, "unable to execute %s: %s\n", command, qu_error_str(err));
    else if (!ok)
        ks_log(LOG_WARNING, "unable to execute %s - command failed with %s %d\n", command,
               term_reason_name(term.how), term.code);
    else
        defaults_set(o, cf, command, out != nullptr ? out : "", out != nullptr ? length : 0);
    free(out);
    ks_format_argv_free(argv);
    return ok;
}

// The environment of the stage commands: a copy of ours, plus the defaults
// variable from the snapshot attempt. An object that starts at the send
// stage gets the copy alone.
static bool stage_env(ks_watcher_object *o, ks_slave_type type, const char **error)
{
    if (type == KS_SLAVE_SEND && o->child_env.envp != nullptr)
        return true;
    env_release(o);
    qu_error err = qu_env_init(&o->child_env);
    if (err != QU_ERR_NONE) {
        o->child_env = {};
        *error = qu_error_str(err);
        return false;
    }
    if (type == KS_SLAVE_SNAPSHOT)
        (void) watcher_kvs_obtain(o, state.cf);
    return true;
}

// Why a command failed, or null when it succeeded.
static const char *watcher_judge(int st, ks_slave_term_cause cause)
{
    if (cause == KS_SLAVE_TERM_CAUSE_TIMEOUT)
        return "timeout";
    if (st & 0x7f)
        return "abnormal termination";
    if (st & 0xff00)
        return "non-zero exit";
    return nullptr;
}

static void watcher_update(int st, void *cl, ks_slave_term_cause cause)
{
    auto *o = static_cast<ks_watcher_object *>(cl);
    const struct ks_cf *cf = state.cf;
    const char *reason = watcher_judge(st, cause);

    if (reason != nullptr) {
        // A partial snapshot is never kept.
        if (o->stage == KS_STAGE_PENDING)
            (void) unlink(o->pst.sending);
        ks_log(LOG_ERR, "error: %s has failed at %s stage due to %s\n", o->basename,
               watcher_stage_string(o->stage), reason);
        ks_watcher_step(o, KS_WATCHER_FAILED);
    } else if (o->stage == KS_STAGE_PENDING) {
        if (cf->daemon.stages[KS_SLAVE_SNAPSHOT].commit == KS_CF_A_UNLINK)
            (void) unlink(o->path);
        o->stage = KS_STAGE_SENDING;
        o->st.n_attempt = 0;
        watcher_handle(o);
    } else if (o->stage == KS_STAGE_SENDING) {
        if (cf->daemon.stages[KS_SLAVE_SEND].commit == KS_CF_A_UNLINK) {
            if (cf->daemon.stages[KS_SLAVE_SNAPSHOT].commit == KS_CF_A_UNLINK)
                (void) unlink(o->pst.asset);
            (void) unlink(o->pst.sending);
        }
        o->stage = KS_STAGE_COMMITTED;
        o->st.n_attempt = 0;
        watcher_handle(o);
    }
    waiting_serve();
    watcher_process();
}

static void stage_failed_to_start(ks_watcher_object *o, ks_slave_type type, const char *error)
{
    if (type == KS_SLAVE_SNAPSHOT)
        ks_log(LOG_ERR, "error: failed to snapshot %s: %s\n", o->basename, error);
    else
        ks_log(LOG_ERR, "error: failed to send %s: %s\n", o->basename, error);
    ks_watcher_step(o, KS_WATCHER_FAILED);
}

static void stage_run(ks_watcher_object *o, ks_slave_type type)
{
    const char *error = "";

    // Without the archive lock the tree is another daemon's: forget the
    // object, whose files stay for whoever holds the lock.
    if (state.lock == -1) {
        ks_log(LOG_DEBUG, "object %s: forgotten without the archive lock\n", o->basename);
        watcher_object_destroy(o);
        return;
    }
    if (!ks_slave_available(type)) {
        waiting_join(o, type);
        ks_watcher_step(o, KS_WATCHER_FAILED);
        return;
    }
    waiting_leave(o);
    o->argv = ks_format_argv(stage_of(type)->format, watcher_format, o, nullptr);
    if (o->argv == nullptr) {
        ks_watcher_step(o, KS_WATCHER_FAILED);
        return;
    }
    if (!stage_env(o, type, &error) ||
        !ks_slave_execv(type, const_cast<const char **>(o->argv),
                        const_cast<const char **>(o->child_env.envp), watcher_update, o, &error)) {
        stage_failed_to_start(o, type, error);
        return;
    }
    ks_watcher_step(o, KS_WATCHER_ACTIVE);
}

static void watcher_handle(ks_watcher_object *o)
{
    if (clock_gettime(CLOCK_MONOTONIC, &o->st.attempt) == -1)
        ks_log(LOG_WARNING, "warning: timestamp failure for %s\n", o->basename);
    ks_format_argv_free(o->argv);
    o->argv = nullptr;
    ks_log(LOG_DEBUG, "handling object %s stage %s\n", o->basename, ks_stage_str(o->stage));
    switch (o->stage) {
    case KS_STAGE_PENDING:
        stage_run(o, KS_SLAVE_SNAPSHOT);
        break;
    case KS_STAGE_SENDING:
        stage_run(o, KS_SLAVE_SEND);
        break;
    case KS_STAGE_COMMITTED:
        env_release(o);
        ks_watcher_object_commit(o);
        watcher_object_destroy(o);
        break;
    default:
        break;
    }
}

// The processing pass and the retry timer.

static void fail_handler(ks_io_timer_t *timer)
{
    ks_tailq_head *failed = list_of(KS_WATCHER_FAILED);
    ks_tailq_entry *last = ks_tailq_last(failed);

    // Objects that fail again join behind the last one and wait for the next expiry.
    for (ks_tailq_entry *e = failed->tqh_first, *next; e != nullptr; e = next) {
        next = e->tqe_next;
        bool stop = e == last;
        watcher_handle(object_of(e));
        if (stop)
            break;
    }
    if (ks_tailq_empty(failed)) {
        ks_io_timer_destroy(timer);
        state.fail_timer = nullptr;
    }
}

static void fail_timer_ensure(void)
{
    const struct ks_cf *cf = state.cf;

    if (ks_tailq_empty(list_of(KS_WATCHER_FAILED)) || state.fail_timer != nullptr)
        return;
    time_t a = cf->daemon.stages[KS_SLAVE_SNAPSHOT].interval;
    time_t b = cf->daemon.stages[KS_SLAVE_SEND].interval;
    struct itimerspec spec = {};
    spec.it_value.tv_sec = spec.it_interval.tv_sec = a < b ? a : b;
    ks_io_timer_t *timer = ks_io_timer_create(state.io, fail_handler, 0);
    if (timer == nullptr)
        return;
    if (!ks_io_timer_set(timer, &spec) || !ks_io_timer_add(state.io, timer)) {
        ks_io_timer_destroy(timer);
        return;
    }
    state.fail_timer = timer;
}

static void watcher_process(void)
{
    ks_tailq_head *pending = list_of(KS_WATCHER_PENDING);

    state.in_pass = true;
    for (ks_tailq_entry *e = pending->tqh_first, *next; e != nullptr; e = next) {
        next = e->tqe_next;
        watcher_handle(object_of(e));
    }
    state.in_pass = false;
    waiting_settle();
    fail_timer_ensure();
}

static void watcher_base(ks_io_t *) { watcher_process(); }

// The purge of kept files.

static void gc_remove(const char *dir, const char *name)
{
    char asset[WATCHER_PATH_MAX], file[WATCHER_PATH_MAX];

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
        char file[WATCHER_PATH_MAX];
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

    if (!purge_active())
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
    state.gc_timer = nullptr;
    state.gc_deadline = 0;
    ks_watcher_gc();
}

static void gc_timer_cancel(void)
{
    ks_io_timer_destroy(state.gc_timer);
    state.gc_timer = nullptr;
    state.gc_deadline = 0;
}

void ks_watcher_gc_timer(time_t tm)
{
    // Without a purge there is nothing to wake up for.
    if (tm == 0 || !purge_active()) {
        gc_timer_cancel();
        return;
    }
    if (state.gc_deadline != 0 && state.gc_deadline < tm)
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
    state.gc_timer = timer;
    state.gc_deadline = tm;
}

// Watching, scanning and the archive lock.

static bool watch_register(void)
{
    return ks_io_fs_listen(state.fs, state.cf->path.pending,
                           KS_IO_FS_MOVED_TO | KS_IO_FS_DELETE_SELF, ks_watcher_event);
}

// Queued objects are another daemon's once the lock is lost; running ones
// end by themselves.
static void forget_queued(void)
{
    for (ks_watcher_state st : {KS_WATCHER_PENDING, KS_WATCHER_FAILED}) {
        ks_tailq_entry *e;
        while ((e = list_of(st)->tqh_first) != nullptr)
            watcher_object_destroy(object_of(e));
    }
}

static void lock_release(void)
{
    if (state.lock == -1)
        return;
    (void) flock(state.lock, LOCK_UN);
    ks_fd_close(state.lock);
    state.lock = -1;
    forget_queued();
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
    struct itimerspec spec = {{WATCHER_RETRY, 0}, {WATCHER_RETRY, 0}};

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

bool ks_watcher_scan(void)
{
    const struct {
        const char *dir;
        ks_stage stage;
    } rows[] = {{state.cf->path.pending, KS_STAGE_PENDING}, {state.cf->path.sending, KS_STAGE_SENDING}};

    // The tree belongs to whoever holds the lock.
    if (state.lock == -1)
        return true;
    for (const auto &row : rows) {
        DIR *d;
        struct dirent *e;

        if (!ks_fs_directory_open(&d, row.dir)) {
            ks_log(LOG_ERR, "error: failed to scan %s: %s\n", row.dir, strerror(errno));
            return false;
        }
        while ((e = readdir(d)) != nullptr)
            if (e->d_name[0] != '.' && scan_wanted(d, e))
                ks_watcher_add(row.stage, e->d_name);
        closedir(d);
    }
    ks_watcher_gc();
    return true;
}

bool ks_watcher_init(ks_io_t *io)
{
    for (auto &list : state.lists)
        ks_tailq_init(&list);
    for (int type = 0; type < KS_SLAVE_TYPE_COUNT; type++) {
        ks_tailq_init(&state.waiting[type]);
        ks_tailq_init(&state.batch[type]);
    }
    state.cf = ks_cf_get();
    state.io = io;
    state.fs = ks_io_fs(io);
    if (state.fs == nullptr || !ks_io_cb_add(io, watcher_base)) {
        ks_log(LOG_ERR, "error: failed to create watcher.\n");
        return false;
    }
    if (!ks_watcher_ensure())
        return false;
    if (!ks_watcher_scan())
        ks_log(LOG_ERR, "error: failed to scan pending directory.\n");
    watcher_process();
    return true;
}
