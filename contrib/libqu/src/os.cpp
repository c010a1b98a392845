#include "libqu/src/os.h"

#include "libqu/src/lstr.h"
#include "libqu/src/posix.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

qu_error qu_env_init(struct qu_env *env) { return qu_env_init_from_copy(env, environ); }

qu_error qu_env_init_from_copy(struct qu_env *env, char **source_envp)
{
    size_t n = 0;

    while (source_envp[n] != nullptr)
        n++;
    auto **envp = static_cast<char **>(malloc((n + 1) * sizeof(char *)));
    if (envp == nullptr)
        return QU_ERR_NOMEM;
    for (size_t i = 0; i < n; i++) {
        envp[i] = strdup(source_envp[i]);
        if (envp[i] == nullptr) {
            while (i-- > 0)
                free(envp[i]);
            free(envp);
            return QU_ERR_NOMEM;
        }
    }
    envp[n] = nullptr;
    env->envp = envp;
    env->count = n;
    env->capacity = n;
    return QU_ERR_NONE;
}

void qu_env_deinit(struct qu_env *env)
{
    for (size_t i = 0; i < env->count; i++)
        free(env->envp[i]);
    free(env->envp);
}

static qu_error qu_env_find_kv_index(struct qu_env *env, const char *key, size_t key_size,
                                     size_t *index)
{
    for (size_t i = 0; i < env->count; i++) {
        const char *entry = env->envp[i];
        const char *equals = strchr(entry, '=');
        if (equals == nullptr)
            return QU_ERR_INVALID_ENVIRON;
        if (qu_lstr_eql(entry, static_cast<size_t>(equals - entry), key, key_size)) {
            *index = i;
            return QU_ERR_NONE;
        }
    }
    return QU_ERR_NOT_FOUND;
}

static void qu_env_remove_key(struct qu_env *env, size_t index)
{
    assert(env->count > 0);
    free(env->envp[index]);
    memmove(&env->envp[index], &env->envp[index + 1], (env->count - index) * sizeof(char *));
    env->count--;
    assert(env->envp[env->count] == NULL);
}

static qu_error qu_env_maybe_grow(struct qu_env *env)
{
    if (env->capacity > env->count)
        return QU_ERR_NONE;
    size_t capacity = env->capacity == 0 ? 1 : env->capacity * 2;
    auto **envp = static_cast<char **>(realloc(env->envp, (capacity + 1) * sizeof(char *)));
    if (envp == nullptr)
        return QU_ERR_NOMEM;
    env->envp = envp;
    env->capacity = capacity;
    return QU_ERR_NONE;
}

static qu_error qu_env_add_kv(struct qu_env *env, const char *key, size_t key_size,
                              const char *value, size_t value_size)
{
    qu_error err = qu_env_maybe_grow(env);
    char *entry;

    if (err != QU_ERR_NONE)
        return err;
    if (asprintf(&entry, "%.*s=%.*s", static_cast<int>(key_size), key,
                 static_cast<int>(value_size), value) == -1)
        return QU_ERR_NOMEM;
    env->envp[env->count++] = entry;
    env->envp[env->count] = nullptr;
    return QU_ERR_NONE;
}

static size_t measure(const char *text, size_t size)
{
    return size == static_cast<size_t>(-1) ? strlen(text) : size;
}

qu_error qu_env_set_kv(struct qu_env *env, const char *key, size_t key_size, const char *value,
                       size_t value_size)
{
    size_t index;

    key_size = measure(key, key_size);
    value_size = measure(value, value_size);
    qu_error err = qu_env_find_kv_index(env, key, key_size, &index);
    if (err == QU_ERR_INVALID_ENVIRON)
        return err;
    if (err == QU_ERR_NONE)
        qu_env_remove_key(env, index);
    if (key_size > INT_MAX || value_size > INT_MAX)
        return QU_ERR_INVALID_ENVIRON;
    return qu_env_add_kv(env, key, key_size, value, value_size);
}

