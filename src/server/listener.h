#ifndef KS_SERVER_LISTENER_H
#define KS_SERVER_LISTENER_H

// Stream listeners: a listening TCP or UNIX-domain socket that, once attached
// to the loop, accepts every pending connection on each readiness report.

#include "server/linux/io.h"

#include <netdb.h>

typedef enum ks_listener_protocol {
    KS_LISTENER_TCP = 0,
    KS_LISTENER_UNIX = 1,
} ks_listener_protocol;

// Set up completely by its constructor; never released.
typedef struct ks_listener {
    ks_listener_protocol protocol;
    int fd;
    union {
        struct {
            struct addrinfo *address; // only while being set up
        } tcp;
        struct {
            char *path;
        } local;
    } pd;
} ks_listener;

// The handler owns the accepted descriptor, which is already non-blocking.
typedef void ks_listener_on_accept_handler_t(int fd, void *closure);

typedef struct ks_listener_accept_handler_state {
    ks_listener_on_accept_handler_t *on_accept_handler;
    void *on_accept_closure;
    ks_listener_protocol protocol;
    unsigned int workload;
} ks_listener_accept_handler_state;

// Listens on the first address that hostname and service resolve to.
ks_listener *ks_listener_tcp(const char *hostname, const char *service, int backlog);
// path must be absolute and at most 107 characters; a stale socket there is replaced.
ks_listener *ks_listener_unix(const char *path, int backlog);
int ks_listener_fd(ks_listener *listener);
bool ks_listen(ks_io_t *io, ks_listener *listener, unsigned int workload,
               ks_listener_on_accept_handler_t *on_accept_handler, void *on_accept_closure);
// The descriptor handler of a listening socket.
void ks_listener_accept_handler(ks_io_event_t *event, unsigned int mask);

#endif
