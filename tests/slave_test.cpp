#include "server/slave.h"

#include "common/cf.h"
#include "server/linux/io.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

extern char **environ;

// Started as a slave with KS_SLAVE_HELPER=fds, the binary writes its open
// descriptors and its blocked signals into $KS_SLAVE_OUT and leaves before
// the tests run.
static const int helper = [] {
    const char *mode = getenv("KS_SLAVE_HELPER");
    const char *out = getenv("KS_SLAVE_OUT");

    if (mode == nullptr || strcmp(mode, "fds") != 0 || out == nullptr)
        return 0;
    std::string text;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        _exit(2);
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir))
            continue;
        char target[256] = "";
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0)
            target[n] = '\0';
        text += std::string(entry->d_name) + " " +
                (strncmp(target, "pipe:", 5) == 0 ? "pipe" : target) + "\n";
    }
    closedir(dir);
    std::string status = ks_test_read_file("/proc/self/status");
    size_t at = status.find("SigBlk:");
    text += status.substr(at, status.find('\n', at) - at) + "\n";
    ks_test_write_file(out, text);
    _exit(0);
}();

namespace {

// The loop runs in a child (ks_io_enter never returns), which notes what it
// saw in its report and ends with _exit(0) from a callback.
void note(const std::string &line) { ks_test_report(line + "\n"); }

void sigchld_ignore(int) {}

// As the daemon runs it: SIGCHLD blocked outside the wait, with a handler
// that does nothing, so that the end of a child interrupts the wait.
std::string run_loop(const std::function<void(struct ks_cf *)> &configure,
                     const std::function<void(ks_io_t *)> &begin)
{
    (void) ks_test_syslog_path(); // the loop and its children log there
    return ks_test_run_child([&] {
        // Descriptors inherited from whoever runs the tests are not ours.
        for (int fd = 3; fd < 1024; fd++)
            (void) fcntl(fd, F_SETFD, FD_CLOEXEC);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        struct sigaction sa = {};
        sa.sa_handler = sigchld_ignore;
        sigaction(SIGCHLD, &sa, nullptr);

        ks_cf_init();
        struct ks_cf *cf = ks_cf_get();
        for (auto &stage : cf->daemon.stages)
            stage.concurrency = 4;
        configure(cf);
        ks_io_t *io;
        KS_TEST_CHECK(ks_io_init(&io, -1) && ks_slave_init(io));
        begin(io);
        ks_io_enter(io);
    });
}

typedef std::function<void(int status, ks_slave_term_cause cause)> end_fn;

// Owns the argument vector until the end callback has run.
struct slave_run {
    std::vector<std::string> args, env;
    std::vector<const char *> argv, envp;
    end_fn done;
};

void run_end(int status, void *cl, ks_slave_term_cause cause)
{
    auto *r = static_cast<struct slave_run *>(cl);
    end_fn done = std::move(r->done);

    delete r;
    done(status, cause);
}

// Starts a slave with our own environment plus extra; "" or the refusal.
std::string start(ks_slave_type type, const std::vector<std::string> &args, end_fn done,
                  const std::vector<std::string> &extra = {})
{
    auto *r = new slave_run{args, {}, {}, {}, std::move(done)};
    const char *error = nullptr;

    for (char **e = environ; *e != nullptr; e++)
        r->env.push_back(*e);
    r->env.insert(r->env.end(), extra.begin(), extra.end());
    for (const auto &a : r->args)
        r->argv.push_back(a.c_str());
    r->argv.push_back(nullptr);
    for (const auto &e : r->env)
        r->envp.push_back(e.c_str());
    r->envp.push_back(nullptr);
    if (ks_slave_execv(type, r->argv.data(), r->envp.data(), run_end, r, &error))
        return "";
    delete r;
    return error;
}

std::string sh_start(ks_slave_type type, const std::string &script, end_fn done)
{
    return start(type, {"/bin/sh", "-c", script}, std::move(done));
}

std::string describe(int status, ks_slave_term_cause cause)
{
    std::string text = cause == KS_SLAVE_TERM_CAUSE_TIMEOUT ? "timeout " : "status ";

    return text + ks_test_status_text(status);
}

// End callbacks for the last command of a test.
void end_child(int, ks_slave_term_cause) { _exit(0); }

void note_and_end_child(int status, ks_slave_term_cause cause)
{
    note(describe(status, cause));
    _exit(0);
}

// Runs the shell scripts one after the other in the stage's pool, noting
// how each ended, and ends the child after the last.
void run_in_turn(ks_slave_type type, const std::vector<std::string> &scripts, size_t at = 0)
{
    std::string refused = sh_start(type, scripts[at], [=](int status, ks_slave_term_cause cause) {
        note(describe(status, cause));
        if (at + 1 == scripts.size())
            _exit(0);
        run_in_turn(type, scripts, at + 1);
    });
    if (!refused.empty()) {
        note(refused);
        _exit(0);
    }
}

void append_to(struct ks_cf *cf, ks_slave_type type, const std::string &path,
               ks_cf_append_output_action action, size_t limit)
{
    struct ks_cf_stage &stage = cf->daemon.stages[type];

    stage.output = KS_CF_SLAVE_OUTPUT_APPEND;
    stage.append_output.file_path = path.c_str();
    stage.append_output.action = action;
    stage.append_output.byte_limit = limit;
}

// One log record, with the time checked and left out.
struct record {
    std::string stream, pid, mark, base, text;
    bool operator==(const record &) const = default;
};

std::ostream &operator<<(std::ostream &out, const record &r)
{
    return out << "[" << r.stream << " " << r.pid << " " << r.mark << " " << r.base << " "
               << r.text.size() << ":" << r.text.substr(0, 40) << "]";
}

// The time as ctime gives it, such as "Sat Dec  5 18:39:23 2026".
bool is_time(const std::string &t)
{
    static const char shape[] = "Aaa Aaa 99 99:99:99 9999";

    if (t.size() != sizeof shape - 1)
        return false;
    for (size_t i = 0; i < t.size(); i++) {
        bool ok = shape[i] == 'A'   ? isupper(t[i]) != 0
                  : shape[i] == 'a' ? islower(t[i]) != 0
                  : shape[i] == '9' ? isdigit(t[i]) != 0 || (i == 8 && t[i] == ' ')
                                    : t[i] == shape[i];
        if (!ok)
            return false;
    }
    return true;
}

// Splits "[stream] [time] - pid mark [base] text\n".
bool parse_record(const std::string &line, record &r)
{
    if (line.size() < 10 || line[0] != '[' || line.back() != '\n')
        return false;
    r.stream = line.substr(1, 6);
    if ((r.stream != "stdout" && r.stream != "stderr") || line.compare(7, 3, "] [") != 0)
        return false;
    if (line.size() < 38 || !is_time(line.substr(10, 24)) || line.compare(34, 4, "] - ") != 0)
        return false;
    size_t at = 38, blank = line.find(' ', at);
    if (blank == std::string::npos || blank == at)
        return false;
    r.pid = line.substr(at, blank - at);
    if (r.pid.find_first_not_of("0123456789") != std::string::npos)
        return false;
    at = blank + 1;
    if (line.size() < at + 3 || (line[at] != '-' && line[at] != '+') ||
        line.compare(at + 1, 2, " [") != 0)
        return false;
    r.mark = line.substr(at, 1);
    size_t close = line.find("] ", at + 3);
    if (close == std::string::npos)
        return false;
    r.base = line.substr(at + 3, close - at - 3);
    r.text = line.substr(close + 2, line.size() - close - 3);
    return true;
}

std::vector<record> parse_log(const std::string &log)
{
    std::vector<record> records;
    size_t at = 0;

    while (at < log.size()) {
        size_t eol = log.find('\n', at);
        std::string one = log.substr(at, eol == std::string::npos ? eol : eol + 1 - at);
        record r;
        if (!parse_record(one, r)) {
            records.push_back({"malformed", "", "", "", one});
            break;
        }
        records.push_back(r);
        at += one.size();
    }
    return records;
}

// The text of the log's only record, or how many records it has.
std::string sole_text(const std::string &log)
{
    std::vector<record> records = parse_log(log);

    if (records.size() != 1)
        return std::to_string(records.size()) + " records";
    return records[0].text;
}

// The size that a record of this text takes in a log.
size_t record_size(const std::string &stream, const std::string &pid, const std::string &text)
{
    return ("[" + stream + "] [Thu Jan  1 00:00:00 1970] - " + pid + " - [sh] " + text + "\n")
        .size();
}

size_t count_logs(int priority, const std::string &prefix)
{
    size_t n = 0;

    for (const auto &log : ks_test_syslog_read())
        if (LOG_PRI(log.priority) == priority && log.text.starts_with(prefix))
            n++;
    return n;
}

} // namespace