qu_error qu_env_del_kv(struct qu_env *env, const char *key, size_t key_size)
{
    size_t index;
    qu_error err = qu_env_find_kv_index(env, key, measure(key, key_size), &index);

    if (err == QU_ERR_NONE)
        qu_env_remove_key(env, index);
    return err;
}

qu_error qu_env_find_kv(struct qu_env *env, const char *key, size_t key_size, const char **value,
                        size_t *value_size)
{
    size_t index;
    qu_error err = qu_env_find_kv_index(env, key, measure(key, key_size), &index);

    if (err != QU_ERR_NONE)
        return err;
    *value = strchr(env->envp[index], '=') + 1;
    *value_size = strlen(*value);
    return QU_ERR_NONE;
}

#define QU_REPORT_NONE INT_MAX // the parent's marker: the child reported nothing
#define QU_FETCH_START 4096 // first size of an output buffer
#define QU_FETCH_ROOM 4096 // free bytes kept for the next read

static struct {
    char scratch[4096]; // where dropped output goes
} state;

static int qu_close_nointr(int fd)
{
    int rc;

    while ((rc = close(fd)) == -1 && errno == EINTR)
        ;
    return rc;
}

static void close_fd(int *fd)
{
    if (*fd >= 0)
        (void) qu_close_nointr(*fd);
    *fd = -1;
}

qu_error qu_read_error(int err)
{
    switch (err) {
    case EIO:
        return QU_ERR_FILESYSTEM;
    case EBADF:
        return QU_ERR_BAD_FD;
    default:
        assert(err != EAGAIN);
        assert(err != EFAULT);
        assert(err != EINVAL);
        assert(err != EISDIR);
        return QU_ERR_UNKNOWN;
    }
}

static qu_error qu_fd_discard(int fd)
{
    for (;;) {
        ssize_t n = read(fd, state.scratch, sizeof state.scratch);
        if (n == 0)
            return QU_ERR_NONE;
        if (n == -1 && errno != EINTR)
            return qu_read_error(errno);
    }
}

qu_error qu_stream_start(struct qu_stream *stream, int fd, bool keep, size_t max)
{
    *stream = {fd, nullptr, 0, 0, max, QU_ERR_NONE};
    if (!keep)
        return QU_ERR_NONE;
    stream->size = max < QU_FETCH_START ? max : QU_FETCH_START;
    // One byte at least, so that an empty stream still gets a buffer.
    stream->buf = static_cast<char *>(malloc(stream->size > 0 ? stream->size : 1));
    return stream->buf == nullptr ? QU_ERR_NOMEM : QU_ERR_NONE;
}

void qu_stream_drop(struct qu_stream *stream, qu_error err)
{
    free(stream->buf);
    stream->buf = nullptr;
    if (stream->err == QU_ERR_NONE)
        stream->err = err;
}

// Grows by half until QU_FETCH_ROOM bytes are free or the maximum is reached;
// data that fills the maximum is too big, even if the stream ends there.
static qu_error stream_grow(struct qu_stream *stream)
{
    size_t size = stream->size;

    while (size - stream->len < QU_FETCH_ROOM && size < stream->max) {
        size_t step = size / 2 > 0 ? size / 2 : 1;
        size = stream->max - size < step ? stream->max : size + step;
    }
    if (stream->len == size)
        return QU_ERR_TOO_BIG;
    if (size != stream->size) {
        auto *buf = static_cast<char *>(realloc(stream->buf, size));
        if (buf == nullptr)
            return QU_ERR_NOMEM;
        stream->buf = buf;
        stream->size = size;
    }
    return QU_ERR_NONE;
}

