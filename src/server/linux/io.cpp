#include "server/linux/io.h"

#include "common/log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#define IO_DEFAULT_EVENTS 8192
#define IO_FS_BUFFER 4096

static struct {
    // The batch being dispatched (null outside one), the first record not yet
    // served and the end; a handler that closes or releases another event of
    // the batch clears that event's later record here.
    struct epoll_event *batch;
    int next;
    int end;
    ks_io_event_t *current;
    // Zero-filled is the empty set. Signal receivers add their signals, which
    // must stay blocked during the wait to reach their descriptors.
    sigset_t wait_mask;
    // A failing wait is logged once per run of failures.
    bool wait_failing;
} state;

// inotify bits of the monitor bits, in this order.
static const struct {
    unsigned long bit;
    uint32_t in;
} map[5] = {
    {KS_IO_FS_CREATE, IN_CREATE},         {KS_IO_FS_RESCAN, 0},
    {KS_IO_FS_MODIFY, IN_MODIFY},         {KS_IO_FS_MOVED_TO, IN_MOVED_TO},
    {KS_IO_FS_DELETE_SELF, IN_DELETE_SELF},
};

void ks_io_fd_close(int fd)
{
    int saved = errno;

    while (close(fd) == -1 && errno == EINTR)
        ;
    errno = saved;
}

bool ks_io_fd_nonblock(int fd)
{
    int flags = fcntl(fd, F_GETFL);

    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        ks_perror("fcntl");
        return false;
    }
    return true;
}

bool ks_io_init(ks_io_t **iop, int n_event)
{
    if (n_event == -1)
        n_event = IO_DEFAULT_EVENTS;
    // The kernel refuses any other count; a loop built on one could only fail.
    if (n_event < 1 || static_cast<size_t>(n_event) > INT_MAX / sizeof(struct epoll_event)) {
        errno = EINVAL;
        return false;
    }

    ks_io_t *io = static_cast<ks_io_t *>(calloc(1, sizeof *io));
    if (io == nullptr)
        return false;
    io->fd = epoll_create1(EPOLL_CLOEXEC);
    if (io->fd == -1)
        goto fail_record;
    io->event = static_cast<struct epoll_event *>(calloc(n_event, sizeof *io->event));
    if (io->event == nullptr)
        goto fail_fd;

    io->n_event = n_event;
    ks_list_init(&io->recur);
    ks_list_init(&io->defer);
    *iop = io;
    return true;

fail_fd:
    ks_io_fd_close(io->fd);
fail_record:
    free(io);
    return false;
}

bool ks_io_cb_add(ks_io_t *io, ks_io_cb_t *cb)
{
    ks_io_cb *record = static_cast<ks_io_cb *>(malloc(sizeof *record));

    if (record == nullptr)
        return false;
    record->cb = cb;
    ks_list_insert_head(&io->recur, &record->linkage);
    return true;
}

// An event appears at most once in a batch, so the event being served needs
// no search; any other is cleared from the records still to come.
static void batch_forget(ks_io_event_t *event)
{
    if (state.batch == nullptr || event == state.current)
        return;
    for (int i = state.next; i < state.end; i++) {
        if (state.batch[i].data.ptr == event) {
            state.batch[i].data.ptr = nullptr;
            return;
        }
    }
}

static void dispatch(ks_io_t *io, int n)
{
    state.batch = io->event;
    state.end = n;
    for (state.next = 0; state.next < n;) {
        struct epoll_event *record = &io->event[state.next++];
        ks_io_event_t *event = static_cast<ks_io_event_t *>(record->data.ptr);

        if (event == nullptr)
            continue;
        event->mask |= record->events;
        state.current = event;
        event->handler(event, event->mask);
    }
    state.batch = nullptr;
    state.current = nullptr;
    state.end = 0;
}

static void run_deferred(ks_io_t *io)
{
    while (!ks_list_empty(&io->defer)) {
        ks_io_event_t *event = KS_CONTAINER_OF(io->defer.lh_first, ks_io_event_t, linkage);

        ks_list_remove(&event->linkage);
        event->handler(event, event->mask);
    }
}

static void run_recur(ks_io_t *io)
{
    // Records are never removed, so the next link survives any callback.
    for (ks_list_entry *entry = io->recur.lh_first; entry != nullptr; entry = entry->le_next)
        KS_CONTAINER_OF(entry, ks_io_cb, linkage)->cb(io);
}

// Only a broken loop fails here (EBADF, EINVAL, EFAULT): say so once, then
// pause instead of spinning, still letting signals through to the callbacks.
static void wait_failed(void)
{
    static const struct timespec pause = {1, 0};

    if (!state.wait_failing) {
        ks_perror("epoll_pwait");
        state.wait_failing = true;
    }
    (void) ppoll(nullptr, 0, &pause, &state.wait_mask);
}

