// The whole daemon at work, against the best any scheduler can do with the
// same commands.
//
//   make build && build/bench/pipeline_bench [crashes [queued [real]]]
//
// Throughput: `crashes` crashes (4 KiB cores with assets, default 2,000) are
// moved into the pending directory at once, with /bin/true as the defaults,
// snapshot and send commands, at concurrency 1, 2 and 4 (both stages); crashes
// per second until the last one is committed, and the daemon's CPU time per
// crash (all its threads, from /proc/<pid>/stat). In the same run, a parallel
// loop: as many workers as the concurrency, each starting (posix_spawn) and
// waiting for the three commands of a crash one after the other; with one
// worker it is the sequential loop. Best of three interleaved rounds.
// System calls: the daemon's own (all its threads, not its children) per
// crash, counted by perf stat when it is there.
// Real commands: a burst of `real` crashes (default 200) through the example
// configuration's commands (the defaults script, gdb snapshots of a small
// real core, the send into an outbox) at concurrency 2, against the parallel
// loop with two workers running the same commands.
// Scale: `queued` crashes (default 100,000) waiting in the pending directory
// with concurrency 0: time until the daemon's loop first sleeps (start-up
// scan and first pass), peak resident memory per queued crash, and
// `kestrel list` on the same tree, with a tenth of them as well.
// Idle: the daemon's context switches and CPU time over 3 seconds with
// nothing to do.
//
// Where no syslog daemon listens on /dev/log (and we may create it), the
// benchmark listens there itself for the run: without a listener every
// message costs the daemon a socket, a failed connect and a close, which is
// not what it costs on a real host.

#include "common/tar.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void run(const std::string &command)
{
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "failed: %s\n", command.c_str());
        exit(1);
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;

    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void write_asset(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ks_tar_t *tar = ks_tar_fdopen(fd);

    if (fd == -1 || tar == nullptr || !ks_tar_symlink(tar, "/proc/self/exe", "/usr/bin/app", time(nullptr)) ||
        !ks_tar_commit(tar))
        exit(1);
    ks_tar_destroy(tar);
    close(fd);
}

// n crashes in dir (core image) and assets, named c0, c1, ...
void make_crashes(const std::string &root, const std::string &dir, int n)
{
    std::string core(4096, 'c');

    run("mkdir -p " + root + "/" + dir + " " + root + "/assets");
    for (int i = 0; i < n; i++) {
        std::string base = "c" + std::to_string(i);
        write_file(root + "/" + dir + "/" + base, core);
        write_asset(root + "/assets/" + base);
    }
}

std::string configure(const std::string &work, const std::string &root, int concurrency)
{
    std::string conf = work + "/kestrel.conf";
    std::string n = std::to_string(concurrency);

    write_file(conf, "[archive]\ndump.root = " + root + "\narchive.disabled = true\n[daemon]\n"
                     "defaults.command = /bin/true\nsnapshot.command = /bin/true %c %S\n"
                     "send.command = /bin/true %S\nsnapshot.concurrency = " + n + "\nsend.concurrency = " + n + "\n");
    return conf;
}

pid_t start_daemon(const std::string &conf)
{
    pid_t pid = fork();

    if (pid == 0) {
        // A benchmark that fails leaves no daemon behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execl(KS_BENCH_KESTRELD, KS_BENCH_KESTRELD, "-f", "-c", conf.c_str(), (char *) nullptr);
        _exit(127);
    }
    return pid;
}

void stop_daemon(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Whether the daemon waits in its loop right now.
bool asleep(pid_t pid)
{
    std::string call = read_file("/proc/" + std::to_string(pid) + "/syscall");

    return call.starts_with(std::to_string(SYS_epoll_pwait) + " ");
}

void wait_asleep(pid_t pid)
{
    while (!asleep(pid))
        std::this_thread::sleep_for(std::chrono::microseconds(500));
}

long status_kib(pid_t pid, const std::string &field)
{
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));

    for (std::string line; std::getline(in, line);)
        if (line.starts_with(field + ":"))
            return atol(line.c_str() + field.size() + 1);
    return -1;
}

