#include "server/slave.h"

#include "common/fd.h"
#include "common/list.h"
#include "common/log.h"
#include "libqu/src/posix.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define SLAVE_BUFFER 4096      // one output line at most; longer lines are cut
#define SLAVE_COMMAND_LOG 1000 // the logged command line holds 999 characters
#define SLAVE_PATH_MAX 4096
#define SLAVE_KILL_GRACE 10    // seconds between SIGTERM and SIGKILL after a time-out

typedef enum ks_slave_stdfd {
    KS_SLAVE_STDERR = 0,
    KS_SLAVE_STDOUT = 1,
    KS_SLAVE_STDFD_COUNT = 2,
} ks_slave_stdfd;

static const char *const stdfd_names[KS_SLAVE_STDFD_COUNT] = {"stderr", "stdout"};

struct ks_slave {
    struct timespec time;
    ks_slave_cb_t *cb;
    ks_io_timer_t *timer;
    void *cl;
    ks_slave_term_cause term_cause;
    pid_t pid;
    const char *basename; // into the caller's argv
    ks_slave_type slave_type;
    ks_io_event_t *events[KS_SLAVE_STDFD_COUNT];
    ks_list_entry linkage;
};

// The payload of an output event.
struct ks_slave_stream {
    struct ks_slave *parent;
    ks_slave_stdfd stdfd_index;
    int fd;
    char *buf;
    size_t index;
    bool disabled;
};

struct ks_slave_pool {
    ks_list_head slaves;
    unsigned int concurrency;
    bool rlimit;
    time_t modification;
    struct {
        unsigned int concurrency;
    } limit;
};

static struct {
    ks_io_t *io;
    struct ks_cf *cf;
    struct {
        int write;
        int read;
    } null;
    struct ks_slave_pool pools[KS_SLAVE_TYPE_COUNT];
} state = {nullptr, nullptr, {-1, -1}, {}};

static void ks_slave_read_handler(ks_io_event_t *event, unsigned int mask);

static struct ks_slave_stream *event_stream(ks_io_event_t *event)
{
    return static_cast<struct ks_slave_stream *>(ks_io_event_payload(event));
}

static bool captured(ks_cf_slave_output output)
{
    return output == KS_CF_SLAVE_OUTPUT_APPEND || output == KS_CF_SLAVE_OUTPUT_SYSLOG;
}

// Output lines.

static bool ks_open_append_output_file(struct ks_cf_stage *stage)
{
    struct stat st;
    FILE *file = fopen(stage->append_output.file_path, "ae");

    if (file == nullptr) {
        ks_perror("unable to open append output file");
        return false;
    }
    if (fstat(fileno(file), &st) == -1) {
        ks_perror("unable to fstat append output file");
        (void) fclose(file);
        return false;
    }
    stage->append_output.file = file;
    stage->append_output.cur_file_size = static_cast<size_t>(st.st_size);
    return true;
}

// Links never replace a file, so no earlier log is ever lost.
static bool ks_rename_append_log(struct ks_cf_stage *stage)
{
    const char *path = stage->append_output.file_path;
    char name[SLAVE_PATH_MAX];

    for (int n = 1; n < INT_MAX; n++) {
        int length = snprintf(name, sizeof name, "%s.%d", path, n);
        if (length < 0 || length > SLAVE_PATH_MAX - 2) {
            ks_log(LOG_ERR, "error: path name too long\n");
            return false;
        }
        if (link(path, name) == -1) {
            if (errno == EEXIST)
                continue;
            ks_perror("unable to rename append file");
            return false;
        }
        if (unlink(path) == -1) {
            int saved = errno;
            (void) unlink(name);
            errno = saved;
            ks_perror("unable to remove append file");
            return false;
        }
        return true;
    }
    errno = EEXIST;
    ks_perror("unable to rename append file");
    return false;
}

static bool append_purge(struct ks_cf_stage *stage)
{
    FILE *file = stage->append_output.file;

    if (fflush(file) != 0) {
        ks_perror("unable to flush append file");
        return false;
    }
    if (fseek(file, 0, SEEK_SET) != 0) {
        ks_perror("unable to seek append file");
        return false;
    }
    if (ftruncate(fileno(file), 0) == -1) {
        ks_perror("unable to truncate append file");
        return false;
    }
    stage->append_output.cur_file_size = 0;
    return true;
}

