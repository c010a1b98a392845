// The daemon's start-up, through the real kestreld. Every run that may reach
// the core pattern happens in a private mount namespace where a temporary
// file is bound over /proc/sys/kernel/core_pattern.

#include "support.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

// Helper mode: with KS_SERVER_TEST_CLEAN_EXEC set, close every descriptor
// above 2 and become the program named by the remaining arguments, so that
// the program holds only the descriptors it opens itself.
static const int helper_mode = [] {
    if (getenv("KS_SERVER_TEST_CLEAN_EXEC") == nullptr)
        return 0;
    std::string cmdline = ks_test_read_file("/proc/self/cmdline");
    std::vector<char *> argv;
    for (size_t at = 0; at < cmdline.size(); at += strlen(cmdline.c_str() + at) + 1)
        argv.push_back(cmdline.data() + at);
    argv.push_back(nullptr);
    unsetenv("KS_SERVER_TEST_CLEAN_EXEC");
    close_range(3, ~0U, 0);
    execv(argv[1], argv.data() + 1);
    _exit(127);
}();

namespace {

std::string self(void)
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);

    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

const char started[] = "Kestrel server initialized, entering main loop.";

const char banner[] = "Usage: kestreld [<options>]\n"
                      "\n"
                      "    -c <configuration file>        Specifies an alternate configuration for\n"
                      "                                   kestreld to use.\n"
                      "    -d                             Run in debug mode.\n"
                      "    -f                             Run in foreground mode.\n"
                      "    -p <pid file>                  Write daemon PID to file.\n"
                      "    -v                             Print version.\n"
                      "    -h                             Print this usage banner.\n";

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string status_field(pid_t pid, const std::string &name)
{
    std::istringstream in(ks_test_read_file("/proc/" + std::to_string(pid) + "/status"));

    for (std::string line; std::getline(in, line);)
        if (line.starts_with(name + ":")) {
            size_t at = line.find_first_not_of(" \t", name.size() + 1);
            return at == std::string::npos ? "" : line.substr(at);
        }
    return "<none>";
}

std::string link_target(const std::string &path)
{
    char buffer[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);

    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

class Daemon : public ::testing::Test {
protected:
    ks_test_dir dir;
    std::string pattern = dir / "core_pattern";
    std::string pipe_limit = dir / "core_pipe_limit";
    std::string archiver = dir / "archive";
    std::string command = archiver + " -p%p -P%P -l%c";
    std::string conf = dir / "kestrel.conf";
    std::string out = dir / "out", err = dir / "err";
    pid_t pid = -1;

    void SetUp() override
    {
        ks_test_syslog_start();
        ks_test_write_file(archiver, "#!/bin/sh\nexit 0\n");
        chmod(archiver.c_str(), 0755);
        ks_test_write_file(pattern, "");
        ks_test_write_file(pipe_limit, "0\n");
    }

    void TearDown() override
    {
        if (pid > 0)
            ks_test_stop(pid);
    }

    void configure(const std::string &archive_lines, const std::string &daemon_lines = "")
    {
        ks_test_write_file(conf, "[archive]\ndump.root = " + dir / "root" + "\narchive.command = " + command + "\n" +
                                     archive_lines + "[daemon]\nsnapshot.command = snap %e\nsend.command = send %S\n" +
                                     daemon_lines);
    }

    void need_root()
    {
        if (!ks_test_is_root() || !ks_test_can_mount())
            GTEST_SKIP() << "needs root with a private mount namespace";
    }

    // kestreld with its arguments, in a private mount namespace whose core
    // pattern is our file, started in the temporary directory.
    std::vector<std::string> isolated(const std::vector<std::string> &args, bool read_only = false,
                                      bool clean = false)
    {
        std::string script = "mount --bind \"$0\" /proc/sys/kernel/core_pattern || exit 99\n"
                             "mount --bind \"$1\" /proc/sys/kernel/core_pipe_limit || exit 99\n";
        if (read_only)
            script += "mount -o remount,bind,ro /proc/sys/kernel/core_pattern || exit 98\n"
                      "mount -o remount,bind,ro /proc/sys/kernel/core_pipe_limit || exit 98\n";
        script += "shift; cd \"$1\" && shift && exec \"$@\"";
        std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c",
                                         script, pattern, pipe_limit, dir.path};
        if (clean)
            argv.push_back(self());
        argv.push_back(KS_TEST_KESTRELD);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    ks_test_result run(const std::vector<std::string> &args, bool read_only = false)
    {
        return ks_test_run(isolated(args, read_only));
    }

    // Starts kestreld in the foreground and waits for the end of its start-up.
    bool start(const std::vector<std::string> &args, bool read_only = false, bool clean = false)
    {
        pid = ks_test_spawn(isolated(args, read_only, clean), {clean ? "KS_SERVER_TEST_CLEAN_EXEC=1" : "KS_NONE=1"},
                            out, err);
        return ks_test_wait_until([] { return ks_test_syslog_has(LOG_INFO, started); }, 60000);
    }

    std::vector<std::string> messages(int priority)
    {
        std::vector<std::string> texts;

        for (const auto &log : ks_test_syslog_read())
            if (LOG_PRI(log.priority) == priority)
                texts.push_back(log.text);
        return texts;
    }
};

using texts = std::vector<std::string>;

} // namespace