// One read: the byte count, 0 at end of file, or -1 with errno.
ssize_t qu_stream_read(struct qu_stream *stream)
{
    // Without room (a maximum of 0) a read into the scratch area still tells
    // whether anything follows.
    bool into_buf = stream->buf != nullptr && stream->len < stream->size;
    ssize_t n;

    do {
        if (into_buf)
            n = read(stream->fd, stream->buf + stream->len, stream->size - stream->len);
        else
            n = read(stream->fd, state.scratch, sizeof state.scratch);
    } while (n == -1 && errno == EINTR);
    if (n <= 0 || stream->buf == nullptr)
        return n;
    if (!into_buf) {
        qu_stream_drop(stream, QU_ERR_TOO_BIG);
        return n;
    }
    stream->len += static_cast<size_t>(n);
    qu_error err = stream_grow(stream);
    if (err != QU_ERR_NONE)
        qu_stream_drop(stream, err);
    return n;
}

qu_error qu_fd_fetch(int fd, char **out_buf, size_t *buf_size)
{
    struct qu_stream stream;

    if (out_buf == nullptr)
        return qu_fd_discard(fd);
    if (qu_stream_start(&stream, fd, true, *buf_size) != QU_ERR_NONE)
        return QU_ERR_NOMEM;
    for (;;) {
        ssize_t n = qu_stream_read(&stream);
        if (n == -1) {
            qu_error err = qu_read_error(errno);
            free(stream.buf);
            return err;
        }
        if (stream.err != QU_ERR_NONE)
            return stream.err;
        if (n == 0)
            break;
    }
    *out_buf = stream.buf;
    *buf_size = stream.len;
    return QU_ERR_NONE;
}

// How long a bounded run may take: a deadline on the monotonic clock.
struct exec_bounds {
    bool bounded;
    bool detached; // own process group, empty signal mask, dies with us
    struct timespec deadline;
};

// Milliseconds left before the deadline for poll: -1 without one, 0 once passed.
static int bounds_left(const struct exec_bounds *bounds)
{
    struct timespec now;

    if (!bounds->bounded)
        return -1;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (bounds->deadline.tv_sec - now.tv_sec) * 1000LL +
                   (bounds->deadline.tv_nsec - now.tv_nsec) / 1000000;
    if (ms <= 0)
        return 0;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Reads both streams as their data comes until both end, so that a child never
// blocks on a full pipe. A stream that cannot be read any more is closed: the
// child then gets EPIPE instead of blocking. False when the deadline passed
// first; the streams are closed then too.
static bool exec_collect(struct qu_stream *streams, nfds_t count,
                         const struct exec_bounds *bounds)
{
    struct pollfd pfds[2];
    nfds_t open = count;
    bool in_time = true;

    for (nfds_t i = 0; i < count; i++)
        pfds[i] = {streams[i].fd, POLLIN, 0};
    while (open > 0) {
        int left = bounds_left(bounds);
        int ready = left == 0 ? 0 : poll(pfds, count, left);
        if (ready == 0) {
            in_time = false;
            break;
        }
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            for (nfds_t i = 0; i < count; i++)
                if (streams[i].fd >= 0)
                    qu_stream_drop(&streams[i], QU_ERR_SYS_RESOURCES);
            break;
        }
        for (nfds_t i = 0; i < count; i++) {
            if (pfds[i].fd < 0 || pfds[i].revents == 0)
                continue;
            ssize_t n = -1;
            if (pfds[i].revents & POLLNVAL)
                errno = EBADF;
            else
                n = qu_stream_read(&streams[i]);
            if (n > 0 || (n == -1 && errno == EAGAIN))
                continue;
            if (n == -1)
                qu_stream_drop(&streams[i], qu_read_error(errno));
            pfds[i].fd = -1;
            open--;
        }
    }
    for (nfds_t i = 0; i < count; i++)
        close_fd(&streams[i].fd);
    return in_time;
}