void ks_io_enter(ks_io_t *io)
{
    for (;;) {
        int n = epoll_pwait(io->fd, io->event, io->n_event, -1, &state.wait_mask);

        io->interrupted = n == -1 && errno == EINTR;

        if (n > 0)
            dispatch(io, n);
        if (n >= 0)
            state.wait_failing = false;
        else if (errno != EINTR)
            wait_failed();
        run_deferred(io);
        run_recur(io);
    }
}

static void event_init(ks_io_event_t *event, int fd, ks_io_event_handler_t *handler)
{
    event->linkage.le_next = nullptr;
    event->linkage.le_prev = nullptr;
    event->fd = fd;
    event->mask = 0;
    event->flags = 0;
    event->handler = handler;
    event->io_fd = -1;
}

// One block of a header and a payload.
static void *payload_alloc(size_t header, size_t payload)
{
    if (payload > SIZE_MAX - header)
        return nullptr;
    return malloc(header + payload);
}

ks_io_event_t *ks_io_event_fd(int fd, ks_io_event_handler_t *handler, size_t payload)
{
    ks_io_event_t *event = static_cast<ks_io_event_t *>(payload_alloc(sizeof *event, payload));

    if (event == nullptr)
        return nullptr;
    event_init(event, fd, handler);
    return event;
}

static bool event_register(ks_io_t *io, ks_io_event_t *event, unsigned int mask)
{
    struct epoll_event record = {};

    record.events = mask;
    record.data.ptr = event;
    if (epoll_ctl(io->fd, EPOLL_CTL_ADD, event->fd, &record) == -1)
        return false;
    event->io_fd = io->fd;
    return true;
}

bool ks_io_event_add(ks_io_t *io, ks_io_event_t *event, unsigned int mask)
{
    event->mask = 0;
    return event_register(io, event, mask);
}

bool ks_io_event_pin(ks_io_t *io, ks_io_event_t *event, unsigned int mask)
{
    return event_register(io, event, mask);
}

bool ks_io_event_float(ks_io_t *io, ks_io_event_t *event)
{
    if (epoll_ctl(io->fd, EPOLL_CTL_DEL, event->fd, nullptr) == -1)
        return false;
    event->io_fd = -1;
    return true;
}

void ks_io_event_defer(ks_io_t *io, ks_io_event_t *event, ks_io_event_handler_t *h)
{
    if (ks_list_linked(&event->linkage))
        ks_list_remove(&event->linkage);
    ks_list_insert_head(&io->defer, &event->linkage);
    event->handler = h;
}

// Readiness reported before the close belongs to a descriptor that is gone.
// The registration goes explicitly: the close alone ends it only with the
// last copy of the file, and a freshly forked child holds copies until its
// exec, during which the kernel would go on reporting a released event.
void ks_io_event_close(ks_io_event_t *event)
{
    if (event == nullptr)
        return;
    batch_forget(event);
    if (event->fd != -1 && event->io_fd != -1) {
        int saved = errno;
        (void) epoll_ctl(event->io_fd, EPOLL_CTL_DEL, event->fd, nullptr);
        errno = saved;
    }
    if (event->fd != -1)
        ks_io_fd_close(event->fd);
    event->fd = -1;
    event->io_fd = -1;
    event->mask = 0;
}

// Leaves the descriptor alone, but a released record must not stay in the
// defer list.
void ks_io_event_free(ks_io_event_t *event)
{
    if (event == nullptr)
        return;
    batch_forget(event);
    if (ks_list_linked(&event->linkage))
        ks_list_remove(&event->linkage);
    free(event);
}

static void event_end(ks_io_event_t *event)
{
    ks_io_event_close(event);
    if (ks_list_linked(&event->linkage))
        ks_list_remove(&event->linkage);
}

void ks_io_event_destroy(ks_io_event_t *event)
{
    if (event == nullptr)
        return;
    event_end(event);
    free(event);
}

void ks_io_event_mask(ks_io_event_t *event, unsigned int bits) { event->mask &= ~bits; }

void *ks_io_event_payload(ks_io_event_t *event) { return event->buffer; }

ks_io_event_t *ks_io_event_payload_parent(void *payload)
{
    return reinterpret_cast<ks_io_event_t *>(static_cast<unsigned char *>(payload) -
                                             offsetof(ks_io_event_t, buffer));
}

// Timers.

static void timer_handler(ks_io_event_t *event, unsigned int)
{
    ks_io_timer_t *timer = KS_CONTAINER_OF(event, ks_io_timer_t, event);
    uint64_t expirations;
    ssize_t r;

    do
        r = read(event->fd, &expirations, sizeof expirations);
    while (r == -1 && errno == EINTR);
    // Nothing to read: the timer was re-armed or cleared after its readiness
    // was reported, and it has not expired since.
    if (r != sizeof expirations)
        return;
    timer->handler(timer);
}

