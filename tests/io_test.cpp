#include "server/linux/io.h"

#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

// ks_io_enter never returns, so every test that runs the loop does so in a
// child process (ks_test_child_start), which reports through a pipe and ends
// with _exit from a handler or callback once it has seen what it needs.

namespace {

// What the handlers of one child record; each child starts with a fresh copy.
struct {
    ks_io_t *io;
    int calls;
    int iterations;
    int signals;
    unsigned int masks[8];
    ks_io_event_t *events[8];
    std::string trace;
} g;

ks_io_t *make_io(int n_event = -1)
{
    ks_io_t *io = nullptr;

    KS_TEST_CHECK(ks_io_init(&io, n_event));
    return io;
}

void enter_loop(const std::function<void()> &prepare, int n_event)
{
    g.io = make_io(n_event);
    prepare();
    ks_io_enter(g.io);
}

// A child whose loop, in g.io, prepare sets up; the report once it has ended.
std::string run_loop(const std::function<void()> &prepare, int n_event = -1)
{
    return ks_test_run_child([&] { enter_loop(prepare, n_event); });
}

ks_test_child start_loop(const std::function<void()> &prepare)
{
    return ks_test_child_start([&] { enter_loop(prepare, -1); });
}

void make_pipe(int p[2]) { KS_TEST_CHECK(pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0); }

ks_io_event_t *watch(ks_io_t *io, int fd, ks_io_event_handler_t *handler, size_t payload = 0)
{
    ks_io_event_t *event = ks_io_event_fd(fd, handler, payload);

    KS_TEST_CHECK(event != nullptr);
    KS_TEST_CHECK(ks_io_event_add(io, event, EPOLLIN | EPOLLET));
    return event;
}

// A pipe with a byte waiting in it.
void ready_pipe(int p[2])
{
    make_pipe(p);
    KS_TEST_CHECK(write(p[1], "x", 1) == 1);
}

// Watches a new pipe that is ready at the first wait.
ks_io_event_t *watch_ready(ks_io_t *io, ks_io_event_handler_t *handler, size_t payload = 0)
{
    int p[2];

    ready_pipe(p);
    return watch(io, p[0], handler, payload);
}

// An event that is ready at the first wait and whose handler does nothing.
void kick(ks_io_t *io) { watch_ready(io, +[](ks_io_event_t *, unsigned int) {}); }

// Ends the child after the first pass, reporting how many handlers ran.
void report_calls_after_first_pass(ks_io_t *io)
{
    ks_io_cb_add(io, +[](ks_io_t *) {
        ks_test_say("%d\n", g.calls);
        _exit(0);
    });
}

// SIGUSR1, blocked outside the wait, counted in g.signals.
void count_sigusr1(void)
{
    sigset_t set;
    struct sigaction action = {};

    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    KS_TEST_CHECK(sigprocmask(SIG_BLOCK, &set, nullptr) == 0);
    action.sa_handler = [](int) { g.signals++; };
    KS_TEST_CHECK(sigaction(SIGUSR1, &action, nullptr) == 0);
}

void drain(int fd)
{
    char buffer[256];

    while (read(fd, buffer, sizeof buffer) > 0)
        ;
}

struct itimerspec after(long ns, long interval_ns = 0)
{
    struct itimerspec spec = {};

    spec.it_value.tv_sec = ns / 1000000000;
    spec.it_value.tv_nsec = ns % 1000000000;
    spec.it_interval.tv_sec = interval_ns / 1000000000;
    spec.it_interval.tv_nsec = interval_ns % 1000000000;
    return spec;
}

ks_io_timer_t *make_timer(ks_io_t *io, ks_io_timer_handler_t *h, const struct itimerspec &spec,
                          size_t payload = 0)
{
    ks_io_timer_t *timer = ks_io_timer_create(io, h, payload);

    KS_TEST_CHECK(timer != nullptr);
    KS_TEST_CHECK(ks_io_timer_set(timer, &spec));
    KS_TEST_CHECK(ks_io_timer_add(io, timer));
    return timer;
}

bool readable(int fd, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};

    return poll(&p, 1, timeout_ms) == 1;
}

int count_logs(int priority, const std::string &text)
{
    int n = 0;

    for (const auto &log : ks_test_syslog_read())
        n += LOG_PRI(log.priority) == priority && log.text == text;
    return n;
}

// The loop has no release operation; tests that build one in-process take
// it apart themselves.
void release_io(ks_io_t *io)
{
    ks_io_fd_close(io->fd);
    free(io->event);
    free(io);
}

} // namespace

// The loop core.