// User and system time of the whole process (every thread), in ticks.
long cpu_ticks(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;

    for (int i = 3; i <= 15 && in >> field; i++) {
        if (i == 14)
            utime = atol(field.c_str());
        if (i == 15)
            stime = atol(field.c_str());
    }
    return utime + stime;
}

bool have_perf = false;

// perf stat counting the system calls of pid's threads, not of its children.
pid_t syscalls_start(pid_t pid, const std::string &out)
{
    if (!have_perf)
        return -1;
    pid_t perf = fork();
    if (perf == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        std::string target = std::to_string(pid);
        execlp("perf", "perf", "stat", "-x,", "-i", "-e", "raw_syscalls:sys_enter", "-o", out.c_str(), "-p",
               target.c_str(), (char *) nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return perf;
}

long syscalls_stop(pid_t perf, const std::string &out)
{
    if (perf == -1)
        return -1;
    kill(perf, SIGINT);
    waitpid(perf, nullptr, 0);
    std::istringstream in(read_file(out));
    for (std::string line; std::getline(in, line);)
        if (line.find("raw_syscalls:sys_enter") != std::string::npos)
            return atol(line.c_str());
    return -1;
}

struct daemon_figures {
    double rate = 0;   // crashes per second
    double cpu = 0;    // ms of the daemon's CPU per crash
    long syscalls = -1; // in total, when counted
};

// Moves the crashes of staging into pending and waits until every asset is
// gone (a crash's asset goes when it is committed).
double burst(const std::string &root, int crashes)
{
    int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, (root + "/assets").c_str(), IN_DELETE);
    auto start = clock_type::now();
    for (int i = 0; i < crashes; i++) {
        std::string base = "/c" + std::to_string(i);
        if (rename((root + "/staging" + base).c_str(), (root + "/pending" + base).c_str()) != 0)
            exit(1);
    }
    alignas(struct inotify_event) char buffer[65536];
    for (int gone = 0; gone < crashes;) {
        ssize_t n = read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            auto *event = reinterpret_cast<struct inotify_event *>(buffer + at);
            gone += (event->mask & IN_DELETE) != 0;
            at += static_cast<ssize_t>(sizeof *event + event->len);
        }
    }
    double elapsed = seconds_since(start);
    close(watch);
    return elapsed;
}

// The daemon through a burst; the tree's crashes wait in staging. *kept
// receives the daemon still running, or it is stopped.
daemon_figures daemon_burst(const std::string &work, const std::string &root, const std::string &conf, int crashes,
                            bool count_syscalls, pid_t *kept)
{
    daemon_figures f;
    pid_t pid = start_daemon(conf);
    wait_asleep(pid);
    pid_t perf = count_syscalls ? syscalls_start(pid, work + "/perf.txt") : -1;
    long ticks = cpu_ticks(pid);
    f.rate = crashes / burst(root, crashes);
    f.cpu = (cpu_ticks(pid) - ticks) * 1000.0 / sysconf(_SC_CLK_TCK) / crashes;
    f.syscalls = syscalls_stop(perf, work + "/perf.txt");
    if (kept != nullptr)
        *kept = pid;
    else
        stop_daemon(pid);
    return f;
}

daemon_figures daemon_rate(const std::string &work, int crashes, int concurrency, bool count_syscalls, pid_t *kept)
{
    std::string root = work + "/tree-" + std::to_string(concurrency);
    run("rm -rf " + root);
    make_crashes(root, "staging", crashes);
    return daemon_burst(work, root, configure(work, root, concurrency), crashes, count_syscalls, kept);
}

