// Ledger writes during a storm: 1,000 crashes of one signature, each an
// archiver process of its own (open, record and decide, finish, prune,
// close), with up to `concurrency` of them at once, as a crash loop hands
// them over. Reports rows per second, the CPU of the archivers' ledger work
// per crash, and the calls that failed (those crashes would be stored as
// without a ledger).

#include "common/ledger.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void archiver(const char *root, unsigned i, time_t window)
{
    struct ks_ledger *l;
    struct ks_storm_decision d;
    struct ks_storm_limits limits = {window, 5, 30};
    const char *error = "";
    int64_t row;
    struct ks_ledger_crash c = {};

    c.when = time(nullptr);
    c.pid = static_cast<pid_t>(10000 + i);
    c.uid = 1000;
    c.executable = "/usr/sbin/service";
    c.signal = 11;
    c.signature = "0123456789abcdef";
    c.module = "/usr/sbin/service";
    c.has_offset = true;
    c.offset = 0x1139;
    if (!ks_ledger_open(&l, root, 0640, &error))
        _exit(2);
    bool ok = ks_ledger_admit(l, &c, &limits, &d, &row, &error);
    if (ok && d.verdict == KS_STORM_STORE)
        ok = ks_ledger_finish(l, row, KS_LEDGER_STORED, "d2c0b9e4-name", &error);
    ok = ok && ks_ledger_prune(l, c.when - KS_LEDGER_AGE_DEFAULT, &error);
    ks_ledger_close(l);
    _exit(ok ? 0 : 2);
}

double cpu_seconds(const struct rusage &r)
{
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// range(0): archivers at once; range(1): 1 with storm control, 0 without.
void BM_LedgerStorm(benchmark::State &state)
{
    const unsigned crashes = 1000, concurrency = static_cast<unsigned>(state.range(0));
    const time_t window = state.range(1) != 0 ? 3600 : 0;
    unsigned failures = 0;
    double cpu = 0;

    for (auto _ : state) {
        char root[] = "/tmp/ks-ledger-bench-XXXXXX";
        if (mkdtemp(root) == nullptr) {
            state.SkipWithError("mkdtemp");
            return;
        }
        struct rusage before, after;
        getrusage(RUSAGE_CHILDREN, &before);
        unsigned started = 0, running = 0;
        while (started < crashes || running > 0) {
            if (started < crashes && running < concurrency) {
                pid_t pid = fork();
                if (pid == 0)
                    archiver(root, started, window);
                if (pid > 0) {
                    started++;
                    running++;
                }
                continue;
            }
            int status;
            if (wait(&status) > 0) {
                running--;
                failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
            }
        }
        getrusage(RUSAGE_CHILDREN, &after);
        cpu += cpu_seconds(after) - cpu_seconds(before);
        std::string rm = std::string("rm -rf ") + root;
        if (system(rm.c_str()) != 0)
            state.SkipWithError("rm");
    }
    double runs = static_cast<double>(state.iterations());
    state.counters["rows/s"] = benchmark::Counter(crashes * runs, benchmark::Counter::kIsRate);
    state.counters["cpu ms/crash"] = cpu * 1000 / (crashes * runs);
    state.counters["failed"] = failures / runs;
}
BENCHMARK(BM_LedgerStorm)->Args({1, 1})->Args({32, 1})->Args({200, 1})->Args({32, 0})->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