// Timers and signal receivers: the owner's handler in front of an event on a
// descriptor of their own, the payload behind it, in one block.
template <typename T, typename H>
static T *wrapped_create(int fd, const char *failure, H *h, size_t payload,
                         ks_io_event_handler_t *internal)
{
    if (fd == -1) {
        ks_perror("%s", failure);
        return nullptr;
    }
    T *wrapped = static_cast<T *>(payload_alloc(sizeof(T), payload));
    if (wrapped == nullptr) {
        ks_io_fd_close(fd);
        return nullptr;
    }
    wrapped->handler = h;
    event_init(&wrapped->event, fd, internal);
    return wrapped;
}

ks_io_timer_t *ks_io_timer_create(ks_io_t *, ks_io_timer_handler_t *h, size_t payload)
{
    return wrapped_create<ks_io_timer_t>(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC),
                                         "failed to create timer", h, payload, timer_handler);
}

bool ks_io_timer_add(ks_io_t *io, ks_io_timer_t *timer)
{
    return ks_io_event_add(io, &timer->event, EPOLLIN | EPOLLET);
}

bool ks_io_timer_set(ks_io_timer_t *timer, const struct itimerspec *sp)
{
    return timerfd_settime(timer->event.fd, 0, sp, nullptr) == 0;
}

bool ks_io_timer_clear(ks_io_timer_t *timer)
{
    static const struct itimerspec zero = {};

    return ks_io_timer_set(timer, &zero);
}

void ks_io_timer_destroy(ks_io_timer_t *timer)
{
    if (timer == nullptr)
        return;
    event_end(&timer->event);
    free(timer);
}

void *ks_io_timer_payload(ks_io_timer_t *timer) { return timer->event.buffer; }

// Signal receivers.

static void siginfo_fill(ks_siginfo *info, const struct signalfd_siginfo *record)
{
    info->css_signo = record->ssi_signo;
    info->css_errno = record->ssi_errno;
    info->css_code = record->ssi_code;
    info->css_pid = record->ssi_pid;
    info->css_uid = record->ssi_uid;
    info->css_status = record->ssi_status;
    info->css_addr = record->ssi_addr;
    info->css_int = record->ssi_int;
    info->css_ptr = record->ssi_ptr;
}

static void signal_handler(ks_io_event_t *event, unsigned int)
{
    ks_io_signal_t *signal = KS_CONTAINER_OF(event, ks_io_signal_t, event);
    struct signalfd_siginfo record;

    // The owner may close the receiver from its handler.
    while (event->fd != -1) {
        ssize_t r = read(event->fd, &record, sizeof record);

        if (r == -1 && errno == EINTR)
            continue;
        if (r != sizeof record) {
            if (r == -1 && errno != EAGAIN)
                ks_perror("error: failed to read signal");
            return;
        }
        ks_siginfo info;
        siginfo_fill(&info, &record);
        signal->handler(signal, &info);
    }
}

ks_io_signal_t *ks_io_signal_create(ks_io_signal_handler_t *h, sigset_t *set, size_t payload)
{
    ks_io_signal_t *signal = wrapped_create<ks_io_signal_t>(
        signalfd(-1, set, SFD_NONBLOCK | SFD_CLOEXEC), "failed to create signal", h, payload, signal_handler);

    if (signal == nullptr)
        return nullptr;
    // Were the wait to unblock them, the kernel would deliver these signals
    // to their disposition and the descriptor would never see them.
    sigorset(&state.wait_mask, &state.wait_mask, set);
    return signal;
}

bool ks_io_signal_add(ks_io_t *io, ks_io_signal_t *signal)
{
    return ks_io_event_add(io, &signal->event, EPOLLIN | EPOLLET);
}

// The filesystem monitor.

static ks_io_fs_monitor *fs_monitor(ks_io_fs_t *fs)
{
    return static_cast<ks_io_fs_monitor *>(ks_io_event_payload(fs));
}

ks_io_fs_t *ks_io_fs(ks_io_t *io)
{
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);

    if (fd == -1)
        return nullptr;
    ks_io_fs_t *fs = ks_io_event_fd(fd, ks_io_fs_handler, sizeof(ks_io_fs_monitor));
    if (fs == nullptr) {
        ks_io_fd_close(fd);
        return nullptr;
    }
    ks_list_init(&fs_monitor(fs)->listeners);
    if (!ks_io_event_add(io, fs, EPOLLIN | EPOLLET)) {
        ks_io_event_destroy(fs);
        return nullptr;
    }
    return fs;
}