// One crash's commands, as argument vectors; the defaults command's output
// goes to the others in QUELLON_DEFAULTS, and the files a committed crash
// leaves are removed, as the daemon does.
typedef std::function<std::vector<std::vector<std::string>>(int)> crash_commands;
typedef std::function<void(int)> crash_cleanup;

pid_t spawn(const std::vector<std::string> &args, char **env, int out)
{
    std::vector<char *> argv;
    posix_spawn_file_actions_t actions;
    pid_t pid;

    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out != -1)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env) != 0)
        exit(1);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void one_crash(const std::vector<std::vector<std::string>> &commands)
{
    int p[2];
    std::string defaults;

    if (pipe2(p, O_CLOEXEC) != 0)
        exit(1);
    pid_t pid = spawn(commands[0], environ, p[1]);
    close(p[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(p[0], buffer, sizeof buffer)) > 0;)
        defaults.append(buffer, static_cast<size_t>(n));
    close(p[0]);
    waitpid(pid, nullptr, 0);
    std::vector<std::string> env_text = {"QUELLON_DEFAULTS=" + defaults};
    for (char **e = environ; *e != nullptr; e++)
        env_text.push_back(*e);
    std::vector<char *> env;
    for (auto &e : env_text)
        env.push_back(e.data());
    env.push_back(nullptr);
    for (size_t i = 1; i < commands.size(); i++)
        waitpid(spawn(commands[i], env.data(), -1), nullptr, 0);
}

// Crashes per second with `workers` workers taking crashes in turn.
double parallel_loop(int crashes, int workers, const crash_commands &commands, const crash_cleanup &cleanup)
{
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    auto start = clock_type::now();

    for (int w = 0; w < workers; w++)
        threads.emplace_back([&] {
            for (int i; (i = next++) < crashes;) {
                one_crash(commands(i));
                cleanup(i);
            }
        });
    for (auto &t : threads)
        t.join();
    return crashes / seconds_since(start);
}

double true_loop(int crashes, int workers)
{
    return parallel_loop(
        crashes, workers, [](int) { return std::vector<std::vector<std::string>>(3, {"/bin/true"}); }, [](int) {});
}

// The example configuration's commands on copies of one small real core.
struct real_setup {
    std::string root, conf, outbox, core, executable = "/usr/bin/sleep";
};

// A sleeping process's core, taken by gdb, and the configuration.
bool real_prepare(const std::string &work, real_setup &r)
{
    r.root = work + "/real";
    r.outbox = work + "/outbox";
    run("mkdir -p " + r.outbox);
    std::string prefix = work + "/core";
    if (system(("sleep 30 & p=$!; gcore -o " + prefix + " $p >/dev/null 2>&1; kill $p; mv " + prefix + ".$p " + prefix +
                " 2>/dev/null")
                   .c_str()) != 0 ||
        access(prefix.c_str(), R_OK) != 0)
        return false;
    r.core = prefix;
    std::string examples = std::string(KS_BENCH_SOURCE_DIR) + "/examples";
    r.conf = work + "/real.conf";
    write_file(r.conf, "[archive]\ndump.root = " + r.root + "\narchive.disabled = true\n[daemon]\n"
                       "defaults.command = " + examples + "/defaults %e\n"
                       "snapshot.command = " + examples + "/snapshot %e %c %S\nsnapshot.concurrency = 2\n"
                       "snapshot.timeout = 10m\nsend.command = " + examples + "/send %S %B " + r.outbox + "\n"
                       "send.concurrency = 2\nsend.timeout = 2m\n");
    return true;
}

