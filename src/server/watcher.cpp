// The road of one crash: loaded when its file is found, handled at the
// snapshot stage (the defaults command, then the snapshot command, in one
// place of the stage's pool), at the send stage, and committed; retried on a
// timer after a failure, and given up after too many attempts or when too
// old. The tree (lock, watch, scans) is tree.cpp, the purge purge.cpp.

#include "server/watcher.h"

#include "common/cf.h"
#include "common/facts.h"
#include "common/fd.h"
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
#include <fcntl.h>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

#define WATCHER_PATH_MAX 4096
#define WATCHER_ASSET_HEAD 4096 // bytes of an asset that settle its executable almost always
#define WATCHER_DEFAULTS_MAX 10485760 // bytes of defaults output taken at most
#define WATCHER_DEFAULTS_BOUND 30   // seconds for the defaults command without a snapshot time-out
#define WATCHER_ENV_STRING_MAX 131072 // the kernel's limit on one environment string, NUL included

static struct {
    ks_io_t *io = nullptr;
    struct ks_cf *cf = nullptr;
    ks_tailq_head lists[KS_WATCHER_COUNT] = {};
    // Objects that found their stage's pool full, oldest first: a freed
    // place goes to the head. During a processing pass newcomers gather in
    // batch, newest first, and join the queue in arrival order after it.
    ks_tailq_head waiting[KS_SLAVE_TYPE_COUNT] = {};
    ks_tailq_head batch[KS_SLAVE_TYPE_COUNT] = {};
    bool in_pass = false;
    std::unordered_map<std::string_view, ks_watcher_object *> index; // by base name
    ks_io_timer_t *fail_timer = nullptr;
    // Where the start of an asset is read.
    char head[WATCHER_ASSET_HEAD];
    struct ks_tar_iterator lookup;
} state;

static const char *const state_names[KS_WATCHER_COUNT] = {"float", "pending", "active", "failed"};

static void watcher_handle(ks_watcher_object *o);
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
    ks_format_argv_free(o->defaults_argv);
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
static time_t object_creation(const ks_watcher_object *o, const struct ks_watcher_dirs *dirs)
{
    struct stat st;

    if (dirs != nullptr ? fstatat(dirs->pending, o->basename, &st, 0) == 0 : stat(o->path, &st) == 0)
        return st.st_mtime;
    if (dirs != nullptr ? fstatat(dirs->assets, o->basename, &st, 0) == 0 : stat(o->pst.asset, &st) == 0)
        return st.st_mtime;
    if (stat(o->pst.sending, &st) == 0)
        return st.st_mtime;
    return 0;
}

// Both entries lie in the asset's first bytes when the archiver wrote it; an
// asset from elsewhere is walked whole, through the descriptor it was read by.
static void asset_walk(ks_watcher_object *o, int fd)
{
    struct ks_tar_iterator *it = ks_tar_iterator_fdopen(fd);
    const char *content, *name;
    size_t length;
    ks_tar_type type;

    if (it == nullptr)
        return;
    while ((content = ks_tar_iterate(it, &name, &length, &type)) != nullptr) {
        if (o->executable == nullptr && strcmp(name, "/proc/self/exe") == 0)
            o->executable = strndup(content, length);
        else if (o->signature[0] == '\0' && strcmp(name, KS_FACTS_ENTRY) == 0)
            (void) ks_facts_signature(content, length, o->signature);
    }
    ks_tar_iterator_destroy(it);
}

// Whether the asset's first bytes hold the entry; *walk is set when only the
// whole asset can tell.
static bool head_find(size_t got, const char *name, const char **content, size_t *length, bool *walk)
{
    ks_tar_type type;
    ks_tar_lookup found = ks_tar_find(&state.lookup, state.head, got, got < sizeof state.head, name, content, length,
                                      &type);

    *walk = *walk || found == KS_TAR_L_UNKNOWN;
    return found == KS_TAR_L_FOUND;
}

// The executable and the signature, from one read of the asset's first bytes.
static void asset_read(ks_watcher_object *o, const struct ks_watcher_dirs *dirs)
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const char *content = nullptr;
    size_t length = 0;
    bool walk = false;

    // O_NONBLOCK: a FIFO in place of an asset must not hang the open.
    int fd = dirs != nullptr ? openat(dirs->assets, o->basename, flags) : open(o->pst.asset, flags);
    if (fd == -1)
        return;
    ssize_t got = pread(fd, state.head, sizeof state.head, 0);
    if (got > 0 && head_find(static_cast<size_t>(got), "/proc/self/exe", &content, &length, &walk))
        o->executable = strndup(content, length);
    if (got > 0 && head_find(static_cast<size_t>(got), KS_FACTS_ENTRY, &content, &length, &walk))
        (void) ks_facts_signature(content, length, o->signature);
    if (walk)
        asset_walk(o, fd);
    else
        ks_fd_close(fd);
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

