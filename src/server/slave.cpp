#include "server/slave.h"

#include "common/fd.h"
#include "common/list.h"
#include "common/log.h"
#include "libqu/src/os.h"
#include "libqu/src/posix.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#define SLAVE_BUFFER 4096      // one output line at most; longer lines are cut
#define SLAVE_COMMAND_LOG 1000 // the logged command line holds 999 characters
#define SLAVE_PATH_MAX 4096
#define SLAVE_KILL_GRACE 10    // seconds between SIGTERM and SIGKILL after a time-out
#define SLAVE_BATCH 64         // answers taken by one read
#define SLAVE_SPAWNERS 8       // spawner threads at most
#define SLAVE_SPARE_TIMERS 16  // disarmed time-out timers kept for the next commands

extern char **environ;

typedef enum ks_slave_stdfd {
    KS_SLAVE_STDERR = 0,
    KS_SLAVE_STDOUT = 1,
    KS_SLAVE_STDFD_COUNT = 2,
} ks_slave_stdfd;

static const char *const stdfd_names[KS_SLAVE_STDFD_COUNT] = {"stderr", "stdout"};

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

// A request to the spawner thread, answered in place. The child shares the
// spawner's memory until its exec, so it reports here instead of logging.
struct slave_start {
    const char **argv;
    const char **envp;
    int fds[3];           // for standard input, output and error
    bool redirect[3];     // false: the daemon's own stream stays
    bool command;         // a stage command, rather than collected output
    bool rlimit;          // the 1-byte core limit
    pid_t daemon;
    pid_t pid;            // the answer: the child, or -1
    int fork_errno;
    int err[SLAVE_STEP_COUNT]; // errno of each step that failed, else 0
};

// The standard output of ks_slave_capture.
struct slave_output {
    ks_io_event_t *event; // null once the output has ended or been dropped
    struct qu_stream stream;
};

struct ks_slave {
    struct timespec time;
    ks_slave_cb_t *cb;                 // a stage command
    ks_slave_capture_cb_t *capture_cb; // or collected output
    ks_io_timer_t *timer;
    void *cl;
    ks_slave_term_cause term_cause;
    pid_t pid;            // 0 until the spawner has answered
    const char *basename; // into the caller's argv
    ks_slave_type slave_type;
    ks_io_event_t *events[KS_SLAVE_STDFD_COUNT];
    ks_list_entry linkage; // in its pool
    ks_tailq_entry done;   // in the ended list, waiting for its callback
    bool reaped;
    int status;
    unsigned int bound;         // seconds given to collected output
    int child[KS_SLAVE_STDFD_COUNT]; // our copies of the child's pipe ends, until it has them
    struct slave_output output;
    struct slave_start start;
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
    struct {
        int requests[2]; // pointers to slave_start, to the spawner thread
        int answers[2];  // the same pointers, back
        unsigned int in_flight;
        pid_t daemon; // our pid, which the children check their parent against
    } spawner;
    ks_tailq_head ended; // slaves whose callback is due, in the order they ended
    // Children reaped before the spawner's answer named them: pid and status.
    std::vector<std::pair<pid_t, int>> early;
    std::vector<ks_io_timer_t *> spare_timers; // disarmed and registered
    char scratch[SLAVE_BUFFER]; // where dropped output goes
} state = {nullptr, nullptr, {-1, -1}, {}, {{-1, -1}, {-1, -1}, 0, 0}, {nullptr, nullptr}, {}, {}, {}};

static void ks_slave_read_handler(ks_io_event_t *event, unsigned int mask);
static void slave_timer_give_back(struct ks_slave *slave);

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


    while (ks_fd_read(stream->fd, state.scratch, sizeof state.scratch) == sizeof state.scratch)
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