static bool append_rotate(struct ks_cf_stage *stage)
{
    int r = fclose(stage->append_output.file);

    stage->append_output.file = nullptr;
    if (r != 0) {
        ks_perror("unable to close append file");
        return false;
    }
    if (!ks_rename_append_log(stage))
        return false;
    return ks_open_append_output_file(stage);
}

// A line holding a NUL byte ends there, but keeps its line end, so that it
// never runs into the next record.
static int line_text(const char *line, size_t length, bool line_is_truncated)
{
    if (!line_is_truncated)
        length--;
    return static_cast<int>(strnlen(line, length));
}

static bool ks_slave_append_line(struct ks_cf_stage *stage, struct ks_slave_stream *stream,
                                 const char *line, size_t length, bool line_is_truncated)
{
    const struct ks_slave *slave = stream->parent;
    char when[32];
    time_t now = time(nullptr);

    if (ctime_r(&now, when) == nullptr)
        strcpy(when, "?");
    int count = ks_fprintf(stage->append_output.file, "[%s] [%.*s] - %ld %c [%s] %.*s%s",
                           stdfd_names[stream->stdfd_index], static_cast<int>(strcspn(when, "\n")),
                           when, static_cast<long>(slave->pid), line_is_truncated ? '+' : '-',
                           slave->basename, line_text(line, length, line_is_truncated), line,
                           line_is_truncated ? "...\n" : "\n");
    if (count == -1) {
        ks_perror("unable to write to append file");
        return false;
    }
    stage->append_output.cur_file_size += static_cast<size_t>(count);
    if (stage->append_output.cur_file_size <= stage->append_output.byte_limit)
        return true;
    if (stage->append_output.action == KS_CF_APPEND_OUTPUT_ACTION_PURGE)
        return append_purge(stage);
    return append_rotate(stage);
}

// The system log stamps time and process itself; the stream, pid and base
// name say which command spoke.
static void syslog_line(const struct ks_slave_stream *stream, const char *line, size_t length,
                        bool line_is_truncated)
{
    const struct ks_slave *slave = stream->parent;

    ks_log(stream->stdfd_index == KS_SLAVE_STDOUT ? LOG_INFO : LOG_WARNING,
           "[%s] %ld %c [%s] %.*s%s", stdfd_names[stream->stdfd_index],
           static_cast<long>(slave->pid), line_is_truncated ? '+' : '-', slave->basename,
           line_text(line, length, line_is_truncated), line, line_is_truncated ? "..." : "");
}

static bool emit_line(struct ks_cf_stage *stage, struct ks_slave_stream *stream, const char *line,
                      size_t length, bool line_is_truncated)
{
    if (stage->output == KS_CF_SLAVE_OUTPUT_SYSLOG) {
        syslog_line(stream, line, length, line_is_truncated);
        return true;
    }
    return ks_slave_append_line(stage, stream, line, length, line_is_truncated);
}

// Whether the stage can take lines now; an append log is opened on first use.
static bool sink_ready(struct ks_cf_stage *stage)
{
    if (stage->output == KS_CF_SLAVE_OUTPUT_SYSLOG || stage->append_output.file != nullptr)
        return true;
    return ks_open_append_output_file(stage);
}

// Emits the complete lines among the n bytes just read behind index, and a
// buffer full without a line end as one cut line; keeps the rest at the front.
static bool stream_lines(struct ks_cf_stage *stage, struct ks_slave_stream *stream, size_t n)
{
    char *buf = stream->buf;
    size_t end = stream->index + n;
    size_t start = 0;
    size_t scan = stream->index;

    for (;;) {
        char *nl = static_cast<char *>(memchr(buf + scan, '\n', end - scan));
        if (nl == nullptr)
            break;
        size_t stop = static_cast<size_t>(nl - buf) + 1;
        if (!emit_line(stage, stream, buf + start, stop - start, false))
            return false;
        start = scan = stop;
    }
    if (start == 0 && end == SLAVE_BUFFER) {
        if (!emit_line(stage, stream, buf, end, true))
            return false;
        start = end;
    }
    memmove(buf, buf + start, end - start);
    stream->index = end - start;
    return true;
}

// Output nobody will keep is still read, so that the command never blocks on
// a full pipe.
static void stream_discard(struct ks_slave_stream *stream)
{
    static char scratch[SLAVE_BUFFER];

    while (ks_fd_read(stream->fd, scratch, sizeof scratch) == sizeof scratch)
        ;
    stream->index = 0;
}