TEST(Slave, ConcurrencyLimitIsFreedBeforeTheCallback)
{
    ks_test_syslog_start();
    std::string r = run_loop(
        [](struct ks_cf *cf) {
            cf->daemon.stages[KS_SLAVE_SNAPSHOT].concurrency = 0;
            cf->daemon.stages[KS_SLAVE_SEND].concurrency = 2;
        },
        [](ks_io_t *) {
            static int ended = 0;
            end_fn done = [](int status, ks_slave_term_cause cause) {
                note(describe(status, cause) + " available " +
                     std::to_string(ks_slave_available(KS_SLAVE_SEND)));
                if (++ended == 1)
                    note("restart [" +
                         start(KS_SLAVE_SEND, {"/bin/true"},
                               [](int s, ks_slave_term_cause c) {
                                   note("restarted " + describe(s, c));
                                   if (++ended == 3)
                                       _exit(0);
                               }) +
                         "]");
                if (ended == 3)
                    _exit(0);
            };

            note("snapshot available " + std::to_string(ks_slave_available(KS_SLAVE_SNAPSHOT)));
            note("snapshot [" + start(KS_SLAVE_SNAPSHOT, {"/bin/true"}, done) + "]");
            note("send available " + std::to_string(ks_slave_available(KS_SLAVE_SEND)));
            note("first [" + start(KS_SLAVE_SEND, {"/bin/true"}, done) + "]");
            note("second [" + sh_start(KS_SLAVE_SEND, "exit 4", done) + "]");
            note("full " + std::to_string(ks_slave_available(KS_SLAVE_SEND)));
            note("third [" + start(KS_SLAVE_SEND, {"/bin/true"}, done) + "]");
        });

    // The two first ends may come in either order.
    std::vector<std::string> head = {"snapshot available 0",
                                     "snapshot [concurrency limit exceeded]",
                                     "send available 1",
                                     "first []",
                                     "second []",
                                     "full 0",
                                     "third [concurrency limit exceeded]"};
    std::string expected;
    for (const auto &line : head)
        expected += line + "\n";
    ASSERT_TRUE(r.starts_with(expected)) << r;
    std::string rest = r.substr(expected.size());
    EXPECT_TRUE(rest.starts_with("status exit 0 available 1\nrestart []\n") ||
                rest.starts_with("status exit 4 available 1\nrestart []\n"))
        << r;
    EXPECT_NE(rest.find("status exit 4 available"), std::string::npos) << r;
    EXPECT_NE(rest.find("restarted status exit 0\n"), std::string::npos) << r;
    EXPECT_TRUE(ks_test_syslog_has(LOG_DEBUG, "Executing slave: /bin/true\n"))
        << ks_test_syslog_dump();
}