// Lines name the command's pid: output that comes before the spawner's
// answer waits for it (slave_started).
static void ks_slave_read_handler(ks_io_event_t *event, unsigned int)
{
    if (event_stream(event)->parent->pid == 0)
        return;
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

// Everything the stream needs is ready before the child is made: a stream
// that cannot be set up falls back to the daemon's own, never to a pipe
// nobody reads.
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
    // Only our end: the command writes as it would to any pipe.
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

static const char *const step_messages[SLAVE_STEP_EXEC] = {
    "error: failed to disable slave coredump", "error: failed to set dump resource limit",
    "error: failed to redirect stdin", "error: failed to redirect stdout",
    "error: failed to redirect stderr",
};

static void child_step(struct slave_start *s, enum slave_step step, int rc)
{
    if (rc == -1)
        s->err[step] = errno;
}

// Runs in a vfork child of the spawner thread, on the daemon's memory until
// the exec: only system calls, no allocation, no stdio, no logging. The
// spawner blocks every signal, so no handler of the daemon runs here.
//
// A command leads a process group of its own, so that a time-out reaches
// whatever it started, and dies with the daemon: a restarted daemon runs the
// same crash again and must never find the old command still writing. A
// stage command goes on after a redirection that failed, with the daemon's
// own stream; collected output does not, as qu_exec would not.
[[noreturn]] __attribute__((noinline)) static void slave_child(struct slave_start *s)
{
    static const struct rlimit one = {1, 1};
    const char *command = s->argv[0] != nullptr ? s->argv[0] : "";
    sigset_t none;

    qu_child_detach(s->daemon);
    if (s->command)
        child_step(s, SLAVE_STEP_DUMPABLE, prctl(PR_SET_DUMPABLE, 0));
    // A limit of 1 byte also stops a dump to a pipe core pattern.
    if (s->rlimit)
        child_step(s, SLAVE_STEP_RLIMIT, setrlimit(RLIMIT_CORE, &one));
    for (int fd = 0; fd < 3; fd++)
        if (s->redirect[fd])
            child_step(s, static_cast<enum slave_step>(SLAVE_STEP_STDIN + fd), redirect(s->fds[fd], fd));
    if (!s->command)
        for (int step = SLAVE_STEP_STDIN; step <= SLAVE_STEP_STDERR; step++)
            if (s->err[step] != 0)
                _exit(1);
    // The daemon keeps SIGCHLD blocked; commands expect to start with no
    // signal blocked.
    sigemptyset(&none);
    (void) sigprocmask(SIG_SETMASK, &none, nullptr);
    (void) qu_execvpe(command, s->argv, s->envp);
    s->err[SLAVE_STEP_EXEC] = errno;
    _exit(1);
}

// vfork: no page table is copied, so a start costs the same however large
// the daemon grows, and only this thread waits for the exec.
static void spawn(struct slave_start *s)
{
    s->pid = vfork();
    if (s->pid == 0)
        slave_child(s);
    s->fork_errno = s->pid == -1 ? errno : 0;
    // The child wrote into s behind the compiler's back.
    __asm__ __volatile__("" ::: "memory");
}

// A spawner thread: every signal blocked, never ends, so that the death
// signal of its children (tied to the thread that made them) comes only with
// the daemon's own end. Each takes one request at a time, so that a command
// slow to reach its exec holds up no other start; writes of one pointer are
// atomic, so every read returns a whole one.
static void *spawner_main(void *)
{
    struct slave_start *s;

    for (;;) {
        ssize_t n = read(state.spawner.requests[0], &s, sizeof s);
        if (n == -1 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof s))
            return nullptr;
        spawn(s);
        if (ks_fd_write(state.spawner.answers[1], &s, sizeof s) == -1)
            return nullptr;
    }
}

static bool spawner_ask(struct ks_slave *slave)
{
    struct slave_start *s = &slave->start;

    s->daemon = state.spawner.daemon;
    if (ks_fd_write(state.spawner.requests[1], &s, sizeof s) != static_cast<ssize_t>(sizeof s))
        return false;
    state.spawner.in_flight++;
    return true;
}

static struct ks_slave *slave_new(ks_slave_type type, const char **argv, void *cl)
{
    struct ks_slave *slave = static_cast<struct ks_slave *>(calloc(1, sizeof *slave));

    if (slave == nullptr)
        return nullptr;
    slave->basename = slave_basename(argv[0]);
    slave->slave_type = type;
    slave->cl = cl;
    slave->term_cause = KS_SLAVE_TERM_CAUSE_STATUS;
    slave->child[0] = slave->child[1] = -1;
    (void) clock_gettime(CLOCK_MONOTONIC, &slave->time);
    slave->start.argv = argv;
    slave->start.fds[0] = state.null.read;
    slave->start.redirect[0] = true;
    return slave;
}

static void slave_join(struct ks_slave *slave)
{
    struct ks_slave_pool *pool = &state.pools[slave->slave_type];

    ks_list_insert_head(&pool->slaves, &slave->linkage);
    pool->concurrency++;
}

static void child_ends_close(struct ks_slave *slave)
{
    for (int &fd : slave->child) {
        if (fd != -1)
            ks_fd_close(fd);
        fd = -1;
    }
}