static bool stage_disabled(const struct ks_cf_stage *stage)
{
    return stage->output == KS_CF_SLAVE_OUTPUT_APPEND && stage->append_output.disabled;
}

static void stream_read(struct ks_slave_stream *stream)
{
    struct ks_cf_stage *stage = &state.cf->daemon.stages[stream->parent->slave_type];

    if (stream->disabled || stage_disabled(stage)) {
        stream_discard(stream);
        return;
    }
    for (;;) {
        size_t room = SLAVE_BUFFER - stream->index;
        ssize_t n = ks_fd_read(stream->fd, stream->buf + stream->index, room);

        if (n == -1) {
            if (errno == EAGAIN)
                break;
            ks_perror("unable to read from slave");
            stream->disabled = true;
            return;
        }
        // The log is opened by the first output, not by a mere end of file.
        if (n > 0 && (!sink_ready(stage) || !stream_lines(stage, stream, static_cast<size_t>(n)))) {
            stage->append_output.disabled = true;
            stream_discard(stream);
            return;
        }
        if (static_cast<size_t>(n) < room)
            break;
    }
    if (stage->output != KS_CF_SLAVE_OUTPUT_APPEND || stage->append_output.file == nullptr)
        return;
    if (fflush(stage->append_output.file) != 0) {
        ks_perror("unable to flush append file");
        stage->append_output.disabled = true;
    }
}

static void ks_slave_read_handler(ks_io_event_t *event, unsigned int)
{
    stream_read(event_stream(event));
    ks_io_event_mask(event, EPOLLIN | EPOLLET);
}

// Starting.

static const char *slave_basename(const char *path)
{
    if (path == nullptr || *path == '\0')
        return ".";
    const char *slash = strrchr(path, '/');
    if (slash == nullptr || strcmp(path, "/") == 0)
        return path;
    return slash + 1;
}

// Dumps stay off after a crash until the command's file changes.
static void coredump_check(struct ks_slave_pool *pool, const char *command)
{
    struct stat st;
    time_t modification = 0;

    if (command != nullptr && stat(command, &st) == 0) {
        modification = st.st_mtime;
    } else {
        if (command == nullptr)
            errno = ENOENT;
        ks_perror("error: failed to check command");
    }
    if (pool->modification == 0)
        pool->modification = modification;
    if (pool->modification == modification)
        return;
    pool->rlimit = false;
    pool->modification = modification;
    ks_log(LOG_WARNING, "warning: command %s has been updated, re-enabled coredump.\n",
           command != nullptr ? command : "");
}

// Everything the stream needs is ready before the fork: a stream that cannot
// be set up falls back to the daemon's own, never to a pipe nobody reads.
static ks_io_event_t *stream_open(struct ks_slave *slave, ks_slave_stdfd index, int *child)
{
    struct ks_slave_stream *stream;
    ks_io_event_t *event;
    int p[2];

    if (pipe2(p, O_CLOEXEC) == -1) {
        ks_perror(index == KS_SLAVE_STDOUT ? "failed to open stdout pipe"
                                           : "failed to open stderr pipe");
        return nullptr;
    }
    if (!ks_io_fd_nonblock(p[0])) {
        ks_perror("failed to set nonblocking");
        goto fail_pipe;
    }
    event = ks_io_event_fd(p[0], ks_slave_read_handler, sizeof *stream);
    if (event == nullptr) {
        ks_log(LOG_ERR, "failed to create slave output event\n");
        goto fail_pipe;
    }
    stream = event_stream(event);
    stream->parent = slave;
    stream->stdfd_index = index;
    stream->fd = p[0];
    stream->index = 0;
    stream->disabled = false;
    stream->buf = static_cast<char *>(malloc(SLAVE_BUFFER));
    if (stream->buf == nullptr) {
        ks_log(LOG_ERR, "slave buffer allocation failed\n");
        goto fail_event;
    }
    if (!ks_io_event_add(state.io, event, EPOLLIN | EPOLLET)) {
        ks_log(LOG_ERR, "failed to add slave output event\n");
        goto fail_buffer;
    }
    *child = p[1];
    return event;

fail_buffer:
    free(stream->buf);
fail_event:
    ks_io_event_destroy(event);
    ks_fd_close(p[1]);
    return nullptr;
fail_pipe:
    ks_fd_close(p[0]);
    ks_fd_close(p[1]);
    return nullptr;
}