void ks_watcher_add(ks_stage stage, const char *base) { ks_watcher_add_at(stage, base, nullptr); }

void ks_watcher_add_at(ks_stage stage, const char *base, const struct ks_watcher_dirs *dirs)
{
    if (ks_watcher_find(base) != nullptr)
        return;
    ks_log(LOG_DEBUG, "adding %s/%s\n", state.cf->path.pending, base);
    ks_watcher_object *o = object_alloc(base);
    if (o == nullptr)
        return;
    (void) clock_gettime(CLOCK_MONOTONIC, &o->st.added);
    o->stage = stage;
    o->st.creation = object_creation(o, dirs);
    if (!ks_watcher_object_invariant(o))
        return;
    asset_read(o, dirs);
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

    return ks_watcher_gc_active() && o->st.creation > 0 && o->st.creation <= time(nullptr) - age;
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

bool ks_watcher_object_commit(ks_watcher_object *o)
{
    const struct ks_cf *cf = state.cf;
    bool archived = false, kept = false;

    if (cf->daemon.stages[KS_SLAVE_SNAPSHOT].commit == KS_CF_A_ARCHIVE) {
        archived = true;
        kept = rename(o->path, o->pst.committed) == 0;
        if (!kept)
            ks_perror("error: failed to commit object '%s'", o->path);
    }
    if (cf->daemon.stages[KS_SLAVE_SEND].commit == KS_CF_A_ARCHIVE) {
        archived = true;
        if (rename(o->pst.sending, o->pst.sent) == -1)
            ks_perror("error: failed to commit snapshot '%s'", o->pst.sending);
        else
            object_snapshot_ensure(o->pst.sent);
    }
    if (archived)
        ks_watcher_gc_timer(o->st.creation + cf->daemon.purge.age);
    return kept;
}

// The end of the road: after the commit, and the compression of the kept
// core image when there is one.
static void object_processed(ks_watcher_object *o)
{
    uintmax_t elapsed = seconds_since(&o->st.added);

    ks_log(LOG_INFO, "crash %s processed in %ju second%s", o->basename, elapsed,
           elapsed == 1 ? "" : "s");
    watcher_object_destroy(o);
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
    case 'G':
        if (o->signature[0] == '\0') {
            ks_log(LOG_ERR, "Object has no signature.\n");
            return nullptr;
        }
        value = o->signature;
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

// The defaults command is bounded by the snapshot stage's time-out.
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

static struct qu_termination termination(int status)
{
    if (WIFEXITED(status))
        return {QU_TERMINATION_ID_CLEAN, WEXITSTATUS(status)};
    if (WIFSIGNALED(status))
        return {QU_TERMINATION_ID_SIGNALED, WTERMSIG(status)};
    if (WIFSTOPPED(status))
        return {QU_TERMINATION_ID_STOPPED, WSTOPSIG(status)};
    return {QU_TERMINATION_ID_UNKNOWN, status};
}

// The environment of the stage commands: a copy of ours, to which the
// defaults command of the snapshot attempt adds its variable. An object that
// starts at the send stage gets the copy alone.
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

static void stage_failed_to_start(ks_watcher_object *o, ks_slave_type type, const char *error)
{
    if (type == KS_SLAVE_SNAPSHOT)
        ks_log(LOG_ERR, "error: failed to snapshot %s: %s\n", o->basename, error);
    else
        ks_log(LOG_ERR, "error: failed to send %s: %s\n", o->basename, error);
    ks_watcher_step(o, KS_WATCHER_FAILED);
}

// Without the archive lock the tree is another daemon's: the object is
// forgotten, and its files stay for whoever holds the lock.
static bool object_forgotten(ks_watcher_object *o)
{
    if (ks_watcher_locked())
        return false;
    ks_log(LOG_DEBUG, "object %s: forgotten without the archive lock\n", o->basename);
    watcher_object_destroy(o);
    return true;
}

static void watcher_update(int st, void *cl, ks_slave_term_cause cause)
{
    auto *o = static_cast<ks_watcher_object *>(cl);
    const struct ks_cf *cf = state.cf;
    const char *reason = watcher_judge(st, cause);
    ks_slave_type type;

    if (cause == KS_SLAVE_TERM_CAUSE_SPAWN && stage_type(o->stage, &type)) {
        // A command that never started counts no attempt.
        o->st.n_attempt--;
        stage_failed_to_start(o, type, "failed to spawn child");
    } else if (reason != nullptr) {
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
    ks_watcher_process();
}

static bool command_start(ks_watcher_object *o, ks_slave_type type, const char **error)
{
    return ks_slave_execv(type, const_cast<const char **>(o->argv),
                          const_cast<const char **>(o->child_env.envp), watcher_update, o, error);
}

// The end of the defaults command: its output becomes the variable, and the
// snapshot command takes over the place it held. The outcome never stops
// the stage; without a successful defaults command the snapshot command
// lacks the variable.
static void defaults_done(int status, qu_error err, ks_slave_term_cause, const char *out, size_t length, void *cl)
{
    auto *o = static_cast<ks_watcher_object *>(cl);
    const char *command = o->defaults_argv[0] != nullptr ? o->defaults_argv[0] : "";
    struct qu_termination term = termination(status);
    const char *error = "";

    if (err != QU_ERR_NONE)
        ks_log(LOG_WARNING, "unable to execute %s: %s\n", command, qu_error_str(err));
    else if (term.how != QU_TERMINATION_ID_CLEAN || term.code != 0)
        ks_log(LOG_WARNING, "unable to execute %s - command failed with %s %d\n", command,
               term_reason_name(term.how), term.code);
    else
        defaults_set(o, state.cf, command, out != nullptr ? out : "", out != nullptr ? length : 0);
    ks_format_argv_free(o->defaults_argv);
    o->defaults_argv = nullptr;
    if (!object_forgotten(o) && !command_start(o, KS_SLAVE_SNAPSHOT, &error)) {
        // The attempt was counted when the place was taken; a start that
        // failed counts none.
        o->st.n_attempt--;
        stage_failed_to_start(o, KS_SLAVE_SNAPSHOT, error);
    }
    waiting_serve();
    ks_watcher_process();
}

// The defaults command runs first, in the place the snapshot command will
// take. False when it does not run (its template cannot be rendered, or it
// cannot be started): the snapshot command then starts at once, without the
// variable.
static bool defaults_start(ks_watcher_object *o)
{
    const struct ks_cf *cf = state.cf;
    const char *error = "";

    o->defaults_argv = ks_format_argv(cf->daemon.defaults_format, watcher_format, o, nullptr);
    if (o->defaults_argv == nullptr)
        return false;
    if (ks_slave_capture(KS_SLAVE_SNAPSHOT, const_cast<const char **>(o->defaults_argv),
                         defaults_bound(cf), WATCHER_DEFAULTS_MAX, defaults_done, o, &error))
        return true;
    ks_log(LOG_WARNING, "unable to execute %s: %s\n",
           o->defaults_argv[0] != nullptr ? o->defaults_argv[0] : "", error);
    ks_format_argv_free(o->defaults_argv);
    o->defaults_argv = nullptr;
    return false;
}

static void stage_run(ks_watcher_object *o, ks_slave_type type)
{
    const char *error = "";

    if (object_forgotten(o))
        return;
    if (!ks_slave_available(type)) {
        waiting_join(o, type);
        ks_watcher_step(o, KS_WATCHER_FAILED);
        return;
    }
    waiting_leave(o);
    o->argv = ks_format_argv(stage_of(type)->format, watcher_format, o, nullptr);
    if (o->argv == nullptr) {
        // An attempt like any other, or a crash whose command can never be
        // rendered (no executable known) would be retried for ever.
        o->st.n_attempt++;
        ks_watcher_step(o, KS_WATCHER_FAILED);
        return;
    }
    if (!stage_env(o, type, &error)) {
        stage_failed_to_start(o, type, error);
        return;
    }
    if ((type != KS_SLAVE_SNAPSHOT || !defaults_start(o)) && !command_start(o, type, &error)) {
        stage_failed_to_start(o, type, error);
        return;
    }
    ks_watcher_step(o, KS_WATCHER_ACTIVE);
}

static void compress_done(ks_watcher_object *o)
{
    object_processed(o);
    waiting_serve();
    ks_watcher_process();
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
        // The send command's place, just freed, goes to the compression.
        if (ks_watcher_object_commit(o) && ks_watcher_compress_start(o, compress_done))
            ks_watcher_step(o, KS_WATCHER_ACTIVE);
        else
            object_processed(o);
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

void ks_watcher_process(void)
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

static void watcher_base(ks_io_t *) { ks_watcher_process(); }

// Queued objects are another daemon's once the lock is lost; running ones
// end by themselves.
void ks_watcher_forget_queued(void)
{
    for (ks_watcher_state st : {KS_WATCHER_PENDING, KS_WATCHER_FAILED}) {
        ks_tailq_entry *e;
        while ((e = list_of(st)->tqh_first) != nullptr)
            watcher_object_destroy(object_of(e));
    }
}

bool ks_watcher_pipeline_init(ks_io_t *io)
{
    for (auto &list : state.lists)
        ks_tailq_init(&list);
    for (int type = 0; type < KS_SLAVE_TYPE_COUNT; type++) {
        ks_tailq_init(&state.waiting[type]);
        ks_tailq_init(&state.batch[type]);
    }
    state.cf = ks_cf_get();
    state.io = io;
    return ks_io_cb_add(io, watcher_base);
}