static void output_close(struct ks_slave *slave)
{
    ks_io_event_destroy(slave->output.event);
    slave->output.event = nullptr;
}

// Everything but the record itself; output still unread in the pipes of a
// stage command is taken in first, as the loop may not have served it yet.
static void slave_release(struct ks_slave *slave)
{
    slave_timer_give_back(slave);
    child_ends_close(slave);
    for (ks_io_event_t *event : slave->events) {
        if (event == nullptr)
            continue;
        stream_read(event_stream(event));
        stream_close(event);
    }
    output_close(slave);
}

bool ks_slave_execv(ks_slave_type type, const char **argv, const char **envp, ks_slave_cb_t *cb,
                    void *cl, const char **error)
{
    static const char *empty[] = {nullptr};
    struct ks_slave_pool *pool = &state.pools[type];
    struct ks_cf_stage *stage = &state.cf->daemon.stages[type];

    if (!ks_slave_available(type)) {
        *error = "concurrency limit exceeded";
        return false;
    }
    if (argv == nullptr)
        argv = empty;
    struct ks_slave *slave = slave_new(type, argv, cl);
    if (slave == nullptr) {
        *error = "slave allocation failure";
        return false;
    }
    slave->cb = cb;
    if (pool->rlimit)
        coredump_check(pool, argv[0]);

    struct slave_start *s = &slave->start;
    s->envp = envp;
    s->command = true;
    s->rlimit = pool->rlimit;
    ks_cf_slave_output output = stage->output;
    if (output == KS_CF_SLAVE_OUTPUT_NULL) {
        s->fds[1] = s->fds[2] = state.null.write;
        s->redirect[1] = s->redirect[2] = true;
    } else if (captured(output)) {
        slave->events[KS_SLAVE_STDOUT] =
            stream_open(slave, KS_SLAVE_STDOUT, &slave->child[KS_SLAVE_STDOUT]);
        slave->events[KS_SLAVE_STDERR] =
            stream_open(slave, KS_SLAVE_STDERR, &slave->child[KS_SLAVE_STDERR]);
        s->fds[1] = slave->child[KS_SLAVE_STDOUT];
        s->fds[2] = slave->child[KS_SLAVE_STDERR];
        s->redirect[1] = s->fds[1] != -1;
        s->redirect[2] = s->fds[2] != -1;
    }
    if (ks_log_wants(LOG_DEBUG))
        log_command(argv);
    if (!spawner_ask(slave)) {
        slave_release(slave);
        free(slave);
        *error = "failed to spawn child";
        return false;
    }
    slave_join(slave);
    return true;
}

static void ks_slave_output_handler(ks_io_event_t *event, unsigned int mask);

// A helper collects standard error with standard output, and never dumps
// core.
static bool slave_capture(ks_slave_type type, const char **argv, unsigned int bound, size_t max,
                          ks_slave_capture_cb_t *cb, void *cl, bool helper, const char **error)
{
    struct ks_slave *slave;
    int p[2];

    if (!ks_slave_available(type)) {
        *error = "concurrency limit exceeded";
        return false;
    }
    slave = slave_new(type, argv, cl);
    if (slave == nullptr) {
        *error = qu_error_str(QU_ERR_NOMEM);
        return false;
    }
    slave->capture_cb = cb;
    slave->bound = bound;
    if (qu_stream_start(&slave->output.stream, -1, true, max) != QU_ERR_NONE) {
        *error = qu_error_str(QU_ERR_NOMEM);
        goto fail;
    }
    if (pipe2(p, O_CLOEXEC) == -1) {
        *error = qu_error_str(errno == ENFILE || errno == EMFILE ? QU_ERR_SYS_RESOURCES : QU_ERR_UNKNOWN);
        goto fail;
    }
    slave->child[KS_SLAVE_STDOUT] = p[1];
    slave->output.stream.fd = p[0];
    slave->output.event = ks_io_event_fd(p[0], ks_slave_output_handler, sizeof slave);
    if (slave->output.event == nullptr) {
        ks_fd_close(p[0]);
        *error = qu_error_str(QU_ERR_NOMEM);
        goto fail;
    }
    memcpy(ks_io_event_payload(slave->output.event), &slave, sizeof slave);
    if (!ks_io_fd_nonblock(p[0]) ||
        !ks_io_event_add(state.io, slave->output.event, EPOLLIN | EPOLLET)) {
        *error = qu_error_str(QU_ERR_UNKNOWN);
        goto fail;
    }
    slave->start.envp = const_cast<const char **>(environ);
    slave->start.fds[1] = p[1];
    slave->start.fds[2] = helper ? p[1] : state.null.write;
    slave->start.rlimit = helper;
    slave->start.redirect[1] = slave->start.redirect[2] = true;
    if (!spawner_ask(slave)) {
        *error = qu_error_str(QU_ERR_SYS_RESOURCES);
        goto fail;
    }
    slave_join(slave);
    return true;

fail:
    slave_release(slave);
    free(slave->output.stream.buf);
    free(slave);
    return false;
}