static void stream_close(ks_io_event_t *event)
{
    if (event == nullptr)
        return;
    free(event_stream(event)->buf);
    ks_io_event_destroy(event);
}

// dup2 clears close-on-exec on the copy; a descriptor that already has the
// target's number has to lose it by hand.
static int redirect(int fd, int target)
{
    if (fd != target || fd == -1)
        return ks_fd_dup2(fd, target);
    return fcntl(fd, F_SETFD, 0);
}

static void log_command(const char **argv)
{
    char text[SLAVE_COMMAND_LOG];
    size_t length = 0;

    text[0] = '\0';
    for (const char **arg = argv; *arg != nullptr; arg++) {
        int n = snprintf(text + length, sizeof text - length, " %s", *arg);
        if (n < 0 || static_cast<size_t>(n) >= sizeof text - length)
            break;
        length += static_cast<size_t>(n);
    }
    ks_log(LOG_DEBUG, "Executing slave:%s\n", text);
}

// The steps of a starting command that can fail.
enum slave_step {
    SLAVE_STEP_DUMPABLE,
    SLAVE_STEP_RLIMIT,
    SLAVE_STEP_STDIN,
    SLAVE_STEP_STDOUT,
    SLAVE_STEP_STDERR,
    SLAVE_STEP_EXEC,
    SLAVE_STEP_COUNT,
};

static const char *const step_messages[SLAVE_STEP_EXEC] = {
    "error: failed to disable slave coredump", "error: failed to set dump resource limit",
    "error: failed to redirect stdin", "error: failed to redirect stdout",
    "error: failed to redirect stderr",
};

// What the child needs, and what it could not do: it shares the daemon's
// memory until the command replaces it, so it reports here instead of logging.
struct slave_start {
    const struct ks_slave_pool *pool;
    ks_cf_slave_output output;
    const char **argv;
    const char **envp;
    int child[KS_SLAVE_STDFD_COUNT];
    pid_t daemon;
    int err[SLAVE_STEP_COUNT]; // errno of each step that failed, else 0
};

static void child_step(struct slave_start *s, enum slave_step step, int rc)
{
    if (rc == -1)
        s->err[step] = errno;
}

// Runs in a vfork child, on the daemon's memory until the exec: only system
// calls, no allocation, no stdio, no logging. Every signal is blocked until
// just before the exec, so no handler of the daemon runs here.
//
// A command leads a process group of its own, so that a time-out reaches
// whatever it started, and dies with the daemon: a restarted daemon runs the
// same crash again and must never find the old command still writing.
[[noreturn]] __attribute__((noinline)) static void slave_child(struct slave_start *s)
{
    static const struct rlimit one = {1, 1};
    const char *command = s->argv[0] != nullptr ? s->argv[0] : "";
    sigset_t none;

    qu_child_detach(s->daemon);
    child_step(s, SLAVE_STEP_DUMPABLE, prctl(PR_SET_DUMPABLE, 0));
    // A limit of 1 byte also stops a dump to a pipe core pattern.
    if (s->pool->rlimit)
        child_step(s, SLAVE_STEP_RLIMIT, setrlimit(RLIMIT_CORE, &one));
    child_step(s, SLAVE_STEP_STDIN, redirect(state.null.read, STDIN_FILENO));
    if (s->output == KS_CF_SLAVE_OUTPUT_NULL) {
        child_step(s, SLAVE_STEP_STDOUT, redirect(state.null.write, STDOUT_FILENO));
        child_step(s, SLAVE_STEP_STDERR, redirect(state.null.write, STDERR_FILENO));
    } else if (captured(s->output)) {
        if (s->child[KS_SLAVE_STDOUT] != -1)
            child_step(s, SLAVE_STEP_STDOUT, redirect(s->child[KS_SLAVE_STDOUT], STDOUT_FILENO));
        if (s->child[KS_SLAVE_STDERR] != -1)
            child_step(s, SLAVE_STEP_STDERR, redirect(s->child[KS_SLAVE_STDERR], STDERR_FILENO));
    }
    // The daemon keeps SIGCHLD blocked; commands expect to start with no
    // signal blocked.
    sigemptyset(&none);
    (void) sigprocmask(SIG_SETMASK, &none, nullptr);
    (void) qu_execvpe(command, s->argv, s->envp);
    s->err[SLAVE_STEP_EXEC] = errno;
    _exit(1);
}

