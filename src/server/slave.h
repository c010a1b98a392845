#ifndef KS_SERVER_SLAVE_H
#define KS_SERVER_SLAVE_H

// Stage commands run as child processes ("slaves"), one pool per slave type
// with its own concurrency limit, time-out and output handling. Children are
// reaped after every loop iteration; each start that succeeded is answered by
// exactly one call of its end callback.

#include "common/cf.h"
#include "server/linux/io.h"

typedef enum ks_slave_term_cause {
    KS_SLAVE_TERM_CAUSE_TIMEOUT = 0, // the time-out fired before the child was reaped
    KS_SLAVE_TERM_CAUSE_STATUS = 1,  // the child ended by itself
} ks_slave_term_cause;

// status is the raw wait status.
typedef void ks_slave_cb_t(int status, void *cl, ks_slave_term_cause cause);

// Call once, after the loop exists. Always true.
bool ks_slave_init(ks_io_t *io);
bool ks_slave_available(ks_slave_type type);
// Runs argv[0] (searched along PATH) with argv and envp. argv must stay alive
// until cb has been called. On false *error holds a constant message and cb is
// never called.
bool ks_slave_execv(ks_slave_type type, const char **argv, const char **envp, ks_slave_cb_t *cb,
                    void *cl, const char **error);

#endif