bool ks_slave_capture(ks_slave_type type, const char **argv, unsigned int bound, size_t max,
                      ks_slave_capture_cb_t *cb, void *cl, const char **error)
{
    return slave_capture(type, argv, bound, max, cb, cl, false, error);
}

bool ks_slave_helper(ks_slave_type type, const char **argv, unsigned int bound, size_t max,
                     ks_slave_capture_cb_t *cb, void *cl, const char **error)
{
    return slave_capture(type, argv, bound, max, cb, cl, true, error);
}

bool ks_slave_available(ks_slave_type type)
{
    return state.pools[type].concurrency < state.pools[type].limit.concurrency;
}

// Time-outs.

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

static void slave_end(struct ks_slave *slave)
{
    ks_tailq_insert_tail(&state.ended, &slave->done);
}

// SIGTERM at the time-out, SIGKILL a grace period later: a command that
// ignores SIGTERM must not hold its pool place for ever. Collected output
// has its bound instead: the whole group is killed at once, and what it has
// not written yet is dropped.
static void ks_slave_timer_handler(ks_io_timer_t *timer)
{
    struct itimerspec grace = {{0, 0}, {SLAVE_KILL_GRACE, 0}};
    struct ks_slave *slave;

    memcpy(&slave, ks_io_timer_payload(timer), sizeof slave);
    if (slave->capture_cb != nullptr) {
        slave->term_cause = KS_SLAVE_TERM_CAUSE_TIMEOUT;
        // A reaped child's pid may belong to someone else by now; its group
        // lives on while any member holds the output open.
        (void) kill(-slave->pid, SIGKILL);
        if (!slave->reaped)
            (void) kill(slave->pid, SIGKILL);
        if (slave->output.event != nullptr) {
            output_close(slave);
            if (slave->reaped)
                slave_end(slave);
        }
        return;
    }
    if (slave->term_cause == KS_SLAVE_TERM_CAUSE_TIMEOUT) {
        slave_signal(slave, SIGKILL);
        return;
    }
    slave->term_cause = KS_SLAVE_TERM_CAUSE_TIMEOUT;
    slave_signal(slave, SIGTERM);
    if (!ks_io_timer_set(timer, &grace))
        ks_perror("unable to set slave timer");
}

// A time-out of 0 means none, and needs no timer. A timer that a slave has
// given back is armed again rather than made anew: it is registered already.
static void slave_timer(struct ks_slave *slave, time_t timeout)
{
    struct itimerspec spec = {};
    ks_io_timer_t *timer = nullptr;

    if (timeout <= 0)
        return;
    if (!state.spare_timers.empty()) {
        timer = state.spare_timers.back();
        state.spare_timers.pop_back();
    } else {
        timer = ks_io_timer_create(state.io, ks_slave_timer_handler, sizeof slave);
        if (timer == nullptr) {
            ks_log(LOG_ERR, "error: failed to create timer\n");
            return;
        }
        if (!ks_io_timer_add(state.io, timer)) {
            ks_perror("unable to add slave timer");
            ks_io_timer_destroy(timer);
            return;
        }
    }
    memcpy(ks_io_timer_payload(timer), &slave, sizeof slave);
    spec.it_value.tv_sec = timeout;
    if (!ks_io_timer_set(timer, &spec)) {
        ks_perror("unable to set slave timer");
        ks_io_timer_destroy(timer);
        return;
    }
    slave->timer = timer;
}

// Disarmed, a timer has nothing to report (a disarmed timerfd is never
// ready), so the next slave can take it.
static void slave_timer_give_back(struct ks_slave *slave)
{
    ks_io_timer_t *timer = slave->timer;

    slave->timer = nullptr;
    if (timer == nullptr)
        return;
    if (state.spare_timers.size() < SLAVE_SPARE_TIMERS && ks_io_timer_clear(timer)) {
        try {
            state.spare_timers.push_back(timer);
            return;
        } catch (const std::bad_alloc &) {
        }
    }
    ks_io_timer_destroy(timer);
}

// Collected output.