static void slave_report(const struct slave_start *s)
{
    for (int step = 0; step < SLAVE_STEP_EXEC; step++) {
        if (s->err[step] != 0) {
            errno = s->err[step];
            ks_perror("%s", step_messages[step]);
        }
    }
    if (s->err[SLAVE_STEP_EXEC] != 0)
        ks_log(LOG_ERR, "error: failed to execute %s: %s\n",
               s->argv[0] != nullptr ? s->argv[0] : "", strerror(s->err[SLAVE_STEP_EXEC]));
}

// vfork: the daemon waits until the command has replaced the child, and no
// page table is copied, so starting costs the same however large the daemon
// grows. Every signal stays blocked across it.
static pid_t slave_fork(const struct ks_slave_pool *pool, ks_cf_slave_output output,
                        const char **argv, const char **envp, const int child[KS_SLAVE_STDFD_COUNT])
{
    struct slave_start s = {pool, output, argv, envp, {child[0], child[1]}, getpid(), {}};
    sigset_t all, previous;

    log_command(argv);
    sigfillset(&all);
    (void) sigprocmask(SIG_SETMASK, &all, &previous);
    (void) fflush(stdout);
    (void) fflush(stderr);
    pid_t pid = vfork();
    if (pid == 0)
        slave_child(&s);
    int saved = errno;
    // The child wrote into s behind the compiler's back.
    __asm__ __volatile__("" ::: "memory");
    (void) sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (pid > 0)
        slave_report(&s);
    errno = saved;
    return pid;
}

// Signals the command's process group; a child that ended meanwhile is a
// zombie until reaped, so the group id is still its own.
static void slave_signal(const struct ks_slave *slave, int signal)
{
    if (kill(-slave->pid, signal) == 0)
        return;
    if (errno == ESRCH && kill(slave->pid, signal) == 0)
        return;
    if (errno != ESRCH)
        ks_perror("unable to kill child process");
}

// SIGTERM at the time-out, SIGKILL a grace period later: a command that
// ignores SIGTERM must not hold its pool place for ever.
static void ks_slave_timer_handler(ks_io_timer_t *timer)
{
    struct itimerspec grace = {{0, 0}, {SLAVE_KILL_GRACE, 0}};
    struct ks_slave *slave;

    memcpy(&slave, ks_io_timer_payload(timer), sizeof slave);
    if (slave->term_cause == KS_SLAVE_TERM_CAUSE_TIMEOUT) {
        slave_signal(slave, SIGKILL);
        return;
    }
    slave->term_cause = KS_SLAVE_TERM_CAUSE_TIMEOUT;
    slave_signal(slave, SIGTERM);
    if (!ks_io_timer_set(timer, &grace))
        ks_perror("unable to set slave timer");
}

// A time-out of 0 means none, and needs no timer.
static void slave_timer(struct ks_slave *slave, time_t timeout)
{
    struct itimerspec spec = {};

    if (timeout <= 0)
        return;
    ks_io_timer_t *timer = ks_io_timer_create(state.io, ks_slave_timer_handler, sizeof slave);
    if (timer == nullptr) {
        ks_log(LOG_ERR, "error: failed to create timer\n");
        return;
    }
    memcpy(ks_io_timer_payload(timer), &slave, sizeof slave);
    spec.it_value.tv_sec = timeout;
    if (!ks_io_timer_set(timer, &spec)) {
        ks_perror("unable to set slave timer");
        ks_io_timer_destroy(timer);
        return;
    }
    if (!ks_io_timer_add(state.io, timer)) {
        ks_perror("unable to add slave timer");
        ks_io_timer_destroy(timer);
        return;
    }
    slave->timer = timer;
}