TEST(Slave, TimeOutSendsSigterm)
{
    std::string r = run_loop(
        [](struct ks_cf *cf) { cf->daemon.stages[KS_SLAVE_SEND].timeout = 1; },
        [](ks_io_t *) { note(start(KS_SLAVE_SEND, {"/bin/sleep", "30"}, note_and_end_child)); });

    EXPECT_EQ(r, "\ntimeout signal 15\n");
}

TEST(Slave, CommandThatSurvivesItsTimeOutIsReportedWithTheTimeOutCause)
{
    ks_test_dir dir;
    std::string marker = dir / "term";
    std::string r = run_loop(
        [](struct ks_cf *cf) { cf->daemon.stages[KS_SLAVE_SNAPSHOT].timeout = 1; },
        [&](ks_io_t *) {
            note(start(
                KS_SLAVE_SNAPSHOT,
                {"/bin/sh", "-c",
                 "trap 'touch \"$0\"' TERM; while [ ! -e \"$0\" ]; do sleep 0.02; done; exit 7",
                 marker},
                note_and_end_child));
        });

    EXPECT_EQ(r, "\ntimeout exit 7\n");
    EXPECT_TRUE(ks_test_exists(marker));
}

// The time-out reaches the command's own children (its process group), and a
// command that ignores SIGTERM is killed a grace period later, still with the
// time-out cause.
TEST(Slave, TimeOutEndsTheGroupAndKillsWhatIgnoresSigterm)
{
    ks_test_dir dir;
    std::string helper = dir / "helper";
    std::string r = run_loop(
        [](struct ks_cf *cf) {
            cf->daemon.stages[KS_SLAVE_SNAPSHOT].timeout = 1;
            cf->daemon.stages[KS_SLAVE_SEND].timeout = 1;
        },
        [&](ks_io_t *) {
            static int ended = 0;
            end_fn done = [](int status, ks_slave_term_cause cause) {
                note(describe(status, cause));
                if (++ended == 2)
                    _exit(0);
            };
            note(start(KS_SLAVE_SNAPSHOT,
                       {"/bin/sh", "-c", "sleep 60 & echo $! > \"$0\"; wait", helper}, done));
            note(sh_start(KS_SLAVE_SEND, "trap '' TERM; sleep 60", done));
        });

    EXPECT_EQ(r, "\n\ntimeout signal 15\ntimeout signal 9\n");
    pid_t pid = static_cast<pid_t>(atol(ks_test_read_file(helper).c_str()));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(ks_test_process_ends(pid)) << "the command's own child ends with it";
}

TEST(Slave, MissingCommandEndsWithStatusOne)
{
    ks_test_syslog_start();
    std::string r = run_loop([](struct ks_cf *) {},
                             [](ks_io_t *) {
                                 static int ended = 0;
                                 end_fn done = [](int status, ks_slave_term_cause cause) {
                                     note(describe(status, cause));
                                     if (++ended == 2)
                                         _exit(0);
                                 };
                                 note(start(KS_SLAVE_SNAPSHOT, {"ks-no-such-command", "x"}, done));
                                 note(start(KS_SLAVE_SEND, {"/nonexistent/dir/tool"}, done));
                             });

    EXPECT_EQ(r, "\n\nstatus exit 1\nstatus exit 1\n");
    EXPECT_TRUE(ks_test_syslog_has(
        LOG_ERR, "error: failed to execute ks-no-such-command: No such file or directory\n"))
        << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_syslog_has(
        LOG_ERR, "error: failed to execute /nonexistent/dir/tool: No such file or directory\n"))
        << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_syslog_has(LOG_DEBUG, "Executing slave: ks-no-such-command x\n"));
}

TEST(Slave, LoggedCommandLineStopsAt999Characters)
{
    ks_test_syslog_start();
    std::vector<std::string> args = {"/bin/true", std::string(600, 'x'), std::string(600, 'y'),
                                     "z"};
    std::string r = run_loop([](struct ks_cf *) {},
                             [&](ks_io_t *) { note(start(KS_SLAVE_SEND, args, end_child)); });

    EXPECT_EQ(r, "\n");
    std::string text = (" /bin/true " + args[1] + " " + args[2]).substr(0, 999);
    EXPECT_TRUE(ks_test_syslog_has(LOG_DEBUG, "Executing slave:" + text + "\n"))
        << ks_test_syslog_dump();
}