static void ks_slave_output_handler(ks_io_event_t *event, unsigned int)
{
    struct ks_slave *slave;
    ssize_t n;

    memcpy(&slave, ks_io_event_payload(event), sizeof slave);
    while ((n = qu_stream_read(&slave->output.stream)) > 0)
        ;
    if (n == -1 && errno == EAGAIN) {
        ks_io_event_mask(event, EPOLLIN | EPOLLET);
        return;
    }
    if (n == -1)
        qu_stream_drop(&slave->output.stream, qu_read_error(errno));
    output_close(slave);
    if (slave->reaped)
        slave_end(slave);
}

// The spawner's answers.

// How qu_exec would report a child that could not run its program.
static qu_error start_error(const struct slave_start *s)
{
    for (int step = SLAVE_STEP_STDIN; step <= SLAVE_STEP_STDERR; step++) {
        switch (s->err[step]) {
        case 0:
            continue;
        case EBUSY:
            return QU_ERR_FILE_BUSY;
        case EMFILE:
            return QU_ERR_FILESYSTEM;
        default:
            return QU_ERR_UNKNOWN;
        }
    }
    return s->err[SLAVE_STEP_EXEC] != 0 ? qu_exec_error(s->err[SLAVE_STEP_EXEC]) : QU_ERR_NONE;
}

static void start_report(const struct slave_start *s)
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

static void slave_reaped(struct ks_slave *slave, int status);

// The child exists (or could not be made): its pid is known from now on, and
// a child that has already been reaped ends here.
static void slave_started(struct ks_slave *slave)
{
    struct slave_start *s = &slave->start;

    state.spawner.in_flight--;
    child_ends_close(slave);
    if (s->pid == -1) {
        if (slave->capture_cb != nullptr) {
            output_close(slave);
            qu_stream_drop(&slave->output.stream, qu_fork_error(s->fork_errno));
        } else {
            slave->term_cause = KS_SLAVE_TERM_CAUSE_SPAWN;
        }
        slave->reaped = true;
        slave_end(slave);
        return;
    }
    slave->pid = s->pid;
    if (slave->capture_cb != nullptr) {
        qu_error err = start_error(s);
        if (err != QU_ERR_NONE)
            qu_stream_drop(&slave->output.stream, err);
        slave_timer(slave, slave->bound);
    } else {
        start_report(s);
        slave_timer(slave, state.cf->daemon.stages[slave->slave_type].timeout);
        for (ks_io_event_t *event : slave->events)
            if (event != nullptr && event->mask != 0)
                ks_slave_read_handler(event, event->mask);
    }
    for (auto at = state.early.begin(); at != state.early.end(); ++at) {
        if (at->first == slave->pid) {
            int status = at->second;
            state.early.erase(at);
            slave_reaped(slave, status);
            break;
        }
    }
}

static void ks_slave_answer_handler(ks_io_event_t *event, unsigned int)
{
    struct slave_start *batch[SLAVE_BATCH];

    for (;;) {
        ssize_t n = read(event->fd, batch, sizeof batch);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof batch[0]; i++)
            slave_started(KS_CONTAINER_OF(batch[i], struct ks_slave, start));
    }
    // With nothing asked for, a child nobody knows is no slave.
    if (state.spawner.in_flight == 0)
        state.early.clear();
    ks_io_event_mask(event, EPOLLIN | EPOLLET);
}

// Reaping.

static struct ks_slave *slave_find(pid_t pid)
{
    for (auto &pool : state.pools) {
        for (ks_list_entry *e = pool.slaves.lh_first; e != nullptr; e = e->le_next) {
            struct ks_slave *slave = KS_CONTAINER_OF(e, struct ks_slave, linkage);
            if (slave->pid == pid && !slave->reaped)
                return slave;
        }
    }
    return nullptr;
}

static void slave_reaped(struct ks_slave *slave, int status)
{
    slave->reaped = true;
    slave->status = status;
    if (slave->cb != nullptr && WIFSIGNALED(status) && WCOREDUMP(status)) {
        ks_log(LOG_WARNING, "warning: kestreld-initiated command has crashed, disabling dumps.\n");
        state.pools[slave->slave_type].rlimit = true;
    }
    // Collected output ends with the output, which others may still hold.
    if (slave->capture_cb == nullptr || slave->output.event == nullptr)
        slave_end(slave);
}

// A child that ended before the spawner told its pid, kept for that moment.
static void early_keep(pid_t pid, int status)
{
    try {
        state.early.emplace_back(pid, status);
    } catch (const std::bad_alloc &) {
        ks_log(LOG_ERR, "error: failed to keep the end of child %ld\n", static_cast<long>(pid));
    }
}

