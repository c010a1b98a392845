#ifndef KS_SERVER_SLAVE_H
#define KS_SERVER_SLAVE_H

// Stage commands run as child processes ("slaves"), one pool per slave type
// with its own concurrency limit, time-out and output handling. Starting a
// command never waits for it: a spawner thread makes the children, and the
// loop learns their pids from it. Children are reaped after every loop
// iteration; each start that succeeded is answered by exactly one call of
// its end callback.

#include "common/cf.h"
#include "libqu/src/error.h"
#include "server/linux/io.h"

#include <cstddef>

typedef enum ks_slave_term_cause {
    KS_SLAVE_TERM_CAUSE_TIMEOUT = 0, // the time-out fired before the child was reaped
    KS_SLAVE_TERM_CAUSE_STATUS = 1,  // the child ended by itself
    KS_SLAVE_TERM_CAUSE_SPAWN = 2,   // no child could be made ("failed to spawn child")
} ks_slave_term_cause;

// status is the raw wait status (0 with KS_SLAVE_TERM_CAUSE_SPAWN).
typedef void ks_slave_cb_t(int status, void *cl, ks_slave_term_cause cause);

// How a command with collected output ended: status is the raw wait status;
// err is QU_ERR_NONE, the error of a program that could not be started (its
// exec, as qu_exec reports it), QU_ERR_TOO_BIG for output that reached the
// maximum, or the error of reading it. out holds length bytes, not
// NUL-terminated, valid during the call only; null unless err is QU_ERR_NONE.
typedef void ks_slave_capture_cb_t(int status, qu_error err, ks_slave_term_cause cause, const char *out,
                                   size_t length, void *cl);

// Call once, after the loop exists, with SIGCHLD blocked and given a handler
// (neither SIG_DFL nor SIG_IGN): the end of a child must interrupt the loop's
// wait. False when the spawner cannot be set up.
bool ks_slave_init(ks_io_t *io);
bool ks_slave_available(ks_slave_type type);
// Runs argv[0] (searched along PATH) with argv and envp. argv and envp must
// stay alive until cb has been called. On false *error holds a constant
// message and cb is never called.
bool ks_slave_execv(ks_slave_type type, const char **argv, const char **envp, ks_slave_cb_t *cb,
                    void *cl, const char **error);
// Runs argv[0] as qu_exec_bounded would, but without waiting for it, in a
// place of the type's pool: our own environment, standard input and error on
// /dev/null, at most max bytes of standard output collected. The command ends
// when it has been reaped and its output has ended; after bound seconds (0:
// none) its process group is killed with SIGKILL and output still coming is
// dropped. argv must stay alive until cb has been called. On false *error
// holds a constant message and cb is never called.
bool ks_slave_capture(ks_slave_type type, const char **argv, unsigned int bound, size_t max,
                      ks_slave_capture_cb_t *cb, void *cl, const char **error);
// One of the daemon's own helper programs, run as ks_slave_capture runs a
// command, but with its standard error collected with its standard output,
// and with a core limit of 1 byte: a helper that crashed while it handled
// a crash must not come back as one more crash to handle.
bool ks_slave_helper(ks_slave_type type, const char **argv, unsigned int bound, size_t max,
                     ks_slave_capture_cb_t *cb, void *cl, const char **error);

#endif