[[noreturn]] static void qu_exec_err_report(int fd, qu_error err)
{
    int code = err;
    size_t done = 0;

    while (done < sizeof code) {
        ssize_t n = write(fd, reinterpret_cast<char *>(&code) + done, sizeof code - done);
        if (n == -1 && errno != EINTR)
            break;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    _exit(1);
}

static qu_error child_fd_error(void)
{
    if (errno == EBUSY)
        return QU_ERR_FILE_BUSY;
    if (errno == EMFILE)
        return QU_ERR_FILESYSTEM;
    assert(errno != EINVAL);
    return QU_ERR_UNKNOWN;
}

// Moves a descriptor out of 0..2, where the standard streams are about to land
// (possible when the caller runs with some of them closed).
static qu_error child_lift(int *fd)
{
    if (*fd > STDERR_FILENO)
        return QU_ERR_NONE;
    int moved = fcntl(*fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved == -1)
        return child_fd_error();
    *fd = moved;
    return QU_ERR_NONE;
}

static qu_error qu_child_dup2(int from, int to)
{
    int rc;

    while ((rc = dup2(from, to)) == -1 && errno == EINTR)
        ;
    return rc == -1 ? child_fd_error() : QU_ERR_NONE;
}

qu_error qu_exec_error(int err)
{
    switch (err) {
    case EPERM:
    case EACCES:
        return QU_ERR_ACCESS;
    case ENOENT:
    case ENOTDIR:
        return QU_ERR_FILE_NOT_FOUND;
    case EIO:
    case ELOOP:
        return QU_ERR_FILESYSTEM;
    case E2BIG:
    case ENOMEM:
    case ENFILE:
    case EMFILE:
    case ENAMETOOLONG:
        return QU_ERR_SYS_RESOURCES;
    case ENOEXEC:
    case EINVAL:
    case ELIBBAD:
        return QU_ERR_INVALID_EXE;
    case EISDIR:
        return QU_ERR_IS_DIR;
    case ETXTBSY:
        return QU_ERR_FILE_BUSY;
    default:
        assert(err != EFAULT);
        return QU_ERR_UNKNOWN;
    }
}

enum { PIPE_IN, PIPE_OUT, PIPE_DIAG, PIPE_REPORT, PIPE_COUNT };

// Every pipe end is close-on-exec, so the program keeps only the three
// standard streams that dup2 made, and a successful exec closes the report
// pipe without a word.
// Runs in a vfork child on the caller's memory: system calls only. Every
// signal is blocked until just before the exec, which gets mask.
[[noreturn]] __attribute__((noinline)) static void
exec_child(const char *exe, const char **argv, const char **envp, int pipes[PIPE_COUNT][2],
           const struct exec_bounds *bounds, pid_t parent, const sigset_t *mask)
{
    int report = pipes[PIPE_REPORT][1];
    int from[3] = {pipes[PIPE_IN][0], pipes[PIPE_OUT][1], pipes[PIPE_DIAG][1]};
    qu_error err = child_lift(&report);

    // A deadline reaches whatever the program started.
    if (bounds->detached)
        qu_child_detach(parent);
    for (int i = 0; i < 3 && err == QU_ERR_NONE; i++)
        err = child_lift(&from[i]);
    for (int i = 0; i < 3 && err == QU_ERR_NONE; i++)
        err = qu_child_dup2(from[i], i);
    if (err != QU_ERR_NONE)
        qu_exec_err_report(report, err);
    (void) sigprocmask(SIG_SETMASK, mask, nullptr);
    if (qu_execvpe(exe, argv, envp) != -1)
        abort();
    qu_exec_err_report(report, qu_exec_error(errno));
}

static qu_error exec_pipes(int pipes[PIPE_COUNT][2])
{
    for (int i = 0; i < PIPE_COUNT; i++) {
        if (pipe2(pipes[i], O_CLOEXEC) == 0)
            continue;
        int err = errno;
        while (i-- > 0) {
            close_fd(&pipes[i][0]);
            close_fd(&pipes[i][1]);
        }
        return err == ENFILE || err == EMFILE ? QU_ERR_SYS_RESOURCES : QU_ERR_UNKNOWN;
    }
    return QU_ERR_NONE;
}

static void exec_close(int pipes[PIPE_COUNT][2])
{
    for (int i = 0; i < PIPE_COUNT; i++) {
        close_fd(&pipes[i][0]);
        close_fd(&pipes[i][1]);
    }
}

static qu_error exec_wait(pid_t pid, struct qu_termination *term)
{
    int status;
    pid_t rc;

    while ((rc = waitpid(pid, &status, 0)) == -1 && errno == EINTR)
        ;
    if (rc == -1) {
        assert(errno != EINVAL);
        assert(errno != ECHILD);
        return QU_ERR_UNKNOWN;
    }
    if (WIFEXITED(status))
        *term = {QU_TERMINATION_ID_CLEAN, WEXITSTATUS(status)};
    else if (WIFSIGNALED(status))
        *term = {QU_TERMINATION_ID_SIGNALED, WTERMSIG(status)};
    else if (WIFSTOPPED(status))
        *term = {QU_TERMINATION_ID_STOPPED, WSTOPSIG(status)};
    else
        *term = {QU_TERMINATION_ID_UNKNOWN, status};
    return QU_ERR_NONE;
}

// The child has ended, so a report it wrote is already in the pipe ahead of
// the marker; reading the marker back means the exec succeeded.
static qu_error exec_handshake(int report[2])
{
    int code = QU_REPORT_NONE;
    size_t done = 0;
    ssize_t n;

    while ((n = write(report[1], &code, sizeof code)) == -1 && errno == EINTR)
        ;
    if (n != static_cast<ssize_t>(sizeof code))
        return QU_ERR_SYS_RESOURCES;
    while (done < sizeof code) {
        n = read(report[0], reinterpret_cast<char *>(&code) + done, sizeof code - done);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            return QU_ERR_SYS_RESOURCES;
        done += static_cast<size_t>(n);
    }
    if (code == QU_REPORT_NONE)
        return QU_ERR_NONE;
    if (code <= QU_ERR_NONE || code > QU_ERR_INVALID_STATE)
        return QU_ERR_UNKNOWN;
    return static_cast<qu_error>(code);
}

qu_error qu_fork_error(int err)
{
    return err == EAGAIN || err == ENOMEM || err == ENOSYS ? QU_ERR_SYS_RESOURCES
                                                           : QU_ERR_UNKNOWN;
}

// The child leads its group; the kill of the child itself covers a group that
// could not be made.
static void group_kill(pid_t pid)
{
    (void) kill(-pid, SIGKILL);
    (void) kill(pid, SIGKILL);
}

// Waits for the child to end until the deadline; past it the child's group is
// killed. A pidfd tells when the child ends without reaping it.
static void exec_wait_bounded(pid_t pid, const struct exec_bounds *bounds)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    for (;;) {
        int left = bounds_left(bounds);
        if (left == 0)
            break;
        if (pidfd != -1) {
            struct pollfd ready = {pidfd, POLLIN, 0};
            int n = poll(&ready, 1, left);
            if (n == -1 && errno == EINTR)
                continue;
            if (n != 0) {
                close_fd(&pidfd);
                return;
            }
            break;
        }
        // Kernels without pidfds: look every 10 ms.
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            return;
        struct timespec pause = {0, 10000000};
        nanosleep(&pause, nullptr);
    }
    close_fd(&pidfd);
    group_kill(pid);
}