TEST(IoLoop, InitDefaultsAndRejectsUselessCapacities)
{
    ks_io_t *io = nullptr;

    ASSERT_TRUE(ks_io_init(&io, -1));
    EXPECT_EQ(io->n_event, 8192);
    EXPECT_TRUE(fcntl(io->fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(ks_list_empty(&io->recur));
    EXPECT_TRUE(ks_list_empty(&io->defer));

    ks_io_t *other = nullptr;
    EXPECT_FALSE(ks_io_init(&other, 0));
    EXPECT_FALSE(ks_io_init(&other, -2));
    EXPECT_EQ(other, nullptr);
    release_io(io);
}

TEST(IoLoop, DefaultCapacityServesAtMost8192EventsPerWait)
{
    struct rlimit limit;

    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 8300)
        GTEST_SKIP() << "needs 8300 descriptors";

    std::string out = run_loop([] {
        struct rlimit raised;
        KS_TEST_CHECK(getrlimit(RLIMIT_NOFILE, &raised) == 0);
        raised.rlim_cur = raised.rlim_max;
        KS_TEST_CHECK(setrlimit(RLIMIT_NOFILE, &raised) == 0);
        for (int i = 0; i < 8200; i++) {
            int fd = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
            KS_TEST_CHECK(fd != -1);
            watch(g.io, fd, +[](ks_io_event_t *, unsigned int) { g.calls++; });
        }
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            KS_TEST_CHECK(g.iterations < 2);
            g.masks[g.iterations++] = g.calls;
            if (g.calls == 8200) {
                ks_test_say("%u %u\n", g.masks[0], g.masks[1] - g.masks[0]);
                _exit(0);
            }
        });
    });
    EXPECT_EQ(out, "8192 8\n");
}

TEST(IoLoop, CapacityOneServesEveryEventOnePerWait)
{
    std::string out = run_loop(
        [] {
            for (int i = 0; i < 3; i++)
                watch_ready(g.io, +[](ks_io_event_t *, unsigned int) { g.calls++; });
            ks_io_cb_add(g.io, +[](ks_io_t *) {
                ks_test_say("%d\n", g.calls);
                if (++g.iterations == 3)
                    _exit(0);
            });
        },
        1);
    EXPECT_EQ(out, "1\n2\n3\n");
}

TEST(IoLoop, HandlerSeesTheUnionOfReadinessReports)
{
    // First report: data (EPOLLIN). The handler drains it but keeps its mask;
    // the writer then goes away, and that report carries EPOLLHUP alone.
    static int p[2];

    std::string out = run_loop([] {
        ready_pipe(p);
        watch(g.io, p[0], +[](ks_io_event_t *event, unsigned int mask) {
            KS_TEST_CHECK(mask == event->mask);
            g.masks[g.calls++] = mask;
            drain(event->fd);
            if (g.calls == 2) {
                ks_test_say("%#x %#x\n", g.masks[0], g.masks[1]);
                _exit(0);
            }
        });
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            if (g.calls == 1 && p[1] != -1) {
                close(p[1]);
                p[1] = -1;
            }
        });
    });
    EXPECT_EQ(out, "0x1 0x11\n");
}

TEST(IoLoop, HandlerMayDestroyItsOwnEventAndTheBatchGoesOn)
{
    std::string out = run_loop([] {
        for (int i = 0; i < 3; i++)
            watch_ready(g.io, +[](ks_io_event_t *event, unsigned int) {
                g.calls++;
                ks_io_event_destroy(event);
            });
        report_calls_after_first_pass(g.io);
    });
    EXPECT_EQ(out, "3\n");
}

TEST(IoLoop, EventDestroyedOrClosedByAnEarlierHandlerOfTheBatchIsNotServed)
{
    // Two pairs, all four ready in one batch. Whichever of a pair runs first
    // destroys (first pair) or closes (second pair) the other one.
    std::string out = run_loop([] {
        for (int i = 0; i < 4; i++)
            g.events[i] = watch_ready(
                g.io,
                i < 2 ? +[](ks_io_event_t *event, unsigned int) {
                    g.calls++;
                    ks_io_event_destroy(*static_cast<ks_io_event_t **>(ks_io_event_payload(event)));
                }
                      : +[](ks_io_event_t *event, unsigned int) {
                            g.calls++;
                            ks_io_event_close(
                                *static_cast<ks_io_event_t **>(ks_io_event_payload(event)));
                        },
                sizeof(ks_io_event_t *));
        for (int i = 0; i < 4; i++)
            *static_cast<ks_io_event_t **>(ks_io_event_payload(g.events[i])) = g.events[i ^ 1];
        report_calls_after_first_pass(g.io);
    });
    EXPECT_EQ(out, "2\n");
}

TEST(IoLoop, EventDeferredTwiceRunsOnceWithTheLastHandlerForGood)
{
    static int p[2];

    std::string out = run_loop([] {
        kick(g.io);
        make_pipe(p);
        ks_io_event_t *event = ks_io_event_fd(p[0], nullptr, 0);
        KS_TEST_CHECK(event != nullptr);
        g.events[0] = event;
        ks_io_event_defer(g.io, event, +[](ks_io_event_t *, unsigned int) { g.masks[0]++; });
        ks_io_event_defer(g.io, event, +[](ks_io_event_t *, unsigned int mask) {
            g.masks[1 + g.calls++] = mask;
        });
        KS_TEST_CHECK(g.io->defer.lh_first == &event->linkage);
        KS_TEST_CHECK(event->linkage.le_next == nullptr);
        ks_io_cb_add(g.io, +[](ks_io_t *io) {
            if (++g.iterations == 1) {
                KS_TEST_CHECK(g.masks[0] == 0 && g.calls == 1);
                KS_TEST_CHECK(!ks_list_linked(&g.events[0]->linkage));
                // Readiness from now on reaches the handler given last.
                KS_TEST_CHECK(write(p[1], "x", 1) == 1);
                KS_TEST_CHECK(ks_io_event_add(io, g.events[0], EPOLLIN | EPOLLET));
                return;
            }
            ks_test_say("%u %d %#x %#x\n", g.masks[0], g.calls, g.masks[1], g.masks[2]);
            _exit(0);
        });
    });
    EXPECT_EQ(out, "0 2 0 0x1\n");
}