// Children get /dev/null or their pipes as standard streams, no descriptor of
// the daemon (pipes and timers of other slaves, the open log, /dev/null
// copies) and no blocked signal.
TEST(Slave, ChildrenGetOnlyTheirStandardStreams)
{
    ks_test_dir dir;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string log = dir / "send.log";
    std::string go = dir / "go";

    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            cf->daemon.stages[KS_SLAVE_SEND].timeout = 50;
            append_to(cf, KS_SLAVE_SEND, log, KS_CF_APPEND_OUTPUT_ACTION_RENAME, 1 << 20);
        },
        [&](ks_io_t *io) {
            // Holds its pipes and timer open while the probes run.
            note("holder [" +
                 sh_start(KS_SLAVE_SEND,
                          "echo started; while [ ! -e " + go + " ]; do sleep 0.02; done",
                          [](int status, ks_slave_term_cause cause) {
                              note("holder " + describe(status, cause));
                              _exit(0);
                          }) +
                 "]");
            static std::function<void()> probes;
            probes = [&] {
                static int ended = 0;
                for (ks_slave_type type : {KS_SLAVE_SNAPSHOT, KS_SLAVE_SEND}) {
                    std::string out = dir / ("probe" + std::to_string(type));
                    start(type, {self},
                          [out, go, type](int status, ks_slave_term_cause cause) {
                              note("probe " + std::to_string(type) + " " + describe(status, cause));
                              note(ks_test_read_file(out));
                              if (++ended == 2)
                                  ks_test_write_file(go, "");
                          },
                          {"KS_SLAVE_HELPER=fds", "KS_SLAVE_OUT=" + out});
                }
            };
            // Once the log is open, the probes start.
            ks_io_cb_add(io, [](ks_io_t *) {
                static bool started = false;
                if (!started && ks_cf_get()->daemon.stages[KS_SLAVE_SEND].append_output.file) {
                    started = true;
                    probes();
                }
            });
        });

    std::string blocked = "SigBlk:\t0000000000000000\n";
    EXPECT_NE(r.find("probe 0 status exit 0\n0 /dev/null\n1 /dev/null\n2 /dev/null\n" + blocked),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("probe 1 status exit 0\n0 /dev/null\n1 pipe\n2 pipe\n" + blocked),
              std::string::npos)
        << r;
    EXPECT_TRUE(r.ends_with("holder status exit 0\n")) << r;
}

TEST(Slave, ChildrenThatAreNotSlavesAreReapedAndIgnored)
{
    std::string r =
        run_loop([](struct ks_cf *) {},
                 [](ks_io_t *) {
                     static pid_t stranger = fork();
                     if (stranger == 0)
                         _exit(3);
                     siginfo_t info;
                     waitid(P_PID, stranger, &info, WEXITED | WNOWAIT);
                     // The stranger is gone by the second slave's end.
                     start(KS_SLAVE_SEND, {"/bin/true"}, [](int s, ks_slave_term_cause c) {
                         note(describe(s, c));
                         start(KS_SLAVE_SEND, {"/bin/true"}, [](int, ks_slave_term_cause) {
                             pid_t pid = waitpid(stranger, nullptr, WNOHANG);
                             note(std::to_string(pid) + " " + strerror(errno));
                             _exit(0);
                         });
                     });
                 });

    EXPECT_EQ(r, "status exit 0\n-1 " + std::string(strerror(ECHILD)) + "\n");
}