// Runs the child and reads its output; pipes are closed on return.
static qu_error exec_run(const char *exe, const char **argv, const char **envp,
                         struct qu_termination *term, int pipes[PIPE_COUNT][2],
                         struct qu_stream streams[2], const struct exec_bounds *bounds)
{
    pid_t parent = getpid();

    // Nobody writes to the child's standard input: with its only write end
    // closed before the fork, the child reads end of file at once.
    close_fd(&pipes[PIPE_IN][1]);
    // vfork: the child only makes system calls until its exec, and the caller
    // resumes when it has happened, with the group in place. A detached
    // program starts with no signal blocked, any other with the caller's mask.
    sigset_t all, previous, none;
    sigfillset(&all);
    sigemptyset(&none);
    (void) sigprocmask(SIG_SETMASK, &all, &previous);
    pid_t pid = vfork();
    if (pid == 0)
        exec_child(exe, argv, envp, pipes, bounds, parent, bounds->detached ? &none : &previous);
    int saved = errno;
    (void) sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (pid == -1) {
        exec_close(pipes);
        return qu_fork_error(saved);
    }
    close_fd(&pipes[PIPE_IN][0]);
    close_fd(&pipes[PIPE_OUT][1]);
    close_fd(&pipes[PIPE_DIAG][1]);
    streams[0].fd = pipes[PIPE_OUT][0];
    streams[1].fd = pipes[PIPE_DIAG][0];
    pipes[PIPE_OUT][0] = pipes[PIPE_DIAG][0] = -1;
    if (!exec_collect(streams, 2, bounds))
        group_kill(pid);
    else if (bounds->bounded)
        exec_wait_bounded(pid, bounds);
    qu_error err = exec_wait(pid, term);
    if (err == QU_ERR_NONE)
        err = exec_handshake(pipes[PIPE_REPORT]);
    exec_close(pipes);
    for (int i = 0; i < 2 && err == QU_ERR_NONE; i++)
        err = streams[i].err;
    return err;
}

