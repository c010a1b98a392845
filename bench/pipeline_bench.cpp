// The whole daemon at work, against the plainest way of doing the same work.
//
//   make build && build/bench/pipeline_bench [crashes [queued]]
//
// Throughput: `crashes` crashes (4 KiB cores with assets, default 2,000) are
// moved into the pending directory at once, with /bin/true as the defaults,
// snapshot and send commands; crashes per second until the last one is
// committed, at concurrency 1 and 2. In the same run, a loop that starts
// (posix_spawn) and waits for the same three commands per crash, one after
// another.
// Scale: `queued` crashes (default 100,000) waiting in the pending directory
// with concurrency 0: time until the daemon's loop first sleeps (start-up
// scan and first pass), and peak resident memory per queued crash, with a
// tenth of them as well to show that loading stays linear.
// Idle: the daemon's context switches and CPU time over 3 seconds with
// nothing to do.
//
// Where no syslog daemon listens on /dev/log (and we may create it), the
// benchmark listens there itself for the run: without a listener every
// message costs the daemon a socket, a failed connect and a close, which is
// not what it costs on a real host.

#include "common/tar.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/inotify.h>
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

// Crashes per second through the daemon: the asset of a crash goes when it is
// committed. *cpu receives the daemon's own CPU time per crash, in ms.
double daemon_rate(const std::string &work, int crashes, int concurrency, pid_t *kept, double *cpu)
{
    std::string root = work + "/tree-" + std::to_string(concurrency);
    make_crashes(root, "staging", crashes);
    pid_t pid = start_daemon(configure(work, root, concurrency));
    wait_asleep(pid);

    int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, (root + "/assets").c_str(), IN_DELETE);
    long ticks = cpu_ticks(pid);
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
    double rate = crashes / seconds_since(start);
    *cpu = (cpu_ticks(pid) - ticks) * 1000.0 / sysconf(_SC_CLK_TCK) / crashes;
    close(watch);
    if (kept != nullptr)
        *kept = pid;
    else
        stop_daemon(pid);
    return rate;
}

// The same three commands per crash, one after the other.
double loop_rate(int crashes)
{
    const char *argv[] = {"/bin/true", nullptr};
    posix_spawn_file_actions_t actions;

    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    auto start = clock_type::now();
    for (int i = 0; i < crashes * 3; i++) {
        pid_t pid;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ) != 0)
            exit(1);
        waitpid(pid, nullptr, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    return crashes / seconds_since(start);
}

// Seconds to the first sleep of the loop, and peak resident KiB.
std::pair<double, long> queued(const std::string &work, int crashes)
{
    std::string root = work + "/queued-" + std::to_string(crashes);
    make_crashes(root, "pending", crashes);
    run("sync");
    auto start = clock_type::now();
    pid_t pid = start_daemon(configure(work, root, 0));
    wait_asleep(pid);
    double elapsed = seconds_since(start);
    long peak = status_kib(pid, "VmHWM");
    stop_daemon(pid);
    run("rm -rf " + root);
    return {elapsed, peak};
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
    char work_template[] = "/tmp/ks-pipeline-bench-XXXXXX";
    std::string work = mkdtemp(work_template);

    signal(SIGPIPE, SIG_IGN);
    dev_log_stand_in();
    printf("throughput: %d crashes, /bin/true as defaults, snapshot and send commands\n", crashes);
    // Best of three rounds, the three kinds interleaved: the machine's other
    // load comes and goes.
    pid_t idle = -1;
    double one = 0, two = 0, loop = 0, cpu_one = 0, cpu_two = 0;
    for (int round = 0; round < 3; round++) {
        double cpu, rate;
        if ((rate = loop_rate(crashes)) > loop)
            loop = rate;
        if ((rate = daemon_rate(work, crashes, 1, nullptr, &cpu)) > one)
            one = rate, cpu_one = cpu;
        if (idle != -1)
            stop_daemon(idle);
        run("rm -rf " + work + "/tree-1 " + work + "/tree-2");
        if ((rate = daemon_rate(work, crashes, 2, &idle, &cpu)) > two)
            two = rate, cpu_two = cpu;
    }
    printf("  %-28s %8.1f crashes/s, daemon CPU %.2f ms/crash\n", "daemon, concurrency 1", one, cpu_one);
    printf("  %-28s %8.1f crashes/s, daemon CPU %.2f ms/crash\n", "daemon, concurrency 2", two, cpu_two);
    printf("  %-28s %8.1f crashes/s\n", "posix_spawn loop", loop);
    printf("  ratio daemon/loop: %.2f at concurrency 1, %.2f at concurrency 2 (best of 3 rounds)\n", one / loop,
           two / loop);

    long s0 = switches(idle), t0 = cpu_ticks(idle);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    printf("idle, after the last crash: %ld context switches, %ld CPU ticks in 3 s; loop %s\n",
           switches(idle) - s0, cpu_ticks(idle) - t0, asleep(idle) ? "asleep in epoll_pwait" : "awake");
    stop_daemon(idle);

    printf("scale: crashes waiting with concurrency 0\n");
    auto [base_time, base_peak] = queued(work, 0);
    (void) base_time;
    for (int n : {waiting / 10, waiting}) {
        auto [elapsed, peak] = queued(work, n);
        printf("  %7d crashes: start-up %.2f s (%.1f us/crash), peak RSS %ld KiB, %.0f bytes/crash\n", n, elapsed,
               elapsed * 1e6 / n, peak, (peak - base_peak) * 1024.0 / n);
    }
    run("rm -rf " + work);
    return 0;
}