static void slave_reap(void)
{
    for (;;) {
        int status;
        pid_t pid;

        do
            pid = waitpid(-1, &status, WNOHANG);
        while (pid == -1 && errno == EINTR);
        if (pid <= 0)
            return;
        struct ks_slave *slave = slave_find(pid);
        if (slave != nullptr)
            slave_reaped(slave, status);
        else if (state.spawner.in_flight > 0)
            early_keep(pid, status);
    }
}

// The slave leaves its pool before its callback runs, so that the callback
// may start the next command in the place at once.
static void slave_deliver(struct ks_slave *slave)
{
    struct ks_slave_pool *pool = &state.pools[slave->slave_type];

    ks_list_remove(&slave->linkage);
    pool->concurrency--;
    slave_release(slave);
    if (slave->capture_cb != nullptr) {
        struct slave_output *output = &slave->output;
        slave->capture_cb(slave->status, output->stream.err, slave->term_cause, output->stream.buf, output->stream.len,
                          slave->cl);
        free(output->stream.buf);
    } else {
        slave->cb(slave->status, slave->cl, slave->term_cause);
    }
    free(slave);
}

// After every wait: a wait that returns ready events leaves SIGCHLD pending
// rather than interrupted, so a busy loop would otherwise never reap.
static void slave_base(ks_io_t *io)
{
    (void) io;
    slave_reap();
    while (!ks_tailq_empty(&state.ended)) {
        struct ks_slave *slave = KS_CONTAINER_OF(state.ended.tqh_first, struct ks_slave, done);
        ks_tailq_remove(&state.ended, &slave->done);
        slave_deliver(slave);
    }
}

static int null_open(int flags, const char *message)
{
    int fd = open("/dev/null", flags | O_CLOEXEC);

    if (fd == -1)
        ks_log(LOG_WARNING, message, strerror(errno));
    return fd;
}

// As many spawners as commands can start at once, within reason. They block
// every signal for good: the daemon's handlers run on the loop's thread
// only, and its children start from a known mask.
static bool spawner_start(void)
{
    const struct ks_cf *cf = state.cf;
    unsigned int count = cf->daemon.stages[KS_SLAVE_SNAPSHOT].concurrency + cf->daemon.stages[KS_SLAVE_SEND].concurrency;
    sigset_t all, previous;
    ks_io_event_t *event;

    if (pipe2(state.spawner.requests, O_CLOEXEC) == -1 || pipe2(state.spawner.answers, O_CLOEXEC) == -1)
        return false;
    // Only the loop's end waits for nothing.
    if (!ks_io_fd_nonblock(state.spawner.answers[0]))
        return false;
    event = ks_io_event_fd(state.spawner.answers[0], ks_slave_answer_handler, 0);
    if (event == nullptr || !ks_io_event_add(state.io, event, EPOLLIN | EPOLLET))
        return false;
    state.spawner.daemon = getpid();
    count = count < 1 ? 1 : count > SLAVE_SPAWNERS ? SLAVE_SPAWNERS : count;
    sigfillset(&all);
    (void) pthread_sigmask(SIG_SETMASK, &all, &previous);
    for (unsigned int i = 0; i < count; i++) {
        pthread_t thread;
        int rc = pthread_create(&thread, nullptr, spawner_main, nullptr);
        if (rc != 0) {
            (void) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            errno = rc;
            return i > 0;
        }
        (void) pthread_detach(thread);
    }
    (void) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

bool ks_slave_init(ks_io_t *io)
{
    state.io = io;
    state.cf = ks_cf_get();
    ks_tailq_init(&state.ended);
    for (int type = 0; type < KS_SLAVE_TYPE_COUNT; type++) {
        ks_list_init(&state.pools[type].slaves);
        state.pools[type].limit.concurrency = state.cf->daemon.stages[type].concurrency;
    }
    state.null.read = null_open(O_RDONLY, "warning: failed to open /dev/null for reading: %s\n");
    state.null.write = null_open(O_WRONLY, "warning: failed to open /dev/null for writing: %s\n");
    if (!spawner_start()) {
        ks_perror("error: failed to start the spawner");
        return false;
    }
    // Without the reaping pass no child would ever be reported.
    if (!ks_io_cb_add(io, slave_base)) {
        ks_log(LOG_ERR, "error: failed to register the slave reaper\n");
        return false;
    }
    return true;
}