TEST(Slave, CoreDumpsAreSuppressedPerPoolUntilTheCommandChanges)
{
    // A pipe pattern hands dumps to a program: they never fail in the kernel.
    if (ks_test_read_file("/proc/sys/kernel/core_pattern").starts_with("|"))
        GTEST_SKIP() << "the core pattern is a pipe here";
    ks_test_syslog_start();
    ks_test_dir dir;
    std::string probe = dir / "probe.sh";
    std::string script = "#!/bin/sh\nawk '/^Max core/ {print $5, $6}' /proc/$$/limits > \"$1\"\n"
                         "kill -SEGV $$\n";
    ks_test_write_file(probe, script);
    ASSERT_EQ(chmod(probe.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    ks_test_write_file(dir / "bin/probe-bare.sh", script);
    ASSERT_EQ(chmod((dir / "bin/probe-bare.sh").c_str(), 0755), 0);

    std::string r = run_loop(
        [](struct ks_cf *) {},
        [&](ks_io_t *) {
            struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
            if (chdir(dir.path.c_str()) == -1 || setrlimit(RLIMIT_CORE, &unlimited) == -1) {
                note("cannot enable core dumps");
                _exit(0);
            }
            setenv("PATH", (dir.path + "/bin:/usr/bin:/bin").c_str(), 1);
            struct step {
                ks_slave_type type;
                std::string command;
            };
            static std::vector<step> steps = {
                {KS_SLAVE_SEND, probe},               // dumps, then suppressed for send
                {KS_SLAVE_SEND, probe},               // records the time, runs with 1 byte
                {KS_SLAVE_SNAPSHOT, probe},           // other pool unaffected; dumps
                {KS_SLAVE_SEND, probe},               // after the file changed: dumps again
                {KS_SLAVE_SNAPSHOT, "probe-bare.sh"}, // not found relative to cwd
                {KS_SLAVE_SNAPSHOT, "probe-bare.sh"},
            };
            static size_t at = 0;
            static std::function<void()> next;
            static std::string base = dir.path;
            next = [] {
                if (at == steps.size())
                    _exit(0);
                std::string out = base + "/limit" + std::to_string(at);
                if (at == 3) {
                    struct stat st;
                    stat(steps[at].command.c_str(), &st);
                    struct timeval times[2] = {{st.st_mtime - 1000, 0}, {st.st_mtime - 1000, 0}};
                    utimes(steps[at].command.c_str(), times);
                }
                start(steps[at].type, {steps[at].command, out},
                      [out](int s, ks_slave_term_cause c) {
                          std::string limit = ks_test_read_file(out);
                          note(describe(s, c) + " " + limit.substr(0, limit.find('\n')));
                          at++;
                          next();
                      });
            };
            next();
        });

    if (r.starts_with("status signal 11 unlimited unlimited\n"))
        GTEST_SKIP() << "the kernel writes no core file under this pattern";
    EXPECT_EQ(r, "status signal 11 core unlimited unlimited\n"
                 "status signal 11 1 1\n"
                 "status signal 11 core unlimited unlimited\n"
                 "status signal 11 core unlimited unlimited\n"
                 "status signal 11 1 1\n"
                 "status signal 11 1 1\n");
    EXPECT_EQ(count_logs(LOG_WARNING,
                         "warning: kestreld-initiated command has crashed, disabling dumps.\n"),
              3u)
        << ks_test_syslog_dump();
    EXPECT_EQ(count_logs(LOG_WARNING, "warning: command "), 1u) << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_syslog_has(LOG_WARNING, "warning: command " + probe +
                                                    " has been updated, re-enabled coredump.\n"))
        << ks_test_syslog_dump();
    EXPECT_EQ(count_logs(LOG_ERR, "error: failed to check command: No such file or directory"), 2u)
        << ks_test_syslog_dump();
}

TEST(Slave, AppendLogTakesLinesInOrder)
{
    ks_test_dir dir;
    std::string log = dir / "send.log";
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            append_to(cf, KS_SLAVE_SEND, log, KS_CF_APPEND_OUTPUT_ACTION_RENAME, 1 << 30);
        },
        [](ks_io_t *) {
            note(start(KS_SLAVE_SEND, {"sh", "-c", "printf 'pid %s\\ntwo\\n' $$; echo err >&2"},
                       [](int s, ks_slave_term_cause c) {
                           note(describe(s, c));
                           // More than a pipe holds, in lines of every length.
                           run_in_turn(KS_SLAVE_SEND, {"seq 1 30000"});
                       }));
        });

    ASSERT_EQ(r, "\nstatus exit 0\nstatus exit 0\n");
    std::vector<record> records = parse_log(ks_test_read_file(log));
    ASSERT_EQ(records.size(), 30003u);
    std::vector<record> first(records.begin(), records.begin() + 3);
    auto with_pid = std::find_if(first.begin(), first.end(),
                                 [](const record &one) { return one.text.starts_with("pid "); });
    ASSERT_NE(with_pid, first.end());
    std::string pid = with_pid->text.substr(4);
    EXPECT_EQ(*with_pid, (record{"stdout", pid, "-", "sh", "pid " + pid}));
    // Two lines of one write, in their order.
    EXPECT_EQ(*(with_pid + 1), (record{"stdout", pid, "-", "sh", "two"}));
    EXPECT_NE(std::find(first.begin(), first.end(), record{"stderr", pid, "-", "sh", "err"}),
              first.end());
    std::string second = records[3].pid;
    EXPECT_NE(second, pid);
    for (size_t i = 0; i < 30000; i++)
        ASSERT_EQ(records[3 + i], (record{"stdout", second, "-", "sh", std::to_string(i + 1)}));
}

TEST(Slave, LongLinesAreCutAt4096Bytes)
{
    ks_test_dir dir;
    std::string log = dir / "snapshot.log";
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            append_to(cf, KS_SLAVE_SNAPSHOT, log, KS_CF_APPEND_OUTPUT_ACTION_PURGE, 1 << 30);
        },
        [](ks_io_t *) {
            run_in_turn(KS_SLAVE_SNAPSHOT,
                        {
                            "head -c 5000 /dev/zero | tr '\\0' a",       // no line end at all
                            "head -c 4095 /dev/zero | tr '\\0' b; echo", // the longest whole line
                            "head -c 4096 /dev/zero | tr '\\0' c; echo", // one byte too long
                            "printf 'ab\\0cd\\nnext\\n'",                // a NUL byte
                        });
        });

    ASSERT_EQ(r, "status exit 0\nstatus exit 0\nstatus exit 0\nstatus exit 0\n");
    std::vector<record> records = parse_log(ks_test_read_file(log));
    ASSERT_EQ(records.size(), 6u) << records.back();
    EXPECT_EQ(records[0].mark, "+");
    EXPECT_EQ(records[0].text, std::string(4096, 'a') + "...");
    EXPECT_EQ(records[1].mark, "-");
    EXPECT_EQ(records[1].text, std::string(4095, 'b'));
    EXPECT_EQ(records[2].mark, "+");
    EXPECT_EQ(records[2].text, std::string(4096, 'c') + "...");
    EXPECT_EQ(records[3].mark, "-");
    EXPECT_EQ(records[3].text, "");
    EXPECT_EQ(records[3].pid, records[2].pid);
    EXPECT_EQ(records[4], (record{"stdout", records[4].pid, "-", "sh", "ab"}));
    EXPECT_EQ(records[5], (record{"stdout", records[4].pid, "-", "sh", "next"}));
}