// crashes copies of the core, waiting in staging with their assets.
void real_crashes(const real_setup &r, int crashes)
{
    run("rm -rf " + r.root + " && mkdir -p " + r.root + "/staging " + r.root + "/pending " + r.root + "/assets");
    std::string core = read_file(r.core);
    for (int i = 0; i < crashes; i++) {
        std::string base = "c" + std::to_string(i);
        write_file(r.root + "/staging/" + base, core);
        int fd = open((r.root + "/assets/" + base).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ks_tar_t *tar = ks_tar_fdopen(fd);
        if (fd == -1 || tar == nullptr || !ks_tar_symlink(tar, "/proc/self/exe", r.executable.c_str(), time(nullptr)) ||
            !ks_tar_commit(tar))
            exit(1);
        ks_tar_destroy(tar);
        close(fd);
    }
}

double real_loop(const std::string &work, const real_setup &r, int crashes)
{
    std::string examples = std::string(KS_BENCH_SOURCE_DIR) + "/examples";
    std::string dir = work + "/loop";
    run("rm -rf " + dir + " && mkdir -p " + dir + "/cores " + dir + "/sending");
    std::string core = read_file(r.core);
    for (int i = 0; i < crashes; i++)
        write_file(dir + "/cores/c" + std::to_string(i), core);
    return parallel_loop(
        crashes, 2,
        [&](int i) {
            std::string base = "c" + std::to_string(i), snapshot = dir + "/sending/" + base;
            return std::vector<std::vector<std::string>>{
                {examples + "/defaults", r.executable},
                {examples + "/snapshot", r.executable, dir + "/cores/" + base, snapshot},
                {examples + "/send", snapshot, base, r.outbox},
            };
        },
        [&](int i) {
            std::string base = "c" + std::to_string(i);
            unlink((dir + "/cores/" + base).c_str());
            unlink((dir + "/sending/" + base).c_str());
        });
}

// Seconds to the first sleep of the loop, peak resident KiB, and seconds
// for `kestrel list` of the same tree.
struct scale_figures {
    double startup = 0;
    long peak = 0;
    double list = 0;
};

scale_figures queued(const std::string &work, int crashes)
{
    scale_figures f;
    std::string root = work + "/queued-" + std::to_string(crashes);
    make_crashes(root, "pending", crashes);
    run("sync");
    std::string conf = configure(work, root, 0);
    auto start = clock_type::now();
    pid_t pid = start_daemon(conf);
    wait_asleep(pid);
    f.startup = seconds_since(start);
    f.peak = status_kib(pid, "VmHWM");
    stop_daemon(pid);
    // The listing reads the same tree, warm as the daemon left it.
    start = clock_type::now();
    run(std::string(KS_BENCH_KESTREL) + " -c " + conf + " list > /dev/null");
    f.list = seconds_since(start);
    run("rm -rf " + root);
    return f;
}

long switches(pid_t pid)
{
    return status_kib(pid, "voluntary_ctxt_switches") + status_kib(pid, "nonvoluntary_ctxt_switches");
}

const char dev_log[] = "/dev/log";
bool dev_log_ours = false;

void dev_log_remove(void)
{
    if (dev_log_ours)
        unlink(dev_log);
}

void dev_log_quit(int signal)
{
    dev_log_remove();
    _exit(128 + signal);
}

// A syslog listener that drops what it gets, unless there is one already.
void dev_log_stand_in(void)
{
    struct sockaddr_un address = {};
    struct stat st;

    if (lstat(dev_log, &st) == 0)
        return;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, dev_log);
    if (fd == -1 || bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == -1) {
        printf("(no syslog listener: every message costs the daemon a failed connect)\n");
        return;
    }
    chmod(dev_log, 0666);
    dev_log_ours = true;
    atexit(dev_log_remove);
    for (int quit : {SIGINT, SIGTERM, SIGHUP})
        signal(quit, dev_log_quit);
    std::thread([fd] {
        char buffer[8192];
        while (recv(fd, buffer, sizeof buffer, 0) >= 0 || errno == EINTR)
            ;
    }).detach();
}

} // namespace