static qu_error exec_start(const char *exe, size_t argc, const char **argv, const char **envp_arg,
                           const struct exec_bounds *bounds, struct qu_termination *term,
                           char **out_stderr, size_t *stderr_len, char **out_stdout,
                           size_t *stdout_len)
{
    const char **envp = envp_arg != nullptr ? envp_arg : const_cast<const char **>(environ);
    struct qu_stream streams[2]; // standard output, standard error
    int pipes[PIPE_COUNT][2];
    qu_error err;

    assert(argv[argc] == NULL);
    (void) argc;
    if (out_stdout != nullptr)
        *out_stdout = nullptr;
    if (out_stderr != nullptr)
        *out_stderr = nullptr;
    // Buffers first: once the child runs, there is no good moment to give up.
    err = qu_stream_start(&streams[0], -1, out_stdout != nullptr,
                       out_stdout != nullptr ? *stdout_len : 0);
    if (err == QU_ERR_NONE)
        err = qu_stream_start(&streams[1], -1, out_stderr != nullptr,
                           out_stderr != nullptr ? *stderr_len : 0);
    else
        streams[1].buf = nullptr;
    if (err == QU_ERR_NONE)
        err = exec_pipes(pipes);
    if (err == QU_ERR_NONE)
        err = exec_run(exe, argv, envp, term, pipes, streams, bounds);
    if (err != QU_ERR_NONE) {
        free(streams[0].buf);
        free(streams[1].buf);
        return err;
    }
    if (out_stdout != nullptr) {
        *out_stdout = streams[0].buf;
        *stdout_len = streams[0].len;
    }
    if (out_stderr != nullptr) {
        *out_stderr = streams[1].buf;
        *stderr_len = streams[1].len;
    }
    return QU_ERR_NONE;
}

qu_error qu_exec(const char *exe, size_t argc, const char **argv, const char **envp_arg,
                 struct qu_termination *term, char **out_stderr, size_t *stderr_len,
                 char **out_stdout, size_t *stdout_len)
{
    static const struct exec_bounds none = {false, false, {0, 0}};

    return exec_start(exe, argc, argv, envp_arg, &none, term, out_stderr, stderr_len,
                      out_stdout, stdout_len);
}

qu_error qu_exec_bounded(const char *exe, size_t argc, const char **argv, const char **envp_arg,
                         unsigned int timeout, struct qu_termination *term, char **out_stderr,
                         size_t *stderr_len, char **out_stdout, size_t *stdout_len)
{
    struct exec_bounds bounds = {timeout > 0, true, {0, 0}};

    clock_gettime(CLOCK_MONOTONIC, &bounds.deadline);
    bounds.deadline.tv_sec += timeout;
    return exec_start(exe, argc, argv, envp_arg, &bounds, term, out_stderr, stderr_len,
                      out_stdout, stdout_len);
}