TEST(IoLoop, EventsDeferredDuringDispatchRunInTheSamePassBeforeTheCallbacks)
{
    std::string out = run_loop([] {
        g.events[0] = ks_io_event_fd(-1, nullptr, 0);
        g.events[1] = ks_io_event_fd(-1, nullptr, 0);
        static int p[2];
        ready_pipe(p);
        watch(g.io, p[0], +[](ks_io_event_t *event, unsigned int) {
            drain(event->fd);
            g.trace += "K";
            ks_io_event_defer(g.io, g.events[0], +[](ks_io_event_t *, unsigned int) {
                g.trace += "1";
                ks_io_event_defer(g.io, g.events[1], +[](ks_io_event_t *, unsigned int) {
                    g.trace += "2";
                });
            });
        });
        ks_io_cb_add(g.io, +[](ks_io_t *) { g.trace += "A"; });
        ks_io_cb_add(g.io, +[](ks_io_t *) { g.trace += "B"; });
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            if (g.iterations++ == 1) {
                ks_test_say("%s\n", g.trace.c_str());
                _exit(0);
            }
            KS_TEST_CHECK(write(p[1], "k", 1) == 1);
        });
    });
    // The newest callback runs first.
    EXPECT_EQ(out, "K12BAK12\n");
}

TEST(IoLoop, SignalWithNothingReadyRunsTheCallbacksOnce)
{
    ks_test_child c = start_loop([] {
        count_sigusr1();
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            ks_test_say("%d %d\n", ++g.iterations, g.signals);
            if (g.iterations == 2)
                _exit(0);
        });
        ks_test_say("ready\n");
    });
    ASSERT_EQ(ks_test_child_line(c), "ready");
    // SIGUSR1 stays pending until the wait unblocks it, so no race here.
    kill(c.pid, SIGUSR1);
    EXPECT_EQ(ks_test_child_line(c), "1 1");
    kill(c.pid, SIGUSR1);
    EXPECT_EQ(ks_test_child_line(c), "2 2");
    EXPECT_EQ(ks_test_child_end(c), "");
}

// The callbacks learn whether a signal ended the wait: a timer's wait was
// not interrupted, a signal's was, even when a descriptor is ready as well
// (the signal then ends the next wait).
TEST(IoLoop, CallbacksSeeWhetherASignalEndedTheWait)
{
    ks_test_child c = start_loop([] {
        count_sigusr1();
        ks_io_timer_t *timer = ks_io_timer_create(g.io, [](ks_io_timer_t *) {}, 0);
        struct itimerspec soon = after(1000000);
        KS_TEST_CHECK(ks_io_timer_set(timer, &soon) && ks_io_timer_add(g.io, timer));
        ks_io_cb_add(g.io, +[](ks_io_t *io) {
            ks_test_say("%d %d\n", io->interrupted ? 1 : 0, g.signals);
            if (++g.iterations == 2)
                _exit(0);
        });
        ks_test_say("ready\n");
    });
    ASSERT_EQ(ks_test_child_line(c), "ready");
    EXPECT_EQ(ks_test_child_line(c), "0 0");
    kill(c.pid, SIGUSR1);
    EXPECT_EQ(ks_test_child_line(c), "1 1");
    EXPECT_EQ(ks_test_child_end(c), "");
}

TEST(IoLoop, AddingTwiceFailsAndKeepsTheFirstRegistration)
{
    std::string out = run_loop([] {
        int p[2];
        make_pipe(p);
        ks_io_event_t *event = watch(g.io, p[0], +[](ks_io_event_t *, unsigned int mask) {
            ks_test_say("%#x\n", mask);
            _exit(0);
        });
        errno = 0;
        KS_TEST_CHECK(!ks_io_event_add(g.io, event, EPOLLIN | EPOLLET));
        KS_TEST_CHECK(errno == EEXIST);
        KS_TEST_CHECK(write(p[1], "x", 1) == 1);
    });
    EXPECT_EQ(out, "0x1\n");
}