// Command line.

TEST_F(Daemon, VersionNeedsNoConfiguration)
{
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-c", dir / "missing", "-v", "-h"});

    EXPECT_TRUE(exited_with(r.status, 0));
    EXPECT_EQ(r.out, "1.5.18\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Daemon, UsageBannerByteForByte)
{
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-h", "-v"});

    EXPECT_TRUE(exited_with(r.status, 0));
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "");
}

TEST_F(Daemon, UnknownOptionsAreDiagnosedAndSkipped)
{
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-x", "extra", "-v"});

    EXPECT_TRUE(exited_with(r.status, 0));
    EXPECT_EQ(r.out, "1.5.18\n");
    EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;
}

TEST_F(Daemon, MissingOptionArgumentIsDiagnosedAndParsingGoesOn)
{
    // archive.disabled keeps a run outside a namespace away from the core pattern.
    ks_test_write_file(conf, "[archive]\narchive.disabled = true\n[daemon]\nsnapshot.command = x\n");
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-f", "-c", conf, "-p"});

    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_NE(r.err.find("option requires an argument -- 'p'"), std::string::npos) << r.err;
    EXPECT_EQ(messages(LOG_ERR), texts({"error: send template must be defined.\n",
                                        "error: failed to ensure archive: \n"}));
}

TEST_F(Daemon, LaterConfigurationOptionWins)
{
    ks_test_write_file(conf, "[archive]\narchive.disabled = true\n[daemon]\nsnapshot.command = x\n");
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-f", "-c", dir / "missing", "-c", conf});

    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "error: send template must be defined.\n"));
}

// Configuration and archive tree.

TEST_F(Daemon, ConfigurationErrorsReachTheirStreams)
{
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-c", dir / "missing"});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(r.err, "error: configuration file could not be opened: No such file or directory\n");

    ks_test_write_file(conf, "[daemon]\nsend.command = x");
    r = ks_test_run({KS_TEST_KESTRELD, "-c", conf});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(r.err, "error: configuration file contains long line at 2\n");

    ks_test_syslog_start();
    ks_test_write_file(conf, "[daemon]\nsnapshot.output = bogus\n");
    r = ks_test_run({KS_TEST_KESTRELD, "-c", conf});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ks_test_syslog_dump(), "<3> error: unknown output mode [bogus]\n");
}

TEST_F(Daemon, ArchiveTreeFailureStops)
{
    ks_test_write_file(conf, "[archive]\narchive.disabled = true\ndump.root = relative\n[daemon]\n"
                             "snapshot.command = x\nsend.command = y\n");
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-f", "-c", conf});

    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(ks_test_syslog_dump(), "<3> error: failed to ensure archive: failed to ensure path\n");
}

// Core pattern.

TEST_F(Daemon, RegistersTheArchiverAndStarts)
{
    need_root();
    configure("");
    ASSERT_TRUE(start({"-f", "-c", conf})) << ks_test_syslog_dump();

    EXPECT_EQ(ks_test_read_file(pattern), "|" + command + "\n");
    EXPECT_EQ(messages(LOG_WARNING), texts{});
    EXPECT_EQ(messages(LOG_ERR), texts{});
    EXPECT_TRUE(ks_test_exists(dir / "root/failed/sending"));
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/exe"), KS_TEST_KESTRELD) << "stays in the foreground";
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/cwd"), "/tmp") << "HOME defaults to /tmp";
    EXPECT_EQ(ks_test_read_file(err), "");
}

