#ifndef KS_SERVER_LINUX_IO_H
#define KS_SERVER_LINUX_IO_H

// The daemon's single-threaded event loop on epoll: descriptor events with a
// trailing payload, deferred events, per-iteration callbacks, timers
// (timerfd), signal receivers (signalfd), the inotify monitor, and the socket
// helpers that listeners build on.

#include "common/list.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

struct ks_io;
struct ks_io_event;

typedef void ks_io_event_handler_t(struct ks_io_event *event, unsigned int mask);
typedef void ks_io_cb_t(struct ks_io *io);

// One watched descriptor. The epoll registration points at the record, so it
// must outlive the registration.
typedef struct ks_io_event {
    ks_list_entry linkage; // in the loop's defer list; le_prev null when in none
    int fd;                // -1 once closed
    uint32_t mask;         // readiness accumulated since the handler last cleared it
    uint32_t flags;        // the owner's; the loop leaves it alone
    ks_io_event_handler_t *handler;
    int io_fd; // the epoll descriptor it is registered with, -1 when none
    alignas(16) unsigned char buffer[];
} ks_io_event_t;

typedef struct ks_io_cb {
    ks_list_entry linkage;
    ks_io_cb_t *cb;
} ks_io_cb;

typedef struct ks_io {
    int n_event;
    int fd;
    struct epoll_event *event;
    ks_list_head recur; // ks_io_cb, newest first
    ks_list_head defer; // ks_io_event
    bool interrupted;   // the last wait was ended by a signal handler
} ks_io_t;

// The loop is never released. n_event -1 means 8192.
bool ks_io_init(ks_io_t **iop, int n_event);
// Waits, dispatches, runs the deferred events and then the per-iteration
// callbacks, forever. io->interrupted tells the callbacks whether a signal
// handler ended the wait; a wait that returns ready events leaves a pending
// signal undelivered, so it is no proof that no signal came.
[[noreturn]] void ks_io_enter(ks_io_t *io);
bool ks_io_cb_add(ks_io_t *io, ks_io_cb_t *cb);

ks_io_event_t *ks_io_event_fd(int fd, ks_io_event_handler_t *handler, size_t payload);
bool ks_io_event_add(ks_io_t *io, ks_io_event_t *event, unsigned int mask);
bool ks_io_event_pin(ks_io_t *io, ks_io_event_t *event, unsigned int mask);
bool ks_io_event_float(ks_io_t *io, ks_io_event_t *event);
// h becomes the event's handler for good; it runs once at the next dispatch point.
void ks_io_event_defer(ks_io_t *io, ks_io_event_t *event, ks_io_event_handler_t *h);
void ks_io_event_close(ks_io_event_t *event);
void ks_io_event_free(ks_io_event_t *event);
void ks_io_event_destroy(ks_io_event_t *event);
void ks_io_event_mask(ks_io_event_t *event, unsigned int bits);
void *ks_io_event_payload(ks_io_event_t *event);
ks_io_event_t *ks_io_event_payload_parent(void *payload);

void ks_io_fd_close(int fd);
bool ks_io_fd_nonblock(int fd);

// Timers on the monotonic clock. Usual order: create, fill the payload, set, add.
struct ks_io_timer;
typedef void ks_io_timer_handler_t(struct ks_io_timer *timer);

typedef struct ks_io_timer {
    ks_io_timer_handler_t *handler;
    ks_io_event_t event; // its buffer is the timer's payload
} ks_io_timer_t;

ks_io_timer_t *ks_io_timer_create(ks_io_t *io, ks_io_timer_handler_t *h, size_t payload);
bool ks_io_timer_add(ks_io_t *io, ks_io_timer_t *timer);
// Relative to now; a zero it_value disarms, a non-zero it_interval repeats.
bool ks_io_timer_set(ks_io_timer_t *timer, const struct itimerspec *sp);
bool ks_io_timer_clear(ks_io_timer_t *timer);
void ks_io_timer_destroy(ks_io_timer_t *timer);
void *ks_io_timer_payload(ks_io_timer_t *timer);

// Signal receivers. The signals of a receiver must be blocked by its owner;
// the loop keeps them blocked during its wait too, so that they reach the
// receiver instead of their ordinary disposition.
typedef struct ks_siginfo {
    uint32_t css_signo;
    int32_t css_errno;
    int32_t css_code;
    uint32_t css_pid;
    uint32_t css_uid;
    int32_t css_status;
    uint64_t css_addr;
    int32_t css_int;
    uint64_t css_ptr;
} ks_siginfo;

struct ks_io_signal;
typedef void ks_io_signal_handler_t(struct ks_io_signal *signal, ks_siginfo *info);

typedef struct ks_io_signal {
    ks_io_signal_handler_t *handler;
    ks_io_event_t event; // its buffer is the receiver's payload
} ks_io_signal_t;

ks_io_signal_t *ks_io_signal_create(ks_io_signal_handler_t *h, sigset_t *set, size_t payload);
bool ks_io_signal_add(ks_io_t *io, ks_io_signal_t *signal);

// The filesystem monitor: one inotify instance whose notifications are routed
// to listeners by watch descriptor.
#define KS_IO_FS_CREATE 0x1UL
#define KS_IO_FS_MODIFY 0x2UL
#define KS_IO_FS_MOVED_TO 0x4UL
#define KS_IO_FS_DELETE_SELF 0x8UL
// Never requested from the kernel: reported to every listener when the
// kernel's queue overflowed and notifications were lost.
#define KS_IO_FS_RESCAN 0x10UL

typedef ks_io_event_t ks_io_fs_t;
typedef void ks_io_fs_handler_t(ks_io_fs_t *fs, const char *path, const char *name,
                                unsigned long mask);

typedef struct ks_io_fs_listener {
    ks_io_fs_handler_t *handler;
    char *path;
    int wd;
    ks_list_entry linkage;
} ks_io_fs_listener;

typedef struct ks_io_fs_monitor {
    ks_list_head listeners; // ks_io_fs_listener, newest first
} ks_io_fs_monitor;

// A monitor already registered with the loop, or null.
ks_io_fs_t *ks_io_fs(ks_io_t *io);
bool ks_io_fs_listen(ks_io_fs_t *fs, const char *path, unsigned long mask,
                     ks_io_fs_handler_t *handler);
// The monitor's descriptor handler: drains the instance and calls the listeners.
void ks_io_fs_handler(ks_io_event_t *event, unsigned int mask);

// Sockets. Workload bits choose how a socket is prepared.
#define KS_IO_WORKLOAD_DEFER_ACCEPT 0x10U

// Non-blocking; outside AF_UNIX also SO_REUSEADDR and TCP_NODELAY, and with
// KS_IO_WORKLOAD_DEFER_ACCEPT TCP_DEFER_ACCEPT and SO_KEEPALIVE.
bool ks_io_socket_prepare(int fd, int domain, unsigned int workload);
// A prepared close-on-exec socket, or -1.
int ks_io_socket(unsigned int workload, int domain, int type, int protocol);
// A prepared close-on-exec connection, or -1 with errno set.
int ks_io_accept(int fd, unsigned int workload, int domain, struct sockaddr *address,
                 socklen_t *addrlen);
int ks_io_connect(int fd, const struct sockaddr *serv_addr, socklen_t addrlen);

#endif