TEST(IoLoop, FloatUnregistersAndPinKeepsTheAccumulatedMask)
{
    // Each event gets a data report first, is floated, sees its writer go
    // and is registered again: pinned it keeps EPOLLIN, added it starts over.
    static int pipes[2][2];

    std::string out = run_loop([] {
        for (int i = 0; i < 2; i++) {
            ready_pipe(pipes[i]);
            g.events[i] = watch(g.io, pipes[i][0], +[](ks_io_event_t *event, unsigned int mask) {
                int i = event == g.events[1];
                drain(event->fd);
                g.masks[2 * i + (mask & EPOLLHUP ? 1 : 0)] = mask;
                g.calls++;
            });
        }
        ks_io_cb_add(g.io, +[](ks_io_t *io) {
            if (++g.iterations == 1) {
                KS_TEST_CHECK(g.calls == 2);
                for (int i = 0; i < 2; i++) {
                    KS_TEST_CHECK(ks_io_event_float(io, g.events[i]));
                    close(pipes[i][1]);
                }
                kick(io);
                return;
            }
            if (g.iterations == 2) {
                // Floated: the hang-ups were not reported.
                KS_TEST_CHECK(g.calls == 2);
                KS_TEST_CHECK(ks_io_event_pin(io, g.events[0], EPOLLIN | EPOLLET));
                KS_TEST_CHECK(ks_io_event_add(io, g.events[1], EPOLLIN | EPOLLET));
                return;
            }
            ks_test_say("%#x %#x %#x %#x\n", g.masks[0], g.masks[1], g.masks[2], g.masks[3]);
            _exit(0);
        });
    });
    EXPECT_EQ(out, "0x1 0x11 0x1 0x10\n");
}

TEST(IoLoop, EventRecordOperations)
{
    ks_io_event_close(nullptr);
    ks_io_event_destroy(nullptr);
    ks_io_timer_destroy(nullptr);

    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ks_io_event_t *event = ks_io_event_fd(p[0], nullptr, 24);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->fd, p[0]);
    EXPECT_EQ(event->mask, 0u);
    EXPECT_EQ(event->flags, 0u);
    EXPECT_FALSE(ks_list_linked(&event->linkage));
    void *payload = ks_io_event_payload(event);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(payload) % 16, 0u);
    memset(payload, 0xa5, 24);
    EXPECT_EQ(ks_io_event_payload_parent(payload), event);

    event->mask = EPOLLIN | EPOLLHUP;
    ks_io_event_mask(event, EPOLLIN | EPOLLET);
    EXPECT_EQ(event->mask, static_cast<uint32_t>(EPOLLHUP));
    ks_io_event_close(event);
    EXPECT_EQ(event->fd, -1);
    EXPECT_EQ(event->mask, 0u);
    EXPECT_EQ(fcntl(p[0], F_GETFD), -1);
    ks_io_event_close(event);

    // Released while deferred: the defer list must not keep it.
    ks_io_t *io = nullptr;
    ASSERT_TRUE(ks_io_init(&io, 4));
    ks_io_event_defer(io, event, nullptr);
    ks_io_event_free(event);
    EXPECT_TRUE(ks_list_empty(&io->defer));
    release_io(io);
    close(p[1]);
}

// A slave forked by the daemon holds copies of every descriptor until its
// exec. An event closed or destroyed meanwhile must leave the epoll set all
// the same, or its readiness would come back with a pointer to a released
// record. dup stands in for the child's copies.
TEST(IoLoop, ClosedEventsLeaveTheSetWhileTheirFileIsStillOpenElsewhere)
{
    ks_io_t *io = nullptr;
    int pipes[2][2], copies[3];

    ASSERT_TRUE(ks_io_init(&io, 4));
    ks_io_event_t *events[2];
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(pipe2(pipes[i], O_NONBLOCK | O_CLOEXEC), 0);
        copies[i] = dup(pipes[i][0]);
        events[i] = ks_io_event_fd(pipes[i][0], nullptr, 0);
        ASSERT_NE(events[i], nullptr);
        ASSERT_TRUE(ks_io_event_add(io, events[i], EPOLLIN | EPOLLET));
    }
    ks_io_timer_t *timer = ks_io_timer_create(io, +[](ks_io_timer_t *) {}, 0);
    ASSERT_NE(timer, nullptr);
    struct itimerspec soon = after(1000000);
    ASSERT_TRUE(ks_io_timer_set(timer, &soon));
    ASSERT_TRUE(ks_io_timer_add(io, timer));
    copies[2] = dup(timer->event.fd);

    ks_io_event_destroy(events[0]);
    ks_io_event_close(events[1]);
    EXPECT_EQ(events[1]->io_fd, -1);
    ks_io_timer_destroy(timer);
    for (auto &p : pipes)
        ASSERT_EQ(write(p[1], "x", 1), 1);
    ASSERT_TRUE(readable(copies[2], 30000)); // the timer has expired

    struct epoll_event records[4];
    EXPECT_EQ(epoll_wait(io->fd, records, 4, 0), 0);

    // A floated event is no longer registered, so its close leaves the set alone.
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    ks_io_event_t *floated = ks_io_event_fd(p[0], nullptr, 0);
    ASSERT_TRUE(ks_io_event_add(io, floated, EPOLLIN | EPOLLET));
    ASSERT_TRUE(ks_io_event_float(io, floated));
    EXPECT_EQ(floated->io_fd, -1);
    ASSERT_TRUE(ks_io_event_add(io, floated, EPOLLIN | EPOLLET));
    ASSERT_EQ(write(p[1], "x", 1), 1);
    EXPECT_EQ(epoll_wait(io->fd, records, 4, 0), 1);
    ks_io_event_destroy(floated);

    ks_io_event_free(events[1]);
    for (int fd : copies)
        close(fd);
    for (auto &q : pipes)
        close(q[1]);
    close(p[1]);
    release_io(io);
}