TEST(Slave, PurgeEmptiesTheLogAndCountsFromTheExistingSize)
{
    ks_test_dir dir;
    std::string log = dir / "send.log";
    ks_test_write_file(log, std::string(989, '.') + "\n");
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            append_to(cf, KS_SLAVE_SEND, log, KS_CF_APPEND_OUTPUT_ACTION_PURGE, 1000);
        },
        [&](ks_io_t *) {
            sh_start(KS_SLAVE_SEND, "printf 'first\\nsecond\\n'", [&](int, ks_slave_term_cause) {
                note(ks_test_read_file(log));
                sh_start(KS_SLAVE_SEND, "for i in $(seq 1 40); do echo \"line $i\"; done",
                         end_child);
            });
        });

    // The line that crossed the limit went with the rest.
    ASSERT_TRUE(r.ends_with("\n\n")) << r;
    EXPECT_EQ(sole_text(r.substr(0, r.size() - 1)), "second") << r;

    // Walk the second command's lines through the limit as the daemon does.
    std::vector<record> records = parse_log(ks_test_read_file(log));
    ASSERT_FALSE(records.empty());
    std::string pid = records[0].pid;
    size_t size = r.size() - 1, purges = 0;
    std::vector<std::string> kept;
    for (int i = 1; i <= 40; i++) {
        std::string text = "line " + std::to_string(i);
        kept.push_back(text);
        size += record_size("stdout", pid, text);
        if (size > 1000) {
            size = 0;
            kept.clear();
            purges++;
        }
    }
    ASSERT_GT(purges, 0u);
    ASSERT_EQ(records.size(), kept.size());
    for (size_t i = 0; i < kept.size(); i++)
        EXPECT_EQ(records[i], (record{"stdout", pid, "-", "sh", kept[i]}));
    EXPECT_EQ(ks_test_read_file(log).size(), size);
}

TEST(Slave, RenameMovesTheLogToTheLowestFreeNumber)
{
    ks_test_dir dir;
    std::string log = dir / "send.log";
    std::string prefill = std::string(1999, '.') + "\n";
    ks_test_write_file(log, prefill);
    ks_test_write_file(log + ".1", "older\n");
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            append_to(cf, KS_SLAVE_SEND, log, KS_CF_APPEND_OUTPUT_ACTION_RENAME, 1000);
        },
        [&](ks_io_t *) {
            sh_start(KS_SLAVE_SEND, "echo crossing", [&](int, ks_slave_term_cause) {
                note("new log [" + ks_test_read_file(log) + "] " +
                     std::to_string(ks_test_exists(log)));
                sh_start(KS_SLAVE_SEND, "echo after", end_child);
            });
        });

    EXPECT_EQ(r, "new log [] 1\n");
    EXPECT_EQ(ks_test_read_file(log + ".1"), "older\n");
    std::string moved = ks_test_read_file(log + ".2");
    ASSERT_TRUE(moved.starts_with(prefill));
    EXPECT_EQ(sole_text(moved.substr(prefill.size())), "crossing");
    EXPECT_EQ(sole_text(ks_test_read_file(log)), "after");
    EXPECT_FALSE(ks_test_exists(log + ".3"));
}

// path.1 would need 4095 characters: the log stays where it is, disabled.
TEST(Slave, RenameRefusesNamesTooLong)
{
    ks_test_syslog_start();
    ks_test_dir dir;
    std::string log = dir.path;
    while (log.size() < 4093 - 201) {
        log += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
    }
    log += "/" + std::string(4093 - log.size() - 1, 'f');
    ASSERT_EQ(log.size(), 4093u);
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            append_to(cf, KS_SLAVE_SEND, log, KS_CF_APPEND_OUTPUT_ACTION_RENAME, 1);
        },
        [](ks_io_t *) {
            sh_start(KS_SLAVE_SEND, "echo one", [](int, ks_slave_term_cause) {
                sh_start(KS_SLAVE_SEND, "echo two", end_child);
            });
        });

    EXPECT_EQ(r, "");
    EXPECT_EQ(sole_text(ks_test_read_file(log)), "one");
    EXPECT_EQ(count_logs(LOG_ERR, "error: path name too long\n"), 1u) << ks_test_syslog_dump();
}