bool ks_io_fs_listen(ks_io_fs_t *fs, const char *path, unsigned long mask,
                     ks_io_fs_handler_t *handler)
{
    uint32_t in = 0;

    for (const auto &entry : map)
        if (mask & entry.bit)
            in |= entry.in;

    ks_io_fs_listener *listener = static_cast<ks_io_fs_listener *>(malloc(sizeof *listener));
    if (listener == nullptr)
        return false;
    listener->wd = inotify_add_watch(fs->fd, path, in);
    if (listener->wd == -1)
        goto fail;
    listener->handler = handler;
    listener->path = strdup(path);
    if (listener->path == nullptr)
        goto fail;
    ks_list_insert_head(&fs_monitor(fs)->listeners, &listener->linkage);
    return true;

fail:
    free(listener);
    return false;
}

static ks_io_fs_listener *fs_listener(ks_list_entry *entry)
{
    return KS_CONTAINER_OF(entry, ks_io_fs_listener, linkage);
}

// The newest listener of a watch descriptor receives its notifications.
static ks_io_fs_listener *fs_find(ks_io_fs_t *fs, int wd)
{
    for (ks_list_entry *e = fs_monitor(fs)->listeners.lh_first; e != nullptr; e = e->le_next)
        if (fs_listener(e)->wd == wd)
            return fs_listener(e);
    return nullptr;
}

static unsigned long fs_bits(uint32_t in)
{
    unsigned long bits = 0;

    for (const auto &entry : map)
        if (in & entry.in)
            bits |= entry.bit;
    return bits;
}

// Notifications were lost: every listener has to look for itself.
static void fs_overflow(ks_io_fs_t *fs)
{
    for (ks_list_entry *e = fs_monitor(fs)->listeners.lh_first; e != nullptr; e = e->le_next)
        fs_listener(e)->handler(fs, fs_listener(e)->path, nullptr, KS_IO_FS_RESCAN);
}

static void fs_deliver(ks_io_fs_t *fs, const char *buffer, size_t length)
{
    size_t offset = 0;

    while (length - offset >= sizeof(struct inotify_event)) {
        const struct inotify_event *record =
            reinterpret_cast<const struct inotify_event *>(buffer + offset);
        size_t next = offset + sizeof *record + record->len;

        if (next > length)
            return;
        if (record->mask & IN_Q_OVERFLOW) {
            fs_overflow(fs);
        } else {
            // Unknown watches (one whose listener could not be completed) are skipped.
            ks_io_fs_listener *listener = fs_find(fs, record->wd);
            if (listener != nullptr)
                listener->handler(fs, listener->path, record->len != 0 ? record->name : nullptr,
                                  fs_bits(record->mask));
        }
        offset = next;
    }
}

void ks_io_fs_handler(ks_io_event_t *event, unsigned int)
{
    alignas(struct inotify_event) char buffer[IO_FS_BUFFER];

    for (;;) {
        ssize_t n = read(event->fd, buffer, sizeof buffer);

        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == -1 && errno != EAGAIN)
                ks_perror("error: failed to read notifications");
            ks_io_event_mask(event, EPOLLIN | EPOLLET);
            return;
        }
        fs_deliver(event, buffer, static_cast<size_t>(n));
    }
}

// Sockets.

bool ks_io_socket_prepare(int fd, int domain, unsigned int workload)
{
    static const int on = 1;

    if (!ks_io_fd_nonblock(fd))
        return false;
    if (domain == AF_UNIX)
        return true;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) {
        ks_perror("setsockopt(SO_REUSEADDR)");
        return false;
    }
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == -1) {
        ks_perror("setsockopt(TCP_NODELAY)");
        return false;
    }
    if (!(workload & KS_IO_WORKLOAD_DEFER_ACCEPT))
        return true;
    if (setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &on, sizeof on) == -1) {
        ks_perror("setsockopt(TCP_DEFER_ACCEPT)");
        return false;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == -1) {
        ks_perror("setsockopt(SO_KEEPALIVE)");
        return false;
    }
    return true;
}

int ks_io_socket(unsigned int workload, int domain, int type, int protocol)
{
    int fd = socket(domain, type | SOCK_CLOEXEC, protocol);

    if (fd == -1)
        return -1;
    if (!ks_io_socket_prepare(fd, domain, workload)) {
        ks_io_fd_close(fd);
        return -1;
    }
    return fd;
}

// Close-on-exec too: a stage command must not inherit a client connection.
int ks_io_accept(int fd, unsigned int workload, int domain, struct sockaddr *address,
                 socklen_t *addrlen)
{
    int client = accept4(fd, address, addrlen, SOCK_CLOEXEC);

    if (client == -1)
        return -1;
    if (!ks_io_socket_prepare(client, domain, workload)) {
        ks_io_fd_close(client);
        return -1;
    }
    return client;
}

int ks_io_connect(int fd, const struct sockaddr *serv_addr, socklen_t addrlen)
{
    return connect(fd, serv_addr, addrlen);
}