TEST(IoLoop, NonblockSetsTheFlagOrLogsFcntl)
{
    int p[2];

    ks_test_syslog_start();
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    EXPECT_TRUE(ks_io_fd_nonblock(p[0]));
    EXPECT_TRUE(fcntl(p[0], F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(p[0], F_GETFD) & FD_CLOEXEC);
    close(p[0]);
    close(p[1]);
    EXPECT_FALSE(ks_io_fd_nonblock(p[0]));
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "fcntl: Bad file descriptor"))
        << ks_test_syslog_dump();
}

TEST(IoLoop, FailingWaitIsLoggedOnceAndDoesNotSpin)
{
    ks_test_syslog_start();
    ks_test_child c = start_loop([] {
        count_sigusr1();
        close(g.io->fd);
        static struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long seconds = now.tv_sec - start.tv_sec + 1;
            // Each iteration has to wait for a signal or the pause.
            KS_TEST_CHECK(++g.iterations <= g.signals + seconds + 1);
            ks_test_say("%d\n", g.signals);
            if (g.signals == 3)
                _exit(0);
        });
        ks_test_say("ready\n");
    });
    ASSERT_EQ(ks_test_child_line(c), "ready");
    for (int sent = 1; sent <= 3; sent++) {
        kill(c.pid, SIGUSR1);
        std::string line;
        do
            line = ks_test_child_line(c);
        while (line != std::to_string(sent) && line[0] >= '0' && line[0] <= '9');
        ASSERT_EQ(line, std::to_string(sent)) << ks_test_child_end(c);
    }
    EXPECT_EQ(ks_test_child_end(c), "");
    EXPECT_EQ(count_logs(LOG_ERR, "epoll_pwait: Bad file descriptor"), 1) << ks_test_syslog_dump();
}

// Timers.

TEST(IoTimer, LatePeriodicTimerIsCalledOnce)
{
    std::string out = run_loop([] {
        struct timespec armed;
        clock_gettime(CLOCK_MONOTONIC, &armed);
        make_timer(g.io, +[](ks_io_timer_t *timer) {
            g.calls++;
            KS_TEST_CHECK(ks_io_timer_clear(timer));
        }, after(1000000, 1000000));
        // Let at least three periods pass before the loop first looks.
        struct timespec until = armed;
        until.tv_nsec += 10000000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR)
            ;
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            if (g.calls > 0) {
                ks_test_say("%d\n", g.calls);
                _exit(0);
            }
        });
    });
    EXPECT_EQ(out, "1\n");
}

TEST(IoTimer, ZeroTimerIsSilentAndClearedOrReArmedTimersAreNotCalled)
{
    // The pipe's handler runs first in the batch (it became ready first) and
    // clears one expired timer and re-arms the other for an hour: their
    // readiness, already in the same batch, must not reach their handlers.
    static int counts[3];

    std::string out = run_loop([] {
        auto counting = +[](ks_io_timer_t *timer) {
            (**static_cast<int **>(ks_io_timer_payload(timer)))++;
        };
        ks_io_timer_t *expired[2];
        for (auto &timer : expired) {
            timer = ks_io_timer_create(g.io, counting, sizeof(int *));
            KS_TEST_CHECK(timer != nullptr);
            struct itimerspec now = after(1);
            KS_TEST_CHECK(ks_io_timer_set(timer, &now));
            KS_TEST_CHECK(readable(timer->event.fd, 10000));
        }
        g.events[0] = watch_ready(g.io, +[](ks_io_event_t *event, unsigned int) {
            auto **timers = static_cast<ks_io_timer_t **>(ks_io_event_payload(event));
            KS_TEST_CHECK(ks_io_timer_clear(timers[0]));
            struct itimerspec hour = after(3600000000000L);
            KS_TEST_CHECK(ks_io_timer_set(timers[1], &hour));
            make_timer(g.io, +[](ks_io_timer_t *) {
                ks_test_say("%d %d %d\n", counts[0], counts[1], counts[2]);
                _exit(0);
            }, after(20000000));
        }, sizeof expired);
        memcpy(ks_io_event_payload(g.events[0]), expired, sizeof expired);
        for (int i = 0; i < 2; i++) {
            *static_cast<int **>(ks_io_timer_payload(expired[i])) = &counts[i];
            KS_TEST_CHECK(ks_io_timer_add(g.io, expired[i]));
        }
        ks_io_timer_t *zero = ks_io_timer_create(g.io, +[](ks_io_timer_t *) { counts[2]++; }, 0);
        struct itimerspec nothing = {};
        KS_TEST_CHECK(ks_io_timer_set(zero, &nothing));
        KS_TEST_CHECK(ks_io_timer_add(g.io, zero));
    });
    EXPECT_EQ(out, "0 0 0\n");
}