int main(int argc, char **argv)
{
    int crashes = argc > 1 ? atoi(argv[1]) : 2000;
    int waiting = argc > 2 ? atoi(argv[2]) : 100000;
    int real = argc > 3 ? atoi(argv[3]) : 200;
    char work_template[] = "/tmp/ks-pipeline-bench-XXXXXX";
    std::string work = mkdtemp(work_template);

    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    dev_log_stand_in();
    have_perf = system("perf stat -e raw_syscalls:sys_enter true > /dev/null 2>&1") == 0;

    printf("throughput: %d crashes, /bin/true as defaults, snapshot and send commands\n", crashes);
    // Best of three rounds, the kinds interleaved: the machine's other load
    // comes and goes.
    const int levels[] = {1, 2, 4};
    daemon_figures best[3];
    double loops[3] = {};
    pid_t idle = -1;
    for (int round = 0; round < 3; round++) {
        for (int l = 0; l < 3; l++) {
            double rate = true_loop(crashes, levels[l]);
            if (rate > loops[l])
                loops[l] = rate;
            if (idle != -1)
                stop_daemon(idle);
            idle = -1;
            daemon_figures f = daemon_rate(work, crashes, levels[l], false, &idle);
            if (f.rate > best[l].rate)
                best[l] = f;
        }
    }
    for (int l = 0; l < 3; l++)
        printf("  concurrency %d: daemon %7.1f crashes/s (CPU %.3f ms/crash), parallel loop %7.1f crashes/s, "
               "ratio %.2f\n",
               levels[l], best[l].rate, best[l].cpu, loops[l], best[l].rate / loops[l]);
    printf("  daemon at concurrency 2 / sequential loop: %.2f\n", best[1].rate / loops[0]);
    if (have_perf) {
        daemon_figures f = daemon_rate(work, crashes, 2, true, nullptr);
        printf("  system calls of the daemon's own threads at concurrency 2: %.1f per crash (perf stat)\n",
               static_cast<double>(f.syscalls) / crashes);
    } else {
        printf("  system calls: perf is not available\n");
    }

    long s0 = switches(idle), t0 = cpu_ticks(idle);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    printf("idle, after the last crash: %ld context switches, %ld CPU ticks in 3 s; loop %s\n",
           switches(idle) - s0, cpu_ticks(idle) - t0, asleep(idle) ? "asleep in epoll_pwait" : "awake");
    stop_daemon(idle);

    if (real > 0) {
        real_setup r;
        if (!real_prepare(work, r)) {
            printf("real commands: no core could be taken (gdb's gcore is needed)\n");
        } else {
            printf("real commands: %d crashes, the example defaults, snapshot (gdb) and send, concurrency 2\n",
                   real);
            // Page cache and the package database warm for both, then the
            // best of two interleaved rounds.
            (void) real_loop(work, r, 4);
            daemon_figures best_real;
            double best_loop = 0;
            for (int round = 0; round < 2; round++) {
                best_loop = std::max(best_loop, real_loop(work, r, real));
                real_crashes(r, real);
                daemon_figures f = daemon_burst(work, r.root, r.conf, real, false, nullptr);
                if (f.rate > best_real.rate)
                    best_real = f;
            }
            printf("  daemon %.1f crashes/s (CPU %.3f ms/crash), parallel loop %.1f crashes/s, ratio %.2f\n",
                   best_real.rate, best_real.cpu, best_loop, best_real.rate / best_loop);
        }
    }

    printf("scale: crashes waiting with concurrency 0\n");
    scale_figures base = queued(work, 0);
    for (int n : {waiting / 10, waiting}) {
        scale_figures f = queued(work, n);
        printf("  %7d crashes: start-up %.2f s (%.1f us/crash), kestrel list %.2f s, ratio %.2f; peak RSS %ld KiB, "
               "%.0f bytes/crash\n",
               n, f.startup, f.startup * 1e6 / n, f.list, f.startup / f.list, f.peak,
               (f.peak - base.peak) * 1024.0 / n);
    }
    run("rm -rf " + work);
    return 0;
}
