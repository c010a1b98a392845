#include "server/listener.h"

#include "common/log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#define LISTENER_PATH_MAX (sizeof(((struct sockaddr_un *)nullptr)->sun_path) - 1)

ks_listener *ks_listener_tcp(const char *hostname, const char *service, int backlog)
{
    ks_listener *listener = static_cast<ks_listener *>(calloc(1, sizeof *listener));
    struct addrinfo hints = {};
    struct addrinfo *ai;
    int fd;

    if (listener == nullptr)
        return nullptr;
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(hostname, service, &hints, &listener->pd.tcp.address) != 0)
        goto fail_record;

    ai = listener->pd.tcp.address;
    fd = ks_io_socket(KS_IO_WORKLOAD_DEFER_ACCEPT, ai->ai_family, ai->ai_socktype,
                      ai->ai_protocol);
    if (fd == -1) {
        ks_perror("error: failed to create listener");
        goto fail_address;
    }
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) == -1 || listen(fd, backlog) == -1)
        goto fail_socket;

    freeaddrinfo(listener->pd.tcp.address);
    listener->pd.tcp.address = nullptr;
    listener->protocol = KS_LISTENER_TCP;
    listener->fd = fd;
    return listener;

fail_socket:
    ks_io_fd_close(fd);
fail_address:
    freeaddrinfo(listener->pd.tcp.address);
fail_record:
    free(listener);
    return nullptr;
}

// Only a socket is stale; any other file at the path is somebody's data.
static bool unix_remove_stale(const char *path)
{
    struct stat st;

    if (lstat(path, &st) == 0 && !S_ISSOCK(st.st_mode)) {
        errno = EEXIST;
        ks_perror("unlink");
        return false;
    }
    if (unlink(path) == -1 && errno != ENOENT) {
        ks_perror("unlink");
        return false;
    }
    return true;
}

static int unix_bind(const char *path, int backlog)
{
    struct sockaddr_un address = {};
    int fd = ks_io_socket(KS_IO_WORKLOAD_DEFER_ACCEPT, AF_UNIX, SOCK_STREAM, 0);

    if (fd == -1)
        return -1;
    if (!unix_remove_stale(path))
        goto fail;
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path, strlen(path) + 1);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == -1) {
        ks_perror("bind");
        goto fail;
    }
    if (listen(fd, backlog) == -1)
        goto fail;
    return fd;

fail:
    ks_io_fd_close(fd);
    return -1;
}

ks_listener *ks_listener_unix(const char *path, int backlog)
{
    ks_listener *listener = static_cast<ks_listener *>(calloc(1, sizeof *listener));

    if (listener == nullptr)
        return nullptr;
    if (path[0] != '/')
        goto fail_record;
    if (strlen(path) > LISTENER_PATH_MAX) {
        ks_log(LOG_ERR, "[%s] UNIX socket path is too long.\n", path);
        goto fail_record;
    }
    listener->pd.local.path = strdup(path);
    if (listener->pd.local.path == nullptr)
        goto fail_record;
    listener->fd = unix_bind(path, backlog);
    if (listener->fd == -1)
        goto fail_path;
    listener->protocol = KS_LISTENER_UNIX;
    return listener;

fail_path:
    free(listener->pd.local.path);
fail_record:
    free(listener);
    return nullptr;
}

int ks_listener_fd(ks_listener *listener) { return listener->fd; }

bool ks_listen(ks_io_t *io, ks_listener *listener, unsigned int workload,
               ks_listener_on_accept_handler_t *on_accept_handler, void *on_accept_closure)
{
    ks_io_event_t *event = ks_io_event_fd(listener->fd, ks_listener_accept_handler,
                                          sizeof(ks_listener_accept_handler_state));

    if (event == nullptr)
        return false;

    auto *state = static_cast<ks_listener_accept_handler_state *>(ks_io_event_payload(event));
    state->on_accept_handler = on_accept_handler;
    state->on_accept_closure = on_accept_closure;
    state->protocol = listener->protocol;
    state->workload = workload;
    if (!ks_io_event_add(io, event, EPOLLIN | EPOLLET)) {
        ks_perror("ks_io_event_add");
        ks_io_event_free(event);
        return false;
    }
    return true;
}

// Errors that consume the pending connection they report: the next one may
// still be waiting, and with edge-triggered readiness nobody would ask again.
static bool accept_may_continue(int error)
{
    switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENETUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
        return true;
    default:
        return false;
    }
}

void ks_listener_accept_handler(ks_io_event_t *event, unsigned int)
{
    auto *state = static_cast<ks_listener_accept_handler_state *>(ks_io_event_payload(event));
    int domain = state->protocol == KS_LISTENER_UNIX ? AF_UNIX : 0;

    for (;;) {
        struct sockaddr_storage address;
        socklen_t length = state->protocol == KS_LISTENER_UNIX ? sizeof(struct sockaddr_un)
                                                                : sizeof address;
        int fd = ks_io_accept(event->fd, state->workload, domain,
                              reinterpret_cast<struct sockaddr *>(&address), &length);

        if (fd != -1) {
            state->on_accept_handler(fd, state->on_accept_closure);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return;
        ks_perror("accept");
        if (!accept_may_continue(errno))
            return;
    }
}