TEST(IoTimer, TimerDestroyedInItsHandlerIsNotTouchedAgain)
{
    std::string out = run_loop([] {
        make_timer(g.io, +[](ks_io_timer_t *timer) {
            g.calls++;
            ks_io_timer_destroy(timer);
        }, after(1000000, 1000000));
        make_timer(g.io, +[](ks_io_timer_t *) {
            ks_test_say("%d\n", g.calls);
            _exit(0);
        }, after(30000000));
    });
    EXPECT_EQ(out, "1\n");
}

TEST(IoTimer, TimerPayloadAndDescriptor)
{
    ks_io_t *io = nullptr;

    ASSERT_TRUE(ks_io_init(&io, -1));
    ks_io_timer_t *timer = ks_io_timer_create(io, nullptr, 40);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(ks_io_timer_payload(timer), ks_io_event_payload(&timer->event));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ks_io_timer_payload(timer)) % 16, 0u);
    memset(ks_io_timer_payload(timer), 0x5a, 40);
    int flags = fcntl(timer->event.fd, F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_TRUE(fcntl(timer->event.fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(ks_list_linked(&timer->event.linkage));
    ks_io_timer_destroy(timer);
    release_io(io);
}

TEST(IoTimer, DescriptorShortageIsLogged)
{
    std::string out = ks_test_run_child([] {
        ks_io_t *io = make_io();
        ks_test_child_use_up_descriptors();
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        KS_TEST_CHECK(ks_io_timer_create(io, nullptr, 0) == nullptr);
        KS_TEST_CHECK(ks_io_signal_create(nullptr, &set, 0) == nullptr);
        KS_TEST_CHECK(ks_io_fs(io) == nullptr);
        _exit(0);
    });
    EXPECT_NE(out.find("\nfailed to create timer: Too many open files\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\nfailed to create signal: Too many open files\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("FAIL"), std::string::npos) << out;
    // Nor "<exit N>", "<signal N>" or "<timeout>": the child ended cleanly.
    EXPECT_EQ(out.find("\n<"), std::string::npos) << out;
}

// Signal receivers.

TEST(IoSignal, EveryPendingSignalReachesTheReceiverInOrder)
{
    ks_test_child c = start_loop([] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGRTMIN);
        sigaddset(&set, SIGUSR2);
        KS_TEST_CHECK(sigprocmask(SIG_BLOCK, &set, nullptr) == 0);
        ks_io_signal_t *receiver = ks_io_signal_create(
            +[](ks_io_signal_t *signal, ks_siginfo *info) {
                KS_TEST_CHECK(*static_cast<int *>(ks_io_event_payload(&signal->event)) == 7);
                if (info->css_signo == static_cast<uint32_t>(SIGUSR2)) {
                    ks_test_say("usr2 %u %d\n", info->css_pid, info->css_code);
                    _exit(0);
                }
                KS_TEST_CHECK(info->css_signo == static_cast<uint32_t>(SIGRTMIN));
                KS_TEST_CHECK(info->css_pid == static_cast<uint32_t>(getpid()));
                KS_TEST_CHECK(info->css_uid == getuid());
                KS_TEST_CHECK(info->css_code == SI_QUEUE);
                ks_test_say("rt %d\n", info->css_int);
                g.calls++;
            },
            &set, sizeof(int));
        KS_TEST_CHECK(receiver != nullptr);
        KS_TEST_CHECK(fcntl(receiver->event.fd, F_GETFD) & FD_CLOEXEC);
        *static_cast<int *>(ks_io_event_payload(&receiver->event)) = 7;
        KS_TEST_CHECK(ks_io_signal_add(g.io, receiver));
        for (int i = 1; i <= 3; i++) {
            union sigval value;
            value.sival_int = i;
            KS_TEST_CHECK(sigqueue(getpid(), SIGRTMIN, value) == 0);
        }
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            if (g.calls == 3 && g.iterations++ == 0)
                ks_test_say("waiting\n");
        });
    });
    EXPECT_EQ(ks_test_child_line(c), "rt 1");
    EXPECT_EQ(ks_test_child_line(c), "rt 2");
    EXPECT_EQ(ks_test_child_line(c), "rt 3");
    ASSERT_EQ(ks_test_child_line(c), "waiting");
    // Sent while the loop waits: it must reach the receiver, not the
    // default action, which would end the child.
    kill(c.pid, SIGUSR2);
    EXPECT_EQ(ks_test_child_line(c),
              "usr2 " + std::to_string(getpid()) + " " + std::to_string(SI_USER));
    EXPECT_EQ(ks_test_child_end(c), "");
}

// The filesystem monitor.