TEST_F(Daemon, KeepsItsDescriptorsCloseOnExec)
{
    need_root();
    configure("");
    ASSERT_TRUE(start({"-f", "-c", conf, "-p", dir / "k.pid"}, false, true)) << ks_test_syslog_dump();

    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/exe"), KS_TEST_KESTRELD);
    std::string fds = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR *d = opendir(fds.c_str());
    ASSERT_NE(d, nullptr);
    bool in_loop = false;
    for (struct dirent *e; (e = readdir(d)) != nullptr;) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || fd <= 2)
            continue;
        in_loop |= link_target("/proc/" + std::to_string(pid) + "/fd/" + e->d_name) == "anon_inode:[eventpoll]";
        std::string info = ks_test_read_file(fds + "/" + e->d_name);
        size_t at = info.find("flags:");
        ASSERT_NE(at, std::string::npos);
        unsigned long flags = strtoul(info.c_str() + at + 6, nullptr, 8);
        EXPECT_NE(flags & O_CLOEXEC, 0u) << "descriptor " << fd << " -> "
                                         << link_target("/proc/" + std::to_string(pid) + "/fd/" + e->d_name);
    }
    closedir(d);
    EXPECT_TRUE(in_loop) << "the daemon waits in its event loop";
}

TEST_F(Daemon, SignalsHandledAndSighupDoesNotStopIt)
{
    need_root();
    configure("");
    ASSERT_TRUE(start({"-f", "-c", conf})) << ks_test_syslog_dump();

    unsigned long caught = std::stoul(status_field(pid, "SigCgt"), nullptr, 16);
    EXPECT_TRUE(caught & (1UL << (SIGHUP - 1)));
    EXPECT_TRUE(caught & (1UL << (SIGCHLD - 1)));

    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_EQ(kill(pid, SIGCHLD), 0);
    ASSERT_TRUE(ks_test_wait_until([&] {
        return std::stoul(status_field(pid, "ShdPnd"), nullptr, 16) == 0 &&
               std::stoul(status_field(pid, "SigPnd"), nullptr, 16) == 0;
    }));
    int status;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "still running";
}

TEST_F(Daemon, ReadOnlyPatternThatAlreadyMatchesOnlyWarns)
{
    need_root();
    configure("");
    ks_test_write_file(pattern, "|" + command + "\n");
    ASSERT_TRUE(start({"-f", "-c", conf}, true)) << ks_test_syslog_dump();

    EXPECT_EQ(messages(LOG_WARNING), (texts{"warning: failed to open core_pattern for writing.\n",
                                            "warning: failed to set core_pipe_limit: crashes may be stored without "
                                            "metadata.\n"}));
    EXPECT_EQ(messages(LOG_ERR), texts{});
}

// The kernel holds a crashed process for its archiver only with a pipe
// limit; the daemon sets one where there is none and keeps any other.
TEST_F(Daemon, CorePipeLimitIsSetWhereItIsZero)
{
    need_root();
    configure("");
    const struct {
        const char *before;
        bool read_only;
        const char *after;
        const char *warning;
    } cases[] = {
        {"0\n", false, "16\n", nullptr},
        {"4\n", false, "4\n", nullptr},
        {"0\n", true, "0\n", "warning: failed to set core_pipe_limit: crashes may be stored without metadata.\n"},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        ks_test_syslog_start();
        ks_test_write_file(pattern, c.read_only ? "|" + command + "\n" : "");
        ks_test_write_file(pipe_limit, c.before);
        ASSERT_TRUE(start({"-f", "-c", conf}, c.read_only)) << ks_test_syslog_dump();
        EXPECT_EQ(ks_test_read_file(pipe_limit), c.after);
        EXPECT_EQ(ks_test_syslog_has(LOG_WARNING, c.warning != nullptr ? c.warning : ""), c.warning != nullptr)
            << ks_test_syslog_dump();
        ks_test_stop(pid);
        pid = -1;
    }
}

TEST_F(Daemon, PatternThatDoesNotReadBackStops)
{
    need_root();
    configure("");
    ks_test_write_file(pattern, "core\n");
    ks_test_result r = run({"-f", "-c", conf}, true);

    EXPECT_TRUE(exited_with(r.status, 1)) << r.status << r.err;
    EXPECT_EQ(messages(LOG_WARNING), texts{"warning: failed to open core_pattern for writing.\n"});
    EXPECT_EQ(messages(LOG_ERR), texts{"error: core_pattern is not setup correctly.\n"});
    EXPECT_FALSE(ks_test_syslog_has(LOG_INFO, started));

    // Without the trailing newline the kernel would give, it does not match either.
    ks_test_syslog_start();
    ks_test_write_file(pattern, "|" + command);
    r = run({"-f", "-c", conf}, true);
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "error: core_pattern is not setup correctly.\n"));
}