TEST(Slave, LogIsOpenedByTheFirstOutput)
{
    ks_test_dir dir;
    std::string log = dir / "snapshot.log";
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            append_to(cf, KS_SLAVE_SNAPSHOT, log, KS_CF_APPEND_OUTPUT_ACTION_PURGE, 1 << 20);
        },
        [&](ks_io_t *) {
            start(KS_SLAVE_SNAPSHOT, {"/bin/true"}, [&](int, ks_slave_term_cause) {
                note(std::to_string(ks_test_exists(log)));
                sh_start(KS_SLAVE_SNAPSHOT, "echo x", end_child);
            });
        });

    EXPECT_EQ(r, "0\n");
    EXPECT_EQ(sole_text(ks_test_read_file(log)), "x");
}

// A log that cannot be opened disables the stage's log, and its commands
// still run to their end however much they write.
TEST(Slave, DisabledLogIsDrained)
{
    ks_test_syslog_start();
    ks_test_dir dir;
    std::string log = dir / "missing/send.log";
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            cf->daemon.stages[KS_SLAVE_SEND].timeout = 30;
            append_to(cf, KS_SLAVE_SEND, log, KS_CF_APPEND_OUTPUT_ACTION_RENAME, 1 << 20);
        },
        [](ks_io_t *) {
            run_in_turn(KS_SLAVE_SEND, {"seq 1 100000; seq 1 100000 >&2", "seq 1 100000"});
        });

    EXPECT_EQ(r, "status exit 0\nstatus exit 0\n");
    EXPECT_EQ(count_logs(LOG_ERR, "unable to open append output file: No such file or directory"),
              1u)
        << ks_test_syslog_dump();
}

TEST(Slave, FullDiskDisablesOnlyThatStagesLog)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root for a private mount";
    ks_test_syslog_start();
    ks_test_dir dir;
    ASSERT_EQ(mkdir((dir / "small").c_str(), 0755), 0);
    std::string full = dir / "small/send.log";
    std::string log = dir / "snapshot.log";
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            cf->daemon.stages[KS_SLAVE_SEND].timeout = 30;
            append_to(cf, KS_SLAVE_SEND, full, KS_CF_APPEND_OUTPUT_ACTION_RENAME, 1 << 20);
            append_to(cf, KS_SLAVE_SNAPSHOT, log, KS_CF_APPEND_OUTPUT_ACTION_RENAME, 1 << 20);
        },
        [&](ks_io_t *) {
            if (unshare(CLONE_NEWNS) == -1 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
                mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=8k") == -1) {
                note("skip");
                _exit(0);
            }
            static std::string path = full;
            sh_start(KS_SLAVE_SEND, "seq 1 30000", [](int s, ks_slave_term_cause c) {
                note(describe(s, c));
                static std::string size = std::to_string(ks_test_read_file(path).size());
                sh_start(KS_SLAVE_SNAPSHOT, "echo still", [](int s, ks_slave_term_cause c) {
                    note(describe(s, c));
                    sh_start(KS_SLAVE_SEND, "seq 1 30000", [](int s, ks_slave_term_cause c) {
                        note(describe(s, c));
                        note(std::to_string(ks_test_read_file(path).size() == std::stoul(size)));
                        _exit(0);
                    });
                });
            });
        });

    if (r == "skip\n")
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(r, "status exit 0\nstatus exit 0\nstatus exit 0\n1\n");
    size_t failures =
        count_logs(LOG_ERR, "unable to write to append file: No space left on device") +
        count_logs(LOG_ERR, "unable to flush append file: No space left on device");
    EXPECT_EQ(failures, 1u) << ks_test_syslog_dump();
    EXPECT_EQ(sole_text(ks_test_read_file(log)), "still");
}

// A child that ends while the loop is busy elsewhere is reaped before the
// loop has served its pipe: its output must still reach the log.
TEST(Slave, OutputLeftInThePipeAtReapingIsKept)
{
    ks_test_dir dir;
    std::string log = dir / "send.log";
    std::string go = dir / "go";
    std::string r = run_loop(
        [&](struct ks_cf *cf) {
            append_to(cf, KS_SLAVE_SEND, log, KS_CF_APPEND_OUTPUT_ACTION_RENAME, 1 << 20);
        },
        [&](ks_io_t *io) {
            static std::string flag = go;
            sh_start(KS_SLAVE_SEND,
                     "while [ ! -e " + go + " ]; do sleep 0.01; done; echo last words",
                     note_and_end_child);
            // Registered after the reaper, so it runs first in each iteration:
            // the child ends between the wait and the reaping pass.
            ks_io_cb_add(io, [](ks_io_t *) {
                static bool done = false;
                if (done)
                    return;
                done = true;
                ks_test_write_file(flag, "");
                siginfo_t info;
                waitid(P_ALL, 0, &info, WEXITED | WNOWAIT);
            });
            // Something to end the first wait.
            ks_io_timer_t *timer = ks_io_timer_create(
                io, [](ks_io_timer_t *) {}, 0);
            struct itimerspec soon = {};
            soon.it_value.tv_nsec = 1000;
            ks_io_timer_set(timer, &soon);
            ks_io_timer_add(io, timer);
        });

    EXPECT_EQ(r, "status exit 0\n");
    EXPECT_EQ(sole_text(ks_test_read_file(log)), "last words");
}

