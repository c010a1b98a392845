// Starting and reaping trivial commands through the slave pool, against a
// tight posix_spawn + waitpid loop in the same process and run. A batch is
// kBatch runs of /bin/true, kept `concurrency` deep; each iteration runs one
// batch of each kind.
//
//   ninja -C build-slave slave_bench && build-slave/bench/slave_bench
//
// Counters, per command and from the best batch of each kind: pool_us,
// spawn_us (posix_spawn), fork_us (bare fork, redirections, exec, waitpid);
// ratio is pool over posix_spawn, ratio_fork pool over the bare fork. The
// time column is the pool's batch.

#include "common/cf.h"
#include "server/linux/io.h"
#include "server/slave.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static const int kBatch = 200;
static const char *kArgv[] = {"/bin/true", nullptr};

static double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// posix_spawn with the standard streams the pool gives in its null mode.
static double spawn_batch(unsigned int concurrency)
{
    posix_spawn_file_actions_t actions;
    int running = 0, started = 0;

    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    auto start = std::chrono::steady_clock::now();
    while (started < kBatch || running > 0) {
        while (started < kBatch && running < static_cast<int>(concurrency)) {
            pid_t pid;
            if (posix_spawn(&pid, kArgv[0], &actions, nullptr, const_cast<char **>(kArgv),
                            environ) != 0)
                abort();
            started++;
            running++;
        }
        int status;
        if (waitpid(-1, &status, 0) > 0)
            running--;
        else if (errno != EINTR)
            abort();
    }
    double elapsed = seconds_since(start);
    posix_spawn_file_actions_destroy(&actions);
    return elapsed;
}

// What the pool does at the least: fork, the three redirections, exec.
static double fork_batch(unsigned int concurrency)
{
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    int running = 0, started = 0;

    if (null == -1)
        abort();
    auto start = std::chrono::steady_clock::now();
    while (started < kBatch || running > 0) {
        while (started < kBatch && running < static_cast<int>(concurrency)) {
            pid_t pid = fork();
            if (pid == 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
                execve(kArgv[0], const_cast<char **>(kArgv), environ);
                _exit(127);
            }
            if (pid == -1)
                abort();
            started++;
            running++;
        }
        if (waitpid(-1, nullptr, 0) > 0)
            running--;
        else if (errno != EINTR)
            abort();
    }
    double elapsed = seconds_since(start);
    close(null);
    return elapsed;
}

static struct {
    int fd;
    int started;
    int ended;
    std::chrono::steady_clock::time_point start;
} pool_run;

static void pool_start(void);

static void pool_end(int, void *, ks_slave_term_cause)
{
    if (++pool_run.ended == kBatch) {
        double elapsed = seconds_since(pool_run.start);
        ssize_t n = write(pool_run.fd, &elapsed, sizeof elapsed);
        _exit(n == sizeof elapsed ? 0 : 1);
    }
    pool_start();
}

static void pool_start(void)
{
    const char *error;

    while (pool_run.started < kBatch && ks_slave_available(KS_SLAVE_SEND)) {
        if (!ks_slave_execv(KS_SLAVE_SEND, kArgv, const_cast<const char **>(environ), pool_end,
                            nullptr, &error))
            abort();
        pool_run.started++;
    }
}

static void sigchld_ignore(int) {}

// The loop never returns, so each batch runs in a child set up as the daemon
// sets itself up, and sends back its own measurement.
static double pool_batch(unsigned int concurrency)
{
    double elapsed = -1;
    int p[2];

    if (pipe2(p, O_CLOEXEC) == -1)
        abort();
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t set;
        struct sigaction sa = {};
        ks_io_t *io;

        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        sa.sa_handler = sigchld_ignore;
        sigaction(SIGCHLD, &sa, nullptr);
        ks_cf_init();
        ks_cf_get()->daemon.stages[KS_SLAVE_SEND].concurrency = concurrency;
        if (!ks_io_init(&io, -1) || !ks_slave_init(io))
            _exit(1);
        pool_run = {p[1], 0, 0, std::chrono::steady_clock::now()};
        pool_start();
        ks_io_enter(io);
    }
    close(p[1]);
    if (read(p[0], &elapsed, sizeof elapsed) != sizeof elapsed)
        abort();
    close(p[0]);
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR)
        ;
    return elapsed;
}

// The two kinds of batch alternate, so that a machine busy with other work
// slows both alike; the fastest batch of each kind is the least disturbed.
static void BM_pool_vs_spawn(benchmark::State &state)
{
    auto concurrency = static_cast<unsigned int>(state.range(0));
    double spawn_best = 1e9, fork_best = 1e9, pool_best = 1e9;

    for (auto _ : state) {
        spawn_best = std::min(spawn_best, spawn_batch(concurrency));
        fork_best = std::min(fork_best, fork_batch(concurrency));
        double pool = pool_batch(concurrency);
        pool_best = std::min(pool_best, pool);
        state.SetIterationTime(pool);
    }
    state.counters["pool_us"] = pool_best * 1e6 / kBatch;
    state.counters["spawn_us"] = spawn_best * 1e6 / kBatch;
    state.counters["fork_us"] = fork_best * 1e6 / kBatch;
    state.counters["ratio"] = pool_best / spawn_best;
    state.counters["ratio_fork"] = pool_best / fork_best;
}

BENCHMARK(BM_pool_vs_spawn)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(15)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
