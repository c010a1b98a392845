#include "support.h"

#include "common/facts.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <fstream>
#include <ftw.h>
#include <climits>
#include <poll.h>
#include <random>
#include <sstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char **environ;

static std::string syslog_file;

void ks_test_syslog_start(void)
{
    char name[] = "/tmp/ks-syslog-XXXXXX";
    int fd = mkstemp(name);

    // Programs that drop privileges keep logging into it.
    if (fd != -1) {
        fchmod(fd, 0666);
        close(fd);
    }
    if (!syslog_file.empty())
        unlink(syslog_file.c_str());
    syslog_file = name;
    setenv("KS_TEST_SYSLOG", name, 1);
    static bool cleanup_registered = false;
    if (!cleanup_registered) {
        cleanup_registered = true;
        atexit([] {
            if (!syslog_file.empty())
                unlink(syslog_file.c_str());
        });
    }
}

std::string ks_test_syslog_path(void)
{
    if (syslog_file.empty())
        ks_test_syslog_start();
    return syslog_file;
}

// Walks the capture file record by record.
static void syslog_records(const std::function<void(char, const std::string &, const std::string &)> &f)
{
    std::string data = ks_test_read_file(ks_test_syslog_path());
    size_t at = 0;

    while (at < data.size()) {
        size_t eol = data.find('\n', at);
        if (eol == std::string::npos)
            break;
        std::string header = data.substr(at, eol - at);
        size_t blank = header.rfind(' ');
        size_t length = std::stoul(header.substr(blank + 1));
        f(header[0], header.substr(2, blank - 2), data.substr(eol + 1, length));
        at = eol + 1 + length + 1;
    }
}

std::vector<ks_test_log> ks_test_syslog_read(void)
{
    std::vector<ks_test_log> logs;

    syslog_records([&](char kind, const std::string &fields, const std::string &body) {
        if (kind == 'M')
            logs.push_back({std::stoi(fields), body});
    });
    return logs;
}

std::vector<ks_test_openlog> ks_test_syslog_openlogs(void)
{
    std::vector<ks_test_openlog> calls;

    syslog_records([&](char kind, const std::string &fields, const std::string &body) {
        if (kind != 'O')
            return;
        std::istringstream in(fields);
        ks_test_openlog call{body, 0, 0};
        in >> call.option >> call.facility;
        calls.push_back(call);
    });
    return calls;
}

bool ks_test_syslog_has(int priority, const std::string &text)
{
    for (const auto &log : ks_test_syslog_read())
        if (LOG_PRI(log.priority) == priority && log.text == text)
            return true;
    return false;
}

std::string ks_test_syslog_dump(void)
{
    std::string dump;

    for (const auto &log : ks_test_syslog_read())
        dump += "<" + std::to_string(log.priority) + "> " + log.text + (log.text.ends_with("\n") ? "" : "\n");
    return dump;
}

ks_test_dir::ks_test_dir()
{
    char name[] = "/tmp/ks-test-XXXXXX";

    if (mkdtemp(name) == nullptr)
        abort();
    path = name;
}

ks_test_dir::~ks_test_dir()
{
    // Tests may leave read-only or unsearchable directories behind.
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *st, int type, struct FTW *) {
            if (type == FTW_D || type == FTW_DNR)
                chmod(p, (st->st_mode & 07777) | S_IRWXU);
            return 0;
        },
        16, FTW_PHYS);
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p) == 0 ? 0 : 0; },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string ks_test_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;

    content << in.rdbuf();
    return content.str();
}

void ks_test_write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);

    out << content;
}

bool ks_test_exists(const std::string &path)
{
    struct stat st;

    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ks_test_environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";

    ks_test_syslog_path();
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        if (entry.starts_with("LD_PRELOAD="))
            continue;
        if (entry.starts_with("ASAN_OPTIONS=")) {
            asan = entry + ":verify_asan_link_order=0";
            continue;
        }
        env.push_back(entry);
    }
    env.push_back(asan);
    env.push_back(std::string("LD_PRELOAD=") + KS_TEST_SHIM);
    for (const auto &entry : extra) {
        std::string key = entry.substr(0, entry.find('='));
        std::erase_if(env, [&](const std::string &e) { return e.compare(0, key.size() + 1, key + "=") == 0; });
        env.push_back(entry);
    }
    return env;
}