bool ks_slave_execv(ks_slave_type type, const char **argv, const char **envp, ks_slave_cb_t *cb,
                    void *cl, const char **error)
{
    static const char *empty[] = {nullptr};
    struct ks_slave_pool *pool = &state.pools[type];
    struct ks_cf_stage *stage = &state.cf->daemon.stages[type];
    int child[KS_SLAVE_STDFD_COUNT] = {-1, -1};

    if (!ks_slave_available(type)) {
        *error = "concurrency limit exceeded";
        return false;
    }
    struct ks_slave *slave = static_cast<struct ks_slave *>(calloc(1, sizeof *slave));
    if (slave == nullptr) {
        *error = "slave allocation failure";
        return false;
    }
    if (argv == nullptr)
        argv = empty;
    slave->basename = slave_basename(argv[0]);
    slave->slave_type = type;
    slave->cb = cb;
    slave->cl = cl;
    slave->term_cause = KS_SLAVE_TERM_CAUSE_STATUS;
    (void) clock_gettime(CLOCK_MONOTONIC, &slave->time);
    if (pool->rlimit)
        coredump_check(pool, argv[0]);

    ks_cf_slave_output output = stage->output;
    if (captured(output)) {
        slave->events[KS_SLAVE_STDOUT] =
            stream_open(slave, KS_SLAVE_STDOUT, &child[KS_SLAVE_STDOUT]);
        slave->events[KS_SLAVE_STDERR] =
            stream_open(slave, KS_SLAVE_STDERR, &child[KS_SLAVE_STDERR]);
    }
    slave->pid = slave_fork(pool, output, argv, envp, child);
    for (int fd : child)
        if (fd != -1)
            ks_fd_close(fd);
    if (slave->pid == -1) {
        for (ks_io_event_t *event : slave->events)
            stream_close(event);
        free(slave);
        *error = "failed to spawn child";
        return false;
    }
    slave_timer(slave, stage->timeout);
    ks_list_insert_head(&pool->slaves, &slave->linkage);
    pool->concurrency++;
    return true;
}

bool ks_slave_available(ks_slave_type type)
{
    return state.pools[type].concurrency < state.pools[type].limit.concurrency;
}

// Reaping.

static struct ks_slave *slave_find(pid_t pid, struct ks_slave_pool **poolp)
{
    for (auto &pool : state.pools) {
        for (ks_list_entry *e = pool.slaves.lh_first; e != nullptr; e = e->le_next) {
            struct ks_slave *slave = KS_CONTAINER_OF(e, struct ks_slave, linkage);
            if (slave->pid == pid) {
                *poolp = &pool;
                return slave;
            }
        }
    }
    return nullptr;
}

// Output the child left in its pipes is taken in before they close: the loop
// may not have served their readiness yet when the child is reaped.
static void slave_destroy(struct ks_slave *slave)
{
    ks_io_timer_destroy(slave->timer);
    for (ks_io_event_t *event : slave->events) {
        if (event == nullptr)
            continue;
        stream_read(event_stream(event));
        stream_close(event);
    }
    free(slave);
}

static void slave_base(ks_io_t *)
{
    for (;;) {
        struct ks_slave_pool *pool;
        int status;
        pid_t pid;

        do
            pid = waitpid(-1, &status, WNOHANG);
        while (pid == -1 && errno == EINTR);
        if (pid <= 0)
            return;
        struct ks_slave *slave = slave_find(pid, &pool);
        if (slave == nullptr)
            continue;
        ks_list_remove(&slave->linkage);
        pool->concurrency--;
        if (WIFSIGNALED(status) && WCOREDUMP(status)) {
            ks_log(LOG_WARNING,
                   "warning: kestreld-initiated command has crashed, disabling dumps.\n");
            pool->rlimit = true;
        }
        ks_slave_cb_t *cb = slave->cb;
        void *cl = slave->cl;
        ks_slave_term_cause cause = slave->term_cause;
        slave_destroy(slave);
        cb(status, cl, cause);
    }
}

static int null_open(int flags, const char *message)
{
    int fd = open("/dev/null", flags | O_CLOEXEC);

    if (fd == -1)
        ks_log(LOG_WARNING, message, strerror(errno));
    return fd;
}

bool ks_slave_init(ks_io_t *io)
{
    state.io = io;
    state.cf = ks_cf_get();
    for (int type = 0; type < KS_SLAVE_TYPE_COUNT; type++) {
        ks_list_init(&state.pools[type].slaves);
        state.pools[type].limit.concurrency = state.cf->daemon.stages[type].concurrency;
    }
    state.null.read = null_open(O_RDONLY, "warning: failed to open /dev/null for reading: %s\n");
    state.null.write = null_open(O_WRONLY, "warning: failed to open /dev/null for writing: %s\n");
    // Without the reaping pass no child would ever be reported.
    if (!ks_io_cb_add(io, slave_base)) {
        ks_log(LOG_ERR, "error: failed to register the slave reaper\n");
        return false;
    }
    return true;
}