TEST(Slave, SyslogModeForwardsEachLine)
{
    ks_test_syslog_start();
    std::string r = run_loop(
        [](struct ks_cf *cf) {
            cf->daemon.stages[KS_SLAVE_SNAPSHOT].output = KS_CF_SLAVE_OUTPUT_SYSLOG;
        },
        [](ks_io_t *) {
            sh_start(KS_SLAVE_SNAPSHOT,
                     "echo \"pid $$\"; echo oops >&2; head -c 5000 /dev/zero | tr '\\0' z; echo",
                     note_and_end_child);
        });

    ASSERT_EQ(r, "status exit 0\n");
    std::string pid;
    for (const auto &log : ks_test_syslog_read()) {
        std::string text = log.text;
        size_t blank = text.find(' ', 9);
        if (text.starts_with("[stdout] ") && blank != std::string::npos &&
            text.substr(blank) == " - [sh] pid " + text.substr(9, blank - 9))
            pid = text.substr(9, blank - 9);
    }
    ASSERT_FALSE(pid.empty()) << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_syslog_has(LOG_INFO, "[stdout] " + pid + " - [sh] pid " + pid));
    EXPECT_TRUE(ks_test_syslog_has(LOG_WARNING, "[stderr] " + pid + " - [sh] oops"));
    EXPECT_TRUE(ks_test_syslog_has(LOG_INFO, "[stdout] " + pid + " + [sh] " +
                                                 std::string(4096, 'z') + "..."));
    EXPECT_TRUE(
        ks_test_syslog_has(LOG_INFO, "[stdout] " + pid + " - [sh] " + std::string(904, 'z')));
}

// Collected output, as the defaults command uses it: it ends like qu_exec
// would report it, without the loop waiting for it.
TEST(Slave, CollectedOutputEndsAsQuExecWouldSay)
{
    ks_test_dir dir;
    std::string denied = dir / "denied";
    ks_test_write_file(denied, "#!/bin/sh\necho never\n");
    ASSERT_EQ(chmod(denied.c_str(), 0644), 0);
    struct capture_case {
        std::vector<std::string> argv;
        unsigned int bound;
        size_t max;
        std::string expected;
    };
    static std::vector<capture_case> cases = {
        {{"sh", "-c", "printf 'a=1\\n'; echo dropped >&2"}, 0, 1000, "exit 0, no error, [a=1\n]"},
        {{"sh", "-c", "cat; exit 3"}, 0, 1000, "exit 3, no error, []"},
        {{"sh", "-c", "head -c 99 /dev/zero | tr '\\0' y"}, 0, 100, "exit 0, no error, [" + std::string(99, 'y') + "]"},
        {{"sh", "-c", "head -c 100 /dev/zero | tr '\\0' y"}, 0, 100, "exit 0, too big, none"},
        {{"sh", "-c", "head -c 300000 /dev/zero; exit 4"}, 0, 100, "exit 4, too big, none"},
        {{"ks-no-such-command"}, 0, 1000, "exit 1, file not found, none"},
        {{denied}, 0, 1000, "exit 1, access denied, none"},
        {{"sh", "-c", "exec sleep 60"}, 1, 1000, "signal 9, no error, []"},
        // The output ends after the command: what its child writes still counts.
        {{"sh", "-c", "(sleep 0.3; echo late) & echo early"}, 0, 1000, "exit 0, no error, [early\nlate\n]"},
        // A child that keeps the output open is killed with the group at the bound.
        {{"sh", "-c", "sleep 60 & echo started"}, 1, 1000, "exit 0, no error, [started\n]"},
    };
    static std::vector<std::vector<const char *>> argvs;
    for (auto &c : cases) {
        argvs.emplace_back();
        for (auto &a : c.argv)
            argvs.back().push_back(a.c_str());
        argvs.back().push_back(nullptr);
    }

    std::string r = run_loop(
        [](struct ks_cf *cf) { cf->daemon.stages[KS_SLAVE_SNAPSHOT].concurrency = static_cast<unsigned int>(cases.size()); },
        [](ks_io_t *) {
            static size_t ended = 0;
            static std::vector<std::string> results(cases.size());
            for (size_t i = 0; i < cases.size(); i++) {
                const char *error = nullptr;
                bool started = ks_slave_capture(
                    KS_SLAVE_SNAPSHOT, argvs[i].data(), cases[i].bound, cases[i].max,
                    [](int status, qu_error err, ks_slave_term_cause, const char *out, size_t length, void *cl) {
                        size_t at = reinterpret_cast<size_t>(cl);
                        results[at] = ks_test_status_text(status) + ", " + qu_error_str(err) + ", " +
                                      (out != nullptr ? "[" + std::string(out, length) + "]" : "none");
                        if (++ended == cases.size()) {
                            for (const auto &line : results)
                                note(line);
                            _exit(0);
                        }
                    },
                    reinterpret_cast<void *>(i), &error);
                KS_TEST_CHECK(started);
            }
            // Every place is taken while they run.
            KS_TEST_CHECK(!ks_slave_available(KS_SLAVE_SNAPSHOT));
        });

    std::string expected;
    for (const auto &c : cases)
        expected += c.expected + "\n";
    EXPECT_EQ(r, expected);
}