TEST_F(Daemon, ArchiverMustBeExecutable)
{
    need_root();
    command = dir / "missing -p%p";
    configure("");
    ks_test_result r = run({"-f", "-c", conf});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(messages(LOG_ERR), texts{"error: failed to access archive command: No such file or directory"});
    EXPECT_EQ(ks_test_read_file(pattern), "") << "checked before anything is written";

    ks_test_syslog_start();
    chmod(archiver.c_str(), 0644);
    command = archiver;
    configure("");
    r = run({"-f", "-c", conf});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(messages(LOG_ERR), texts{"error: failed to access archive command: Permission denied"});
}

TEST_F(Daemon, DisabledArchiveLeavesThePatternAlone)
{
    need_root();
    command = "/nonexistent/archive";
    configure("archive.disabled = true\n");
    ks_test_write_file(pattern, "core\n");
    ASSERT_TRUE(start({"-f", "-c", conf})) << ks_test_syslog_dump();

    EXPECT_EQ(ks_test_read_file(pattern), "core\n");
    EXPECT_EQ(messages(LOG_WARNING), texts{});
}

// Detaching, PID file, privileges, home.

TEST_F(Daemon, PidFileCreatesItsDirectories)
{
    need_root();
    configure("");
    std::string file = dir / "run/x/k.pid";
    ASSERT_EQ(mkdir((dir / "run").c_str(), 0700), 0);
    ASSERT_TRUE(start({"-f", "-c", conf, "-p", file})) << ks_test_syslog_dump();

    texts expected = {"Creating dirs for '" + file + "'\n"};
    for (size_t at = file.find('/', 1); at != std::string::npos; at = file.find('/', at + 1))
        expected.push_back("Created '" + file.substr(0, at) + "'\n");
    EXPECT_EQ(messages(LOG_ERR), expected);
    EXPECT_EQ(ks_test_read_file(file), std::to_string(pid) + "\n");
    struct stat st;
    ASSERT_EQ(stat((dir / "run/x").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(stat((dir / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "an existing directory is left alone";
}

TEST_F(Daemon, PidFileWithoutSlashCreatesNoDirectory)
{
    need_root();
    configure("");
    ks_test_write_file(dir / "k.pid", "stale text that is longer\n");
    ASSERT_TRUE(start({"-f", "-c", conf, "-p", "k.pid"})) << ks_test_syslog_dump();

    EXPECT_EQ(messages(LOG_ERR), texts{"Creating dirs for 'k.pid'\n"});
    EXPECT_EQ(ks_test_read_file(dir / "k.pid"), std::to_string(pid) + "\n");
}

TEST_F(Daemon, PidFileFailures)
{
    need_root();
    configure("");

    std::string long_path = "/" + std::string(4096, 'p');
    ks_test_result r = run({"-f", "-c", conf, "-p", long_path});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(messages(LOG_ERR), texts{"error: path too long: '" + long_path + "'\n"});

    ks_test_syslog_start();
    ks_test_write_file(dir / "file", "");
    r = run({"-f", "-c", conf, "-p", dir / "file/x/k.pid"});
    EXPECT_TRUE(exited_with(r.status, 1));
    auto errors = messages(LOG_ERR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "error: failed to create '" + dir / "file/x" + "': Not a directory\n");
    EXPECT_EQ(errors[errors.size() - 2], "Created '" + dir / "file" + "'\n");

    ks_test_syslog_start();
    r = run({"-f", "-c", conf, "-p", dir / "sub/"});
    EXPECT_TRUE(exited_with(r.status, 1));
    errors = messages(LOG_ERR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "error: failed to create PID file: Is a directory");
    EXPECT_FALSE(ks_test_syslog_has(LOG_INFO, started));
}

TEST_F(Daemon, DropsToTheConfiguredUserAndGroup)
{
    need_root();
    if (getpwnam("nobody") == nullptr || getgrnam("nogroup") == nullptr)
        GTEST_SKIP() << "no nobody/nogroup here";
    configure("dump.user = nobody\ndump.group = nogroup\n");
    // The archive user works in the tree after the switch, so it must reach it.
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    ASSERT_TRUE(start({"-f", "-c", conf, "-p", dir / "k.pid"})) << ks_test_syslog_dump();

    std::string uid = std::to_string(getpwnam("nobody")->pw_uid), gid = std::to_string(getgrnam("nogroup")->gr_gid);
    EXPECT_EQ(status_field(pid, "Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(status_field(pid, "Gid"), gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(status_field(pid, "Groups"), "") << "no supplementary group of root survives";

    struct stat st;
    ASSERT_EQ(stat((dir / "root/pending").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, getpwnam("nobody")->pw_uid) << "the tree is made before privileges are dropped";
    EXPECT_EQ(st.st_gid, getgrnam("nogroup")->gr_gid);
    ASSERT_EQ(stat((dir / "k.pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "the PID file is written before";
    // nobody's home does not exist: that is silent, the directory stays.
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/cwd"), dir.path);
    EXPECT_EQ(messages(LOG_WARNING), texts{});
    EXPECT_EQ(messages(LOG_ERR), texts({"Creating dirs for '" + dir / "k.pid" + "'\n", "Created '/tmp'\n",
                                        "Created '" + dir.path + "'\n"}));
}

TEST_F(Daemon, GoesToTheUsersHome)
{
    need_root();
    struct passwd *root = getpwnam("root");
    if (root == nullptr || root->pw_dir == nullptr || !ks_test_exists(root->pw_dir))
        GTEST_SKIP() << "root has no home here";
    std::string home = root->pw_dir;
    configure("dump.user = root\n");
    ASSERT_TRUE(start({"-f", "-c", conf})) << ks_test_syslog_dump();

    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/cwd"), home);
}

TEST_F(Daemon, DetachesWithoutForegroundOptions)
{
    need_root();
    // Become the detached daemon's parent so that it can be reaped.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    configure("");
    std::string file = dir / "k.pid";
    ks_test_result r = run({"-c", conf, "-p", file});
    EXPECT_TRUE(exited_with(r.status, 0)) << r.err;
    ASSERT_TRUE(ks_test_wait_until([] { return ks_test_syslog_has(LOG_INFO, started); }));

    pid = static_cast<pid_t>(std::stol(ks_test_read_file(file)));
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/exe"), KS_TEST_KESTRELD);
    EXPECT_EQ(getsid(pid), pid) << "a session of its own";
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/cwd"), "/tmp");
    for (int fd = 0; fd < 3; fd++)
        EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)), "/dev/null");
    EXPECT_EQ(ks_test_read_file(pattern), "|" + command + "\n");
}

TEST_F(Daemon, DebugModeStaysInTheForeground)
{
    need_root();
    configure("", "snapshot.output = append /nonexistent/log\nsend.output = syslog\n");
    ASSERT_TRUE(start({"-d", "-c", conf})) << ks_test_syslog_dump();

    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/exe"), KS_TEST_KESTRELD);
    int status;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);
}

// Templates.

TEST_F(Daemon, TemplatesMustCompileDefaultsFirst)
{
    need_root();
    configure("", "defaults.command = defaults %\nsnapshot.command = x %\n");
    ks_test_result r = run({"-f", "-c", conf});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(messages(LOG_ERR), texts{"error: failed to parse command: invalid format string specified\n"});
    EXPECT_FALSE(ks_test_syslog_has(LOG_INFO, started));

    ks_test_syslog_start();
    configure("", "send.command = send %P %\n");
    r = run({"-f", "-c", conf});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(messages(LOG_ERR), texts{"error: failed to parse command: invalid format string specified\n"});

    // Letters outside the sets and format-rule digits still compile.
    ks_test_syslog_start();
    configure("", "snapshot.command = snap %1 %P %z\n");
    ASSERT_TRUE(start({"-f", "-c", conf})) << ks_test_syslog_dump();
}

// Messages as the C library's syslog sends them, without the stand-in: in
// the foreground each one also reaches standard error, and the log level
// decides which go out at all.
namespace {

const char notice[] = "kestreld: nothing listens on /dev/log, so its messages will be lost once it detaches "
                      "(-f keeps them on standard error)\n";

bool syslog_listens(void)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        int rc = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
        int saved = errno;
        close(fd);
        if (rc == 0)
            return true;
        if (saved != EPROTOTYPE)
            return false;
    }
    return false;
}

} // namespace

TEST_F(Daemon, LogLevelDecidesWhatGoesOut)
{
    struct {
        std::vector<std::string> options;
        std::string lines;
        bool info, debug;
    } cases[] = {
        {{"-f"}, "", true, false},
        {{"-f"}, "log.level = debug\n", true, true},
        {{"-d"}, "", true, true},
        {{"-d"}, "log.level = err\n", true, true},
        {{"-f"}, "log.level = warning\n", false, false},
        {{"-f"}, "log.level = notice\n", false, false},
        {{"-f"}, "log.level = error\n", false, false},
    };
    std::string root = dir / "root";

    for (const auto &c : cases) {
        system(("rm -rf " + root + " && mkdir -p " + root + "/pending").c_str());
        ks_test_write_file(root + "/pending/c", "core");
        ks_test_write_file(conf, "[archive]\ndump.root = " + root + "\narchive.disabled = true\n[daemon]\n"
                                 "snapshot.command = /bin/false %c\nsnapshot.concurrency = 1\nsend.command = /bin/true\n" +
                                     c.lines);
        std::vector<std::string> argv = {"/usr/bin/env", "-u", "LD_PRELOAD", KS_TEST_KESTRELD};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.insert(argv.end(), {"-c", conf});
        unlink(err.c_str());
        pid = ks_test_spawn(argv, {}, out, err);
        std::string failed = ": error: c has failed at pending stage due to non-zero exit\n";
        ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_read_file(err).find(failed) != std::string::npos; }))
            << c.lines << ks_test_read_file(err);
        ks_test_stop(pid);
        pid = -1;
        std::string text = ks_test_read_file(err);
        std::string prefix = "kestrel[" + text.substr(8, text.find(']') - 8) + "]: ";
        EXPECT_TRUE(text.starts_with("kestrel[")) << text;
        EXPECT_EQ(text.find(prefix + started + "\n") != std::string::npos, c.info) << c.lines << text;
        EXPECT_EQ(text.find(prefix + "adding " + root + "/pending/c\n") != std::string::npos, c.debug)
            << c.lines << text;
    }
}

TEST_F(Daemon, BrokenSettingInTheForegroundReachesStandardError)
{
    for (const char *line : {"log.level = loud\n", "snapshot.output = bogus\n"}) {
        ks_test_write_file(conf, std::string("[archive]\narchive.disabled = true\n[daemon]\n") + line);
        ks_test_result r = ks_test_run({"/usr/bin/env", "-u", "LD_PRELOAD", KS_TEST_KESTRELD, "-f", "-c", conf});
        EXPECT_TRUE(exited_with(r.status, 1));
        std::string expected = strncmp(line, "log", 3) == 0 ? "error: unknown log level [loud]\n"
                                                            : "error: unknown output mode [bogus]\n";
        EXPECT_TRUE(r.err.starts_with("kestrel[") && r.err.ends_with("]: " + expected)) << r.err;
    }
    // Under a service manager whose journal is standard error, the journal
    // takes every message through /dev/log already: nothing twice.
    ks_test_write_file(conf, "[archive]\narchive.disabled = true\n[daemon]\nlog.level = loud\n");
    ks_test_result journal = ks_test_run(
        {"/usr/bin/env", "-u", "LD_PRELOAD", "/bin/sh", "-c",
         "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" -f -c \"$1\"", KS_TEST_KESTRELD, conf});
    EXPECT_TRUE(exited_with(journal.status, 1));
    EXPECT_EQ(journal.err, "");
    // Through the stand-in, the level's message has its priority.
    ks_test_write_file(conf, "[daemon]\nlog.level = loud\n");
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-c", conf});
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(ks_test_syslog_dump(), "<3> error: unknown log level [loud]\n");
}

TEST_F(Daemon, DetachingWithNothingOnDevLogSaysSoOnce)
{
    if (syslog_listens())
        GTEST_SKIP() << "a syslog daemon listens here";
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::string file = dir / "k.pid";
    ks_test_write_file(conf, "[archive]\ndump.root = " + dir / "root" + "\narchive.disabled = true\n[daemon]\n"
                             "snapshot.command = snap\nsend.command = send\n");
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-c", conf, "-p", file});
    EXPECT_TRUE(exited_with(r.status, 0)) << r.err;
    EXPECT_EQ(r.err, notice);
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(file) && !ks_test_read_file(file).empty(); }));
    pid = static_cast<pid_t>(std::stol(ks_test_read_file(file)));

    // In the foreground it says nothing of the kind.
    ks_test_result f = ks_test_run({KS_TEST_KESTRELD, "-f", "-c", dir / "missing"});
    EXPECT_EQ(f.err.find("nothing listens"), std::string::npos);
}