static std::vector<char *> pointers(const std::vector<std::string> &strings)
{
    std::vector<char *> result;

    for (const auto &s : strings)
        result.push_back(const_cast<char *>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

// In a forked child: become the program, or exit 127.
[[noreturn]] static void exec_child(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    auto args = pointers(argv);
    auto environment = ks_test_environment(env); // must outlive envp's pointers
    auto envp = pointers(environment);
    sigset_t none;

    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

// Waits for a child of ours and returns its wait status.
static int reap(pid_t pid)
{
    int status = -1;

    while (waitpid(pid, &status, 0) == -1 && errno == EINTR)
        ;
    return status;
}

ks_test_result ks_test_run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                           const std::string &input, int timeout)
{
    int in[2], out[2], err[2];
    ks_test_result result{-1, "", ""};

    if (pipe2(in, O_CLOEXEC) == -1 || pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1)
        return result;
    ks_test_environment();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        exec_child(argv, env);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);

    size_t sent = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    int open_streams = 2;
    while (open_streams > 0) {
        struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 3, static_cast<int>(left.count())) == -1 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd == -1 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                (i == 0 ? out[0] : err[0]) = -1;
                open_streams--;
            }
        }
        if (in[1] != -1 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in[1], input.data() + sent, input.size() - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            if ((n == -1 && errno != EAGAIN && errno != EINTR) || sent == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    for (int fd : {out[0], err[0], in[1]})
        if (fd != -1)
            close(fd);
    result.status = reap(pid);
    return result;
}

pid_t ks_test_spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                    const std::string &out, const std::string &err)
{
    ks_test_environment();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Close-on-exec: the program gets only the three streams dup2 makes.
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    int o = out.empty() ? null : open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int e = err.empty() ? null : open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    dup2(null, 0);
    dup2(o, 1);
    dup2(e, 2);
    exec_child(argv, env);
}

int ks_test_stop(pid_t pid)
{
    kill(pid, SIGKILL);
    return reap(pid);
}

bool ks_test_wait_until(const std::function<bool()> &condition, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);

    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// State and start time from /proc/<pid>/stat; false when there is none.
static bool process_stat(pid_t pid, char *state, unsigned long long *start)
{
    std::string stat = ks_test_read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');

    if (close == std::string::npos)
        return false;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    fields >> *state;
    // The start time is field 22; the state is field 3.
    for (int i = 4; i <= 22 && fields >> field; i++)
        if (i == 22)
            *start = std::stoull(field);
    return true;
}

bool ks_test_process_ends(pid_t pid, int timeout_ms)
{
    char state;
    unsigned long long start = 0, now_start = 0;

    if (pid <= 0 || !process_stat(pid, &state, &start))
        return true;
    return ks_test_wait_until(
        [&] { return !process_stat(pid, &state, &now_start) || state == 'Z' || now_start != start; }, timeout_ms);
}

std::string ks_test_status_text(int status)
{
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status)) + (WCOREDUMP(status) ? " core" : "");
    return "status " + std::to_string(status);
}

static int report_fd = -1; // in a child: the write end of its report

ks_test_child::ks_test_child(ks_test_child &&other) noexcept
    : pid(std::exchange(other.pid, -1)), fd(std::exchange(other.fd, -1)),
      pending(std::move(other.pending))
{
}

ks_test_child::~ks_test_child()
{
    if (pid != -1) {
        kill(pid, SIGKILL);
        (void) ks_test_child_end(*this);
    }
}

ks_test_child ks_test_child_start(const std::function<void()> &body)
{
    int p[2];
    ks_test_child child;

    if (pipe2(p, O_CLOEXEC) == -1)
        return child;
    child.pid = fork();
    if (child.pid == 0) {
        close(p[0]);
        report_fd = p[1];
        body();
        ks_test_say("FAIL: the body returned\n");
        _exit(2);
    }
    close(p[1]);
    if (child.pid == -1)
        close(p[0]);
    else
        child.fd = p[0];
    return child;
}

// Adds what the child wrote next to pending: 1, or 0 at the end of the
// report, or -1 when nothing came for timeout_ms.
static int child_read(ks_test_child &child, int timeout_ms)
{
    struct pollfd ready = {child.fd, POLLIN, 0};
    char buffer[4096];
    int n_ready;
    ssize_t n;

    if (child.fd == -1)
        return 0;
    while ((n_ready = poll(&ready, 1, timeout_ms)) == -1 && errno == EINTR)
        ;
    if (n_ready == 0)
        return -1;
    while ((n = read(child.fd, buffer, sizeof buffer)) == -1 && errno == EINTR)
        ;
    if (n <= 0)
        return 0;
    child.pending.append(buffer, static_cast<size_t>(n));
    return 1;
}

std::string ks_test_child_line(ks_test_child &child, int timeout_ms)
{
    for (;;) {
        size_t nl = child.pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = child.pending.substr(0, nl);
            child.pending.erase(0, nl + 1);
            return line;
        }
        int got = child_read(child, timeout_ms);
        if (got < 0)
            return "<timeout>";
        if (got == 0) {
            std::string rest = std::move(child.pending);
            child.pending.clear();
            return rest.empty() ? "<eof>" : rest;
        }
    }
}

// Ends the report with a line of its own.
static void add_note(std::string &report, const std::string &note)
{
    if (!report.empty() && report.back() != '\n')
        report += '\n';
    report += "<" + note + ">\n";
}

std::string ks_test_child_end(ks_test_child &child, int timeout_ms)
{
    int got, status = 0;

    if (child.pid == -1)
        return "<no child>\n";
    while ((got = child_read(child, timeout_ms)) > 0)
        ;
    std::string rest = std::move(child.pending);
    child.pending.clear();
    if (got < 0) {
        add_note(rest, "timeout");
        kill(child.pid, SIGKILL);
    }
    close(child.fd);
    child.fd = -1;
    status = reap(child.pid);
    child.pid = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        add_note(rest, ks_test_status_text(status));
    return rest;
}