namespace {

struct fs_call {
    std::string path;
    std::string name; // "(null)" for a null name
    unsigned long mask;
};

std::vector<fs_call> fs_calls;

void fs_record(ks_io_fs_t *, const char *path, const char *name, unsigned long mask)
{
    fs_calls.push_back({path, name != nullptr ? name : "(null)", mask});
}

std::string fs_dump(void)
{
    std::string out;

    for (const auto &call : fs_calls)
        out += call.path + " " + call.name + " " + std::to_string(call.mask) + "\n";
    return out;
}

// The loop of a child with the monitor, on which listen sets up listeners.
std::string run_fs(const std::function<void(ks_io_fs_t *)> &listen)
{
    return run_loop([&] {
        ks_io_fs_t *fs = ks_io_fs(g.io);
        KS_TEST_CHECK(fs != nullptr);
        listen(fs);
    });
}

bool make_dirs(std::initializer_list<std::string> paths)
{
    for (const auto &path : paths)
        if (mkdir(path.c_str(), 0755) != 0)
            return false;
    return true;
}

// Ends the child at the end of the first iteration that delivered anything.
void fs_report_after_first_delivery(ks_io_t *io)
{
    ks_io_cb_add(io, +[](ks_io_t *) {
        if (!fs_calls.empty()) {
            ks_test_say("%s", fs_dump().c_str());
            _exit(0);
        }
    });
}

void touch(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);

    KS_TEST_CHECK(fd != -1);
    close(fd);
}

void move_in(const std::string &from_dir, const std::string &to_dir, const std::string &name)
{
    touch(from_dir + "/" + name);
    KS_TEST_CHECK(rename((from_dir + "/" + name).c_str(), (to_dir + "/" + name).c_str()) == 0);
}

} // namespace

TEST(IoFs, ListeningNeedsABitOfTheTableAndAnExistingPath)
{
    ks_test_dir dir;
    ks_io_t *io = nullptr;

    ASSERT_TRUE(ks_io_init(&io, -1));
    ks_io_fs_t *fs = ks_io_fs(io);
    ASSERT_NE(fs, nullptr);
    EXPECT_TRUE(fcntl(fs->fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fs->fd, F_GETFL) & O_NONBLOCK);
    auto *monitor = static_cast<ks_io_fs_monitor *>(ks_io_event_payload(fs));
    EXPECT_FALSE(ks_io_fs_listen(fs, dir.path.c_str(), KS_IO_FS_RESCAN, fs_record));
    EXPECT_FALSE(ks_io_fs_listen(fs, dir.path.c_str(), 0x20, fs_record));
    EXPECT_FALSE(ks_io_fs_listen(fs, (dir / "missing").c_str(), KS_IO_FS_CREATE, fs_record));
    EXPECT_TRUE(ks_list_empty(&monitor->listeners));

    ASSERT_TRUE(ks_io_fs_listen(fs, dir.path.c_str(), KS_IO_FS_MOVED_TO | 0x20, fs_record));
    ks_io_fs_listener *listener =
        KS_CONTAINER_OF(monitor->listeners.lh_first, ks_io_fs_listener, linkage);
    EXPECT_EQ(std::string(listener->path), dir.path);
    EXPECT_EQ(listener->handler, fs_record);
    EXPECT_GE(listener->wd, 1);

    free(listener->path);
    free(listener);
    ks_io_event_destroy(fs);
    release_io(io);
}

TEST(IoFs, MovedInFileIsReportedByNameAndUnrequestedCreationIsNot)
{
    ks_test_dir dir;
    std::string watched = dir / "watched", created = dir / "created", outside = dir / "outside";

    ASSERT_TRUE(make_dirs({watched, created, outside}));
    std::string out = run_fs([&](ks_io_fs_t *fs) {
        KS_TEST_CHECK(ks_io_fs_listen(fs, watched.c_str(), KS_IO_FS_MOVED_TO, fs_record));
        KS_TEST_CHECK(ks_io_fs_listen(fs, created.c_str(), KS_IO_FS_CREATE, fs_record));
        touch(watched + "/new");
        move_in(outside, watched, "core.1");
        touch(created + "/made");
        fs_report_after_first_delivery(g.io);
    });
    EXPECT_EQ(out, watched + " core.1 4\n" + created + " made 1\n");
}

TEST(IoFs, ListeningTwiceDeliversOnceToTheNewestListener)
{
    ks_test_dir dir;
    std::string watched = dir / "watched", outside = dir / "outside";

    ASSERT_TRUE(make_dirs({watched, outside}));
    std::string out = run_fs([&](ks_io_fs_t *fs) {
        auto older = +[](ks_io_fs_t *, const char *, const char *, unsigned long) {
            ks_test_say("older\n");
        };
        KS_TEST_CHECK(ks_io_fs_listen(fs, watched.c_str(), KS_IO_FS_MOVED_TO, older));
        KS_TEST_CHECK(ks_io_fs_listen(fs, watched.c_str(), KS_IO_FS_MOVED_TO, fs_record));
        auto *monitor = static_cast<ks_io_fs_monitor *>(ks_io_event_payload(fs));
        ks_list_entry *first = monitor->listeners.lh_first;
        KS_TEST_CHECK(first->le_next != nullptr && first->le_next->le_next == nullptr);
        KS_TEST_CHECK(KS_CONTAINER_OF(first, ks_io_fs_listener, linkage)->wd ==
                      KS_CONTAINER_OF(first->le_next, ks_io_fs_listener, linkage)->wd);
        move_in(outside, watched, "a");
        fs_report_after_first_delivery(g.io);
    });
    EXPECT_EQ(out, watched + " a 4\n");
}

