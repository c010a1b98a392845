// Event loop throughput: events dispatched per second with 1, 100 and 8192
// ready descriptors, and timers served per second.
//
// ks_io_enter never returns; a per-iteration callback leaves it with longjmp
// when the benchmark has run enough iterations. Nothing between the callback
// and the setjmp has a destructor to skip.

#include "server/linux/io.h"

#include <benchmark/benchmark.h>
#include <csetjmp>
#include <cstdlib>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t n, size_t size);
extern "C" void *__libc_realloc(void *p, size_t size);

// Counts every allocation of the process, to show that dispatch makes none.
static unsigned long allocations;

extern "C" void *malloc(size_t size)
{
    allocations++;
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t n, size_t size)
{
    allocations++;
    return __libc_calloc(n, size);
}

extern "C" void *realloc(void *p, size_t size)
{
    allocations++;
    return __libc_realloc(p, size);
}

static struct {
    benchmark::State *state;
    jmp_buf out;
    unsigned long calls;
    unsigned long allocations;
    ks_io_t *io;
} run;

static ks_io_t *loop_create(void)
{
    ks_io_t *io = nullptr;

    if (!ks_io_init(&io, -1))
        abort();
    return io;
}

static void loop_release(ks_io_t *io)
{
    ks_io_fd_close(io->fd);
    free(io->event);
    for (ks_list_entry *e = io->recur.lh_first; e != nullptr;) {
        ks_list_entry *next = e->le_next;
        free(KS_CONTAINER_OF(e, ks_io_cb, linkage));
        e = next;
    }
    free(io);
}

// Runs the loop until the benchmark has its iterations; the allocations
// counted are those of the timed part.
static void loop_run(benchmark::State &state, ks_io_t *io, ks_io_cb_t *cb)
{
    run.state = &state;
    run.calls = 0;
    run.io = io;
    if (!ks_io_cb_add(io, cb))
        abort();
    if (setjmp(run.out) == 0) {
        run.allocations = allocations;
        if (state.KeepRunning())
            ks_io_enter(io);
    }
}

static void loop_next(ks_io_t *)
{
    if (!run.state->KeepRunning()) {
        run.allocations = allocations - run.allocations;
        longjmp(run.out, 1);
    }
}

static void report(benchmark::State &state)
{
    state.SetItemsProcessed(static_cast<int64_t>(run.calls));
    state.counters["allocs/iter"] =
        benchmark::Counter(static_cast<double>(run.allocations) / state.iterations());
}

static void count(ks_io_event_t *, unsigned int) { run.calls++; }

// Level-triggered eventfds with a non-zero count: every descriptor is ready
// at every wait, and the handler needs no system call of its own.
static void BM_Dispatch(benchmark::State &state)
{
    ks_io_t *io = loop_create();
    std::vector<ks_io_event_t *> events;

    for (int64_t i = 0; i < state.range(0); i++) {
        int fd = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
        ks_io_event_t *event = fd == -1 ? nullptr : ks_io_event_fd(fd, count, 0);
        if (event == nullptr || !ks_io_event_add(io, event, EPOLLIN)) {
            state.SkipWithError("cannot create the ready descriptors");
            return;
        }
        events.push_back(event);
    }
    loop_run(state, io, loop_next);
    report(state);
    for (auto *event : events)
        ks_io_event_destroy(event);
    loop_release(io);
}
BENCHMARK(BM_Dispatch)->Arg(1)->Arg(100)->Arg(8192)->UseRealTime();

static const struct itimerspec soon = {{0, 0}, {0, 1}};

static void rearm(ks_io_timer_t *timer)
{
    run.calls++;
    if (!ks_io_timer_set(timer, &soon))
        abort();
}

// One-shot timers that re-arm themselves to expire at once: each call reads
// the expiration, calls the owner and re-arms.
static void BM_TimerRearm(benchmark::State &state)
{
    ks_io_t *io = loop_create();
    std::vector<ks_io_timer_t *> timers;

    for (int64_t i = 0; i < state.range(0); i++) {
        ks_io_timer_t *timer = ks_io_timer_create(io, rearm, 0);
        if (timer == nullptr || !ks_io_timer_set(timer, &soon) || !ks_io_timer_add(io, timer)) {
            state.SkipWithError("cannot create the timers");
            return;
        }
        timers.push_back(timer);
    }
    loop_run(state, io, loop_next);
    report(state);
    for (auto *timer : timers)
        ks_io_timer_destroy(timer);
    loop_release(io);
}
BENCHMARK(BM_TimerRearm)->Arg(1)->Arg(1000)->UseRealTime();

static void fired(ks_io_timer_t *timer)
{
    run.calls++;
    ks_io_timer_destroy(timer);
}

static void start_timer(ks_io_t *io)
{
    ks_io_timer_t *timer = ks_io_timer_create(io, fired, 16);

    if (timer == nullptr || !ks_io_timer_set(timer, &soon) || !ks_io_timer_add(io, timer))
        abort();
}

static void next_timer(ks_io_t *io)
{
    loop_next(io);
    start_timer(io);
}

// The whole life of a slave's time-out timer: create, arm, register, fire,
// destroy in its handler. One timer per iteration.
static void BM_TimerLifecycle(benchmark::State &state)
{
    ks_io_t *io = loop_create();

    start_timer(io);
    loop_run(state, io, next_timer);
    report(state);
    loop_release(io);
}
BENCHMARK(BM_TimerLifecycle)->UseRealTime();

int main(int argc, char **argv)
{
    struct rlimit limit;

    // 8192 descriptors, plus the ones every process has.
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void) setrlimit(RLIMIT_NOFILE, &limit);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