std::string ks_test_run_child(const std::function<void()> &body)
{
    ks_test_child child = ks_test_child_start(body);

    return ks_test_child_end(child);
}

void ks_test_report(const std::string &text)
{
    size_t sent = 0;

    while (sent < text.size()) {
        ssize_t n = write(report_fd, text.data() + sent, text.size() - sent);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            return;
    }
}

void ks_test_say(const char *format, ...)
{
    va_list ap;
    char *text = nullptr;

    va_start(ap, format);
    int n = vasprintf(&text, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    ks_test_report(std::string(text, static_cast<size_t>(n)));
    free(text);
}

void ks_test_child_fail(int line, const char *what)
{
    ks_test_say("FAIL line %d: %s\n", line, what);
    _exit(1);
}

void ks_test_child_use_up_descriptors(void)
{
    struct rlimit low = {64, 64};

    unsetenv("KS_TEST_SYSLOG");
    KS_TEST_CHECK(dup2(report_fd, 2) == 2);
    KS_TEST_CHECK(setrlimit(RLIMIT_NOFILE, &low) == 0);
    while (dup(0) != -1)
        ;
}

std::string ks_test_in_child(const std::function<std::string()> &f)
{
    return ks_test_run_child([&] {
        ks_test_report(f());
        _exit(0);
    });
}

bool ks_test_is_root(void) { return geteuid() == 0; }

bool ks_test_can_mount(void)
{
    static int known = -1;

    if (known == -1) {
        ks_test_dir dir;
        std::string source = dir / "source", target = dir / "target";
        ks_test_write_file(source, "mounted");
        ks_test_write_file(target, "");
        std::string result = ks_test_in_child([&] {
            bool ok = unshare(CLONE_NEWNS) == 0 &&
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                      mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                      ks_test_read_file(target) == "mounted";
            return std::string(ok ? "yes" : "no");
        });
        known = result == "yes";
    }
    return known == 1;
}

std::vector<std::string> ks_test_as_dumping(pid_t pid, const std::string &scratch_dir,
                                            const std::vector<std::string> &args)
{
    std::string proc = "/proc/" + std::to_string(pid) + "/status";
    std::string status = ks_test_read_file(proc), fake = scratch_dir + "/status." + std::to_string(pid);
    size_t at = status.find("CoreDumping:\t0");

    if (at != std::string::npos)
        status[at + 13] = '1';
    ks_test_write_file(fake, status);
    std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                     "mount --bind \"$0\" \"$1\" || exit 99; shift; exec \"$@\"", fake, proc};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// useradd takes a lock on the user database that another test may hold.
static bool account_command(const std::vector<std::string> &argv)
{
    for (int attempt = 0; attempt < 50; attempt++) {
        ks_test_result r = ks_test_run(argv);
        if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0)
            return true;
        if (r.err.find("lock") == std::string::npos)
            return false;
        usleep(100000);
    }
    return false;
}

ks_test_user::ks_test_user(const std::string &prefix)
{
    name = prefix + "-" + std::to_string(getpid());
    made = account_command({"/usr/sbin/useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                            "/nonexistent", "--shell", "/usr/sbin/nologin", name});
    struct passwd *pw = made ? getpwnam(name.c_str()) : nullptr;
    if (pw != nullptr) {
        uid = pw->pw_uid;
        gid = pw->pw_gid;
    } else {
        made = false;
    }
}

ks_test_user::~ks_test_user()
{
    if (made)
        (void) account_command({"/usr/sbin/userdel", name});
}

int ks_test_open_as(uid_t uid, gid_t gid, const std::string &path, int flags)
{
    std::string result = ks_test_in_child([&] {
        if (setgroups(0, nullptr) == -1 || setgid(gid) == -1 || setuid(uid) == -1)
            return std::string("setuid");
        int fd = open(path.c_str(), flags | O_CLOEXEC);
        if (fd == -1)
            return std::to_string(errno);
        close(fd);
        return std::string("0");
    });
    return result == "setuid" ? -1 : std::stoi(result);
}

std::string ks_test_random_bytes(size_t n, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string s(n, '\0');

    for (auto &c : s)
        c = static_cast<char>(1 + generator() % 255);
    return s;
}

std::string ks_test_link_target(const std::string &path)
{
    char buffer[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);

    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

std::map<std::string, std::string> ks_test_facts(const std::string &text)
{
    std::map<std::string, std::string> facts;
    const char *cursor = text.data();
    struct ks_facts_line line;

    while (ks_facts_next(&cursor, text.data() + text.size(), &line)) {
        char value[4096];
        size_t n = ks_facts_unescape(line.value, line.value_length, value, sizeof value);
        facts[std::string(line.key, line.key_length)] = std::string(value, n);
    }
    return facts;
}