TEST(IoFs, RemovedDirectoryReportsDeleteSelfThenAnEmptyMask)
{
    ks_test_dir dir;
    std::string watched = dir / "watched";

    ASSERT_TRUE(make_dirs({watched}));
    std::string out = run_fs([&](ks_io_fs_t *fs) {
        unsigned long mask = KS_IO_FS_MOVED_TO | KS_IO_FS_DELETE_SELF;
        KS_TEST_CHECK(ks_io_fs_listen(fs, watched.c_str(), mask, fs_record));
        KS_TEST_CHECK(rmdir(watched.c_str()) == 0);
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            if (fs_calls.size() >= 2) {
                ks_test_say("%s", fs_dump().c_str());
                _exit(0);
            }
        });
    });
    EXPECT_EQ(out, watched + " (null) 8\n" + watched + " (null) 0\n");
}

TEST(IoFs, MoreThanOneBufferOfNotificationsIsDeliveredInOneReport)
{
    ks_test_dir dir;
    std::string watched = dir / "watched", outside = dir / "outside";

    ASSERT_TRUE(make_dirs({watched, outside}));
    std::string out = run_fs([&](ks_io_fs_t *fs) {
        g.events[0] = fs;
        KS_TEST_CHECK(ks_io_fs_listen(fs, watched.c_str(), KS_IO_FS_MOVED_TO, fs_record));
        // About 220 bytes per record: 100 of them take several reads.
        for (int i = 0; i < 100; i++)
            move_in(outside, watched, std::string(200, 'n') + std::to_string(1000 + i));
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            size_t i = 0;
            for (const auto &call : fs_calls)
                KS_TEST_CHECK(call.name == std::string(200, 'n') + std::to_string(1000 + i++));
            // The handler drained the instance and cleared its readiness.
            KS_TEST_CHECK(g.events[0]->mask == 0);
            ks_test_say("%zu\n", fs_calls.size());
            _exit(0);
        });
    });
    EXPECT_EQ(out, "100\n");
}

TEST(IoFs, QueueOverflowAsksEveryListenerToRescan)
{
    std::ifstream limit_file("/proc/sys/fs/inotify/max_queued_events");
    long limit = 0;

    if (!(limit_file >> limit) || limit > 200000)
        GTEST_SKIP() << "inotify queue limit " << limit;

    ks_test_dir dir;
    std::string busy = dir / "busy", quiet = dir / "quiet";
    ASSERT_TRUE(make_dirs({busy, quiet}));
    std::string out = run_fs([&](ks_io_fs_t *fs) {
        KS_TEST_CHECK(ks_io_fs_listen(fs, busy.c_str(), KS_IO_FS_MODIFY, fs_record));
        KS_TEST_CHECK(ks_io_fs_listen(fs, quiet.c_str(), KS_IO_FS_MOVED_TO, fs_record));
        // Alternating names keep the kernel from merging the notifications.
        int fds[2] = {open((busy + "/a").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644),
                      open((busy + "/b").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)};
        KS_TEST_CHECK(fds[0] != -1 && fds[1] != -1);
        for (long i = 0; i < limit + 10; i++)
            KS_TEST_CHECK(write(fds[i & 1], "x", 1) == 1);
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            int modified = 0;
            for (const auto &call : fs_calls) {
                if (call.mask == KS_IO_FS_RESCAN)
                    ks_test_say("%s %s\n", call.path.c_str(), call.name.c_str());
                else
                    modified += call.mask == KS_IO_FS_MODIFY;
            }
            ks_test_say("%d\n", modified > 0);
            _exit(0);
        });
    });
    EXPECT_EQ(out, quiet + " (null)\n" + busy + " (null)\n1\n");
}

TEST(IoFs, NotificationOfAnUnknownWatchIsSkipped)
{
    ks_test_dir dir;
    std::string watched = dir / "watched", stray = dir / "stray", outside = dir / "outside";

    ASSERT_TRUE(make_dirs({watched, stray, outside}));
    std::string out = run_fs([&](ks_io_fs_t *fs) {
        KS_TEST_CHECK(ks_io_fs_listen(fs, watched.c_str(), KS_IO_FS_MOVED_TO, fs_record));
        // A watch the kernel knows and no listener owns.
        KS_TEST_CHECK(inotify_add_watch(fs->fd, stray.c_str(), IN_CREATE) != -1);
        touch(stray + "/x");
        move_in(outside, watched, "after");
        fs_report_after_first_delivery(g.io);
    });
    EXPECT_EQ(out, watched + " after 4\n");
}
