#ifndef QU_OS_H
#define QU_OS_H

#include "libqu/src/error.h"

#include <cstddef>
#include <sys/types.h>

// An editable environment block; envp[count] is always null, so envp can be
// handed to execve as it is.
struct qu_env {
    char **envp;
    size_t count;
    size_t capacity;
};

// Sizes of (size_t)-1 mean "NUL-terminated, measure it".
qu_error qu_env_init(struct qu_env *env);
qu_error qu_env_init_from_copy(struct qu_env *env, char **source_envp);
void qu_env_deinit(struct qu_env *env);
qu_error qu_env_set_kv(struct qu_env *env, const char *key, size_t key_size, const char *value,
                       size_t value_size);
qu_error qu_env_del_kv(struct qu_env *env, const char *key, size_t key_size);
qu_error qu_env_find_kv(struct qu_env *env, const char *key, size_t key_size, const char **value,
                        size_t *value_size);

// How a child ended, and what code means in each case.
typedef enum qu_termination_id {
    QU_TERMINATION_ID_CLEAN = 0, // exited; code is the exit status
    QU_TERMINATION_ID_SIGNALED = 1, // killed; code is the signal number
    QU_TERMINATION_ID_STOPPED = 2, // stopped; code is the stop signal
    QU_TERMINATION_ID_UNKNOWN = 3, // code is the raw wait status
} qu_termination_id;

struct qu_termination {
    qu_termination_id how;
    int code;
};

// Runs exe (searched like qu_execvpe) with argv (argv[argc] must be null) and
// envp_arg (null: our own environment) to its end, with standard input at end
// of file, and collects its standard output and error while it runs. Each
// count is in/out: the most bytes the caller accepts, then the bytes read; a
// stream that reaches its maximum gives QU_ERR_TOO_BIG (it is still drained, so
// the child never blocks on it). A null buffer address drops that stream.
// Buffers are handed out (not NUL-terminated, freed by the caller) only on
// QU_ERR_NONE; otherwise both addresses are left null. term is filled whenever
// the child was waited for; a program that cannot be started gives the error
// of its exec and a clean exit with code 1. Blocks the caller; SIGCHLD must not
// be ignored and nobody else may reap the child.
qu_error qu_exec(const char *exe, size_t argc, const char **argv, const char **envp_arg,
                 struct qu_termination *term, char **out_stderr, size_t *stderr_len,
                 char **out_stdout, size_t *stdout_len);

// qu_exec for a caller that must not wait for ever: the program runs in a
// process group of its own, with no signal blocked, and dies with its caller.
// After timeout seconds (0: no bound) the whole group is killed with SIGKILL,
// output that is still coming is dropped, and term reports the signal. The
// program's output collected so far is handed out as by qu_exec.
qu_error qu_exec_bounded(const char *exe, size_t argc, const char **argv, const char **envp_arg,
                         unsigned int timeout, struct qu_termination *term, char **out_stderr,
                         size_t *stderr_len, char **out_stdout, size_t *stdout_len);

// One output stream of a child, read into a buffer that grows up to max, or
// dropped. Output that reaches the maximum is too big (QU_ERR_TOO_BIG), even
// if it ends right there; the rest is still read and dropped, so that the
// child never blocks on it.
struct qu_stream {
    int fd;
    char *buf; // null while dropping
    size_t len;
    size_t size;
    size_t max;
    qu_error err; // the first failure; the stream is dropped from then on
};

// keep false: the stream is read and dropped from the start.
qu_error qu_stream_start(struct qu_stream *stream, int fd, bool keep, size_t max);
// Drops the stream; err is kept unless an earlier failure was.
void qu_stream_drop(struct qu_stream *stream, qu_error err);
// One read: the byte count, 0 at end of file, or -1 with errno.
ssize_t qu_stream_read(struct qu_stream *stream);
// What a read that failed with errno err means.
qu_error qu_read_error(int err);

// What qu_exec reports when making the child fails with errno err, and when
// the child's exec fails with err.
qu_error qu_fork_error(int err);
qu_error qu_exec_error(int err);

// Reads the blocking descriptor fd to its end into a new buffer of at most
// *buf_size bytes (*buf_size then holds the count); a stream that fills the
// maximum gives QU_ERR_TOO_BIG. A null out_buf reads and drops the stream.
// Uses one static scratch area: single thread only.
qu_error qu_fd_fetch(int fd, char **out_buf, size_t *buf_size);

#endif
