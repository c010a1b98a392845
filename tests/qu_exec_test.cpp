#include "libqu/src/os.h"
#include "libqu/src/posix.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <csignal>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Started by a test with KS_QU_HELPER=fds, the binary prints the descriptors it
// was given, one per line, and leaves before the tests run.
static std::set<int> open_fds(bool inheritable_only)
{
    std::set<int> fds;
    DIR *dir = opendir("/proc/self/fd");

    if (dir == nullptr)
        abort();
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        int fd = atoi(entry->d_name);
        if (fd == dirfd(dir))
            continue;
        if (inheritable_only && (fcntl(fd, F_GETFD) & FD_CLOEXEC))
            continue;
        fds.insert(fd);
    }
    closedir(dir);
    return fds;
}

static const int helper = [] {
    const char *mode = getenv("KS_QU_HELPER");

    if (mode == nullptr || strcmp(mode, "fds") != 0)
        return 0;
    for (int fd : open_fds(false))
        printf("%d\n", fd);
    fflush(stdout);
    _exit(0);
}();

struct exec_result {
    qu_error err;
    qu_termination term;
    bool has_out, has_err; // whether buffers were handed out
    std::string out, errs;
};

static exec_result exec(const char *exe, std::vector<const char *> args, size_t out_max,
                        size_t err_max, bool keep_out = true, bool keep_err = true,
                        const char **envp = nullptr)
{
    exec_result r{};
    char sentinel;
    char *out = &sentinel, *err = &sentinel;
    size_t argc = args.size();

    r.term = {QU_TERMINATION_ID_UNKNOWN, -1};
    args.push_back(nullptr);
    r.err = qu_exec(exe, argc, args.data(), envp, &r.term, keep_err ? &err : nullptr, &err_max,
                    keep_out ? &out : nullptr, &out_max);
    EXPECT_TRUE(!keep_out || out != &sentinel);
    EXPECT_TRUE(!keep_err || err != &sentinel);
    r.has_out = keep_out && out != nullptr && out != &sentinel;
    r.has_err = keep_err && err != nullptr && err != &sentinel;
    if (r.has_out)
        r.out.assign(out, out_max);
    if (r.has_err)
        r.errs.assign(err, err_max);
    if (r.has_out)
        free(out);
    if (r.has_err)
        free(err);
    return r;
}

static exec_result sh(const char *script, size_t out_max = 1 << 20, size_t err_max = 1 << 20,
                      bool keep_out = true, bool keep_err = true)
{
    return exec("sh", {"sh", "-c", script}, out_max, err_max, keep_out, keep_err);
}

static void expect_clean(const exec_result &r, int code)
{
    EXPECT_EQ(r.term.how, QU_TERMINATION_ID_CLEAN);
    EXPECT_EQ(r.term.code, code);
}

TEST(QuExec, CollectsOutputAndExitStatus)
{
    exec_result r = sh("printf x; printf err >&2");

    ASSERT_EQ(r.err, QU_ERR_NONE) << qu_error_str(r.err);
    expect_clean(r, 0);
    ASSERT_TRUE(r.has_out && r.has_err);
    EXPECT_EQ(r.out, "x");
    EXPECT_EQ(r.errs, "err");

    r = sh("exit 3");
    ASSERT_EQ(r.err, QU_ERR_NONE);
    expect_clean(r, 3);
    ASSERT_TRUE(r.has_out && r.has_err); // empty streams still get buffers
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.errs, "");

    r = sh("kill -9 $$");
    ASSERT_EQ(r.err, QU_ERR_NONE);
    EXPECT_EQ(r.term.how, QU_TERMINATION_ID_SIGNALED);
    EXPECT_EQ(r.term.code, SIGKILL);
}

TEST(QuExec, PassesArgumentsAndEnvironment)
{
    const char *script = "cat /proc/$$/cmdline";
    exec_result r = exec("/bin/sh", {"ks-name", "-c", script, "a b"}, 100, 100);
    EXPECT_EQ(r.err, QU_ERR_NONE);
    EXPECT_EQ(r.out, std::string("ks-name\0-c\0", 11) + script + std::string("\0a b\0", 5));

    // The program is searched on our PATH, not on the one handed to the child.
    const char *envp[] = {"KS_ONE=1", "PATH=/nonexistent", nullptr};
    r = exec("env", {"env"}, 100, 100, true, true, envp);
    ASSERT_EQ(r.err, QU_ERR_NONE) << qu_error_str(r.err);
    EXPECT_EQ(r.out, "KS_ONE=1\nPATH=/nonexistent\n");

    ASSERT_EQ(setenv("KS_QU_PROBE", "inherited", 1), 0);
    r = sh("printf %s \"$KS_QU_PROBE\"");
    EXPECT_EQ(r.out, "inherited");
}

TEST(QuExec, ProgramsThatCannotStart)
{
    ks_test_dir dir;
    exec_result r = exec("ks-no-such-program", {"ks-no-such-program"}, 100, 100);

    EXPECT_EQ(r.err, QU_ERR_FILE_NOT_FOUND);
    expect_clean(r, 1);
    EXPECT_FALSE(r.has_out);
    EXPECT_FALSE(r.has_err);

    ks_test_write_file(dir / "plain", "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(chmod((dir / "plain").c_str(), 0644), 0);
    r = exec((dir / "plain").c_str(), {"plain"}, 100, 100);
    EXPECT_EQ(r.err, QU_ERR_ACCESS);
    expect_clean(r, 1);

    ks_test_write_file(dir / "garbage", std::string(64, 'z'));
    ASSERT_EQ(chmod((dir / "garbage").c_str(), 0755), 0);
    r = exec((dir / "garbage").c_str(), {"garbage"}, 100, 100);
    EXPECT_EQ(r.err, QU_ERR_INVALID_EXE);
    EXPECT_FALSE(r.has_out);

    r = exec("", {""}, 100, 100);
    EXPECT_EQ(r.err, QU_ERR_FILE_NOT_FOUND);
}

TEST(QuExec, MaximumIsNeverReached)
{
    exec_result r = sh("printf '%0100d' 0", 100);

    EXPECT_EQ(r.err, QU_ERR_TOO_BIG);
    expect_clean(r, 0);
    EXPECT_FALSE(r.has_out);
    EXPECT_FALSE(r.has_err);

    r = sh("printf '%099d' 0", 100);
    ASSERT_EQ(r.err, QU_ERR_NONE);
    EXPECT_EQ(r.out, std::string(99, '0'));

    r = sh("printf x >&2", 100, 1);
    EXPECT_EQ(r.err, QU_ERR_TOO_BIG);

    // Nothing fits into a maximum of 0, but an empty stream is fine.
    r = sh(":", 0, 0);
    ASSERT_EQ(r.err, QU_ERR_NONE);
    EXPECT_TRUE(r.has_out);
    EXPECT_EQ(r.out, "");
    r = sh("printf x", 0, 0);
    EXPECT_EQ(r.err, QU_ERR_TOO_BIG);
}

static std::string pattern(const char *line, size_t size)
{
    std::string s;

    while (s.size() < size)
        s += line;
    s.resize(size);
    return s;
}

TEST(QuExec, ReadsLargeOutputWhileTheChildRuns)
{
    exec_result r = sh("yes 0123456789abcde | head -c 1048576", 10485760);

    ASSERT_EQ(r.err, QU_ERR_NONE) << qu_error_str(r.err);
    expect_clean(r, 0);
    EXPECT_EQ(r.out.size(), 1048576u);
    EXPECT_TRUE(r.out == pattern("0123456789abcde\n", 1048576));

    // Standard error fills up first: reading one stream after the other would
    // leave the child blocked for ever.
    r = sh("yes err | head -c 1048576 >&2; yes out | head -c 1048576", 1 << 21, 1 << 21);
    ASSERT_EQ(r.err, QU_ERR_NONE);
    EXPECT_TRUE(r.out == pattern("out\n", 1048576));
    EXPECT_TRUE(r.errs == pattern("err\n", 1048576));
}

TEST(QuExec, TenMebibyteLimit)
{
    const size_t max = 10485760;
    exec_result r = sh("head -c 10485759 /dev/zero", max, 0, true, false);

    ASSERT_EQ(r.err, QU_ERR_NONE);
    EXPECT_EQ(r.out.size(), max - 1);
    EXPECT_TRUE(r.out == std::string(max - 1, '\0'));

    r = sh("head -c 10485760 /dev/zero", max, 0, true, false);
    EXPECT_EQ(r.err, QU_ERR_TOO_BIG);

    // The rest is drained, so the child writes all of it and ends by itself.
    r = sh("head -c 10485761 /dev/zero && printf done >&2 && exit 7", max, 100);
    EXPECT_EQ(r.err, QU_ERR_TOO_BIG);
    expect_clean(r, 7);
    EXPECT_FALSE(r.has_out);
    EXPECT_FALSE(r.has_err);
}

TEST(QuExec, DroppedStreamIsDrained)
{
    exec_result r = sh("head -c 4194304 /dev/zero; printf done >&2", 0, 100, false, true);

    ASSERT_EQ(r.err, QU_ERR_NONE);
    expect_clean(r, 0);
    EXPECT_EQ(r.errs, "done");

    r = sh("head -c 4194304 /dev/zero >&2; printf done", 100, 0, true, false);
    ASSERT_EQ(r.err, QU_ERR_NONE);
    EXPECT_EQ(r.out, "done");
}

TEST(QuExec, StandardInputIsAtEndOfFile)
{
    // timeout only guards against a regression hanging the test.
    exec_result r = exec("timeout", {"timeout", "20", "cat"}, 100, 100);

    ASSERT_EQ(r.err, QU_ERR_NONE);
    expect_clean(r, 0);
    EXPECT_EQ(r.out, "");
}

TEST(QuExec, ChildGetsOnlyItsStandardStreams)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);

    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::set<int> expected = open_fds(true); // whatever we would hand on anyway
    expected.insert({0, 1, 2});
    ASSERT_EQ(setenv("KS_QU_HELPER", "fds", 1), 0);
    exec_result r = exec(self, {self}, 4096, 4096);
    ASSERT_EQ(unsetenv("KS_QU_HELPER"), 0);
    ASSERT_EQ(r.err, QU_ERR_NONE) << qu_error_str(r.err);
    std::string want;
    for (int fd : expected)
        want += std::to_string(fd) + "\n";
    EXPECT_EQ(r.out, want);
}

// In a child process, so that our own standard streams stay as they are.
TEST(QuExec, WorksWithClosedStandardStreams)
{
    pid_t pid = fork();

    ASSERT_NE(pid, -1);
    if (pid == 0) {
        close(0);
        close(2);
        exec_result r = sh("cat && printf out && printf err >&2");
        bool ok = r.err == QU_ERR_NONE && r.term.how == QU_TERMINATION_ID_CLEAN &&
                  r.term.code == 0 && r.out == "out" && r.errs == "err";
        _exit(ok ? 0 : 1);
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

static exec_result sh_bounded(const std::string &script, unsigned int timeout)
{
    exec_result r{};
    char *out = nullptr;
    size_t out_max = 1 << 20;
    const char *args[] = {"sh", "-c", script.c_str(), nullptr};

    r.term = {QU_TERMINATION_ID_UNKNOWN, -1};
    r.err = qu_exec_bounded("sh", 3, args, nullptr, timeout, &r.term, nullptr, nullptr, &out,
                            &out_max);
    r.has_out = out != nullptr;
    if (out != nullptr)
        r.out.assign(out, out_max);
    free(out);
    return r;
}

static bool pid_gone(const std::string &pid_text)
{
    pid_t pid = static_cast<pid_t>(atol(pid_text.c_str()));

    return pid > 0 && ks_test_process_ends(pid);
}

// Whatever a bounded command leaves behind (a hung child, a helper holding
// its output open, a program that closed its output and sleeps) ends at the
// bound, with the whole process group.
TEST(QuExecBounded, EndsTheWholeGroupAtTheBound)
{
    ks_test_dir dir;
    struct {
        std::string script;
        qu_termination_id how;
        int code;
        std::string out;
    } cases[] = {
        {"printf fast", QU_TERMINATION_ID_CLEAN, 0, "fast"},
        {"printf partial; exec sleep 30", QU_TERMINATION_ID_SIGNALED, SIGKILL, "partial"},
        {"sleep 30 & echo $! > '" + dir / "bg" + "'; printf left; exit 3", QU_TERMINATION_ID_CLEAN, 3, "left"},
        {"exec >&- 2>&-; sleep 30 & echo $! > '" + dir / "closed" + "'; wait", QU_TERMINATION_ID_SIGNALED, SIGKILL, ""},
    };

    for (const auto &c : cases) {
        exec_result r = sh_bounded(c.script, 1);
        ASSERT_EQ(r.err, QU_ERR_NONE) << c.script;
        EXPECT_EQ(r.term.how, c.how) << c.script;
        EXPECT_EQ(r.term.code, c.code) << c.script;
        EXPECT_EQ(r.out, c.out) << c.script;
    }
    EXPECT_TRUE(pid_gone(ks_test_read_file(dir / "bg"))) << "the helper holding the output";
    EXPECT_TRUE(pid_gone(ks_test_read_file(dir / "closed")));
}

TEST(QuExecBounded, StartsInAGroupOfItsOwnWithNoSignalBlocked)
{
    sigset_t set, old;

    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGHUP);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &set, &old), 0);
    // Built-ins only: while the shell forks a helper it blocks every signal,
    // and a helper reading the shell's mask would catch it in the act.
    exec_result r = sh_bounded("echo $$; read -r s < /proc/$$/stat; set -- $s; echo $5; "
                               "while read -r l; do case $l in SigBlk*) echo \"$l\";; esac; done < /proc/$$/status",
                               0);
    sigprocmask(SIG_SETMASK, &old, nullptr);

    ASSERT_EQ(r.err, QU_ERR_NONE);
    std::istringstream lines(r.out);
    std::string pid, group, blocked;
    std::getline(lines, pid);
    std::getline(lines, group);
    std::getline(lines, blocked);
    EXPECT_EQ(pid, group);
    EXPECT_EQ(blocked, "SigBlk:\t0000000000000000");
}

TEST(QuExecBounded, CommandDiesWithItsCaller)
{
    ks_test_dir dir;
    std::string pid_file = dir / "pid";
    ks_test_child child = ks_test_child_start([&] {
        (void) sh_bounded("echo $$ > '" + pid_file + ".tmp'; mv '" + pid_file + ".tmp' '" + pid_file +
                              "'; exec sleep 30",
                          0);
        _exit(0);
    });

    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(pid_file); }));
    kill(child.pid, SIGKILL);
    (void) ks_test_child_end(child);
    EXPECT_TRUE(pid_gone(ks_test_read_file(pid_file)));
}

TEST(QuFdFetch, ReadsADescriptorToItsEnd)
{
    ks_test_dir dir;
    std::string content = pattern("fetch me\n", 10000);
    char *buf = nullptr;

    ks_test_write_file(dir / "f", content);
    for (size_t max : {size_t(10001), size_t(1) << 20, SIZE_MAX}) {
        int fd = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
        size_t size = max;
        ASSERT_EQ(qu_fd_fetch(fd, &buf, &size), QU_ERR_NONE);
        EXPECT_EQ(std::string(buf, size), content);
        free(buf);
        close(fd);
    }

    int fd = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    size_t size = 10000;
    buf = nullptr;
    EXPECT_EQ(qu_fd_fetch(fd, &buf, &size), QU_ERR_TOO_BIG);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 10000u);
    close(fd);

    fd = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(qu_fd_fetch(fd, nullptr, nullptr), QU_ERR_NONE);
    EXPECT_EQ(read(fd, &size, 1), 0); // consumed to the end
    close(fd);

    ks_test_write_file(dir / "empty", "");
    fd = open((dir / "empty").c_str(), O_RDONLY | O_CLOEXEC);
    size = 0;
    ASSERT_EQ(qu_fd_fetch(fd, &buf, &size), QU_ERR_NONE);
    EXPECT_EQ(size, 0u);
    free(buf);
    close(fd);

    size = 100;
    EXPECT_EQ(qu_fd_fetch(fd, &buf, &size), QU_ERR_BAD_FD);
    EXPECT_EQ(qu_fd_fetch(fd, nullptr, nullptr), QU_ERR_BAD_FD);
}

// The search runs in a child: its exit status is the program's (200 or 201)
// or the errno of the failed search.
static int search(const char *exe, const char *path, const char *cwd = nullptr,
                  std::vector<const char *> argv = {})
{
    pid_t pid = fork();

    if (pid == 0) {
        const char *envp[] = {nullptr};
        if (cwd != nullptr && chdir(cwd) == -1)
            _exit(255);
        if (argv.empty())
            argv.push_back(exe);
        argv.push_back(nullptr);
        (void) qu_execvpe_path(exe, path, argv.data(), envp);
        _exit(errno);
    }
    int status;
    if (pid == -1 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

static void program(const std::string &path, int code, mode_t mode = 0755)
{
    ks_test_write_file(path, "#!/bin/sh\nexit " + std::to_string(code) + "\n");
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

struct search_dirs {
    ks_test_dir dir;
    std::string a = dir / "a", b = dir / "b", missing = dir / "missing";

    search_dirs()
    {
        EXPECT_EQ(chmod(dir.path.c_str(), 0755), 0);
        EXPECT_EQ(mkdir(a.c_str(), 0755), 0);
        EXPECT_EQ(mkdir(b.c_str(), 0755), 0);
        program(b + "/prog", 200);
    }
    std::string join(std::initializer_list<std::string> parts)
    {
        std::string s;
        for (const std::string &p : parts)
            s += (s.empty() ? "" : ":") + p;
        return s;
    }
};

TEST(QuExecvpe, SearchesElementsInOrder)
{
    search_dirs d;

    EXPECT_EQ(search("prog", d.join({d.missing, d.a, d.b}).c_str()), 200);
    program(d.a + "/prog", 201);
    EXPECT_EQ(search("prog", d.join({d.a, d.b}).c_str()), 201);
    EXPECT_EQ(search("prog", d.join({d.missing}).c_str()), ENOENT);
    EXPECT_EQ(search("", d.join({d.b}).c_str()), ENOENT);

    // An empty element stands for the working directory.
    EXPECT_EQ(search("prog", d.join({d.missing, ""}).c_str(), d.b.c_str()), 200);
    // The default path when none is given.
    EXPECT_EQ(search("sh", nullptr, nullptr, {"sh", "-c", "exit 200"}), 200);
}

TEST(QuExecvpe, DeniedFileIsRememberedAndSkipped)
{
    search_dirs d;

    program(d.a + "/prog", 201, 0644); // not executable, even for root
    EXPECT_EQ(search("prog", d.join({d.a, d.b}).c_str()), 200);
    EXPECT_EQ(search("prog", d.join({d.a}).c_str()), EACCES);
    EXPECT_EQ(search("prog", d.join({d.a, d.missing}).c_str()), EACCES);
}

TEST(QuExecvpe, NotADirectoryStopsTheSearch)
{
    search_dirs d;
    std::string file = d.dir / "file";

    ks_test_write_file(file, "");
    EXPECT_EQ(search("prog", d.join({file, d.b}).c_str()), ENOTDIR);
}

TEST(QuExecvpe, LongNamesAreRefusedBeforeAnyElement)
{
    search_dirs d;
    std::string name255(255, 'n'), name256(256, 'n');

    program(d.b + "/" + name255, 200);
    EXPECT_EQ(search(name255.c_str(), d.join({d.b}).c_str()), 200);
    // Tried, the missing element would give ENOENT.
    EXPECT_EQ(search(name255.c_str(), d.join({d.missing}).c_str()), ENOENT);
    EXPECT_EQ(search(name256.c_str(), d.join({d.missing}).c_str()), ENAMETOOLONG);
}

TEST(QuExecvpe, SearchPathBeyondItsLimit)
{
    search_dirs d;
    // Elements of 4096 characters or more are passed over.
    std::string huge = "/" + std::string(4200, 'x');

    EXPECT_EQ(search("prog", d.join({huge, d.b}).c_str()), 200);
}

TEST(QuExecvpe, NamesWithSlashAreNotSearched)
{
    search_dirs d;

    ASSERT_EQ(mkdir((d.a + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d.b + "/sub").c_str(), 0755), 0);
    program(d.a + "/sub/prog", 201);
    program(d.b + "/sub/prog", 200);
    EXPECT_EQ(search("sub/prog", d.join({d.a}).c_str(), d.b.c_str()), 200);
    EXPECT_EQ(search((d.b + "/prog").c_str(), d.join({d.a}).c_str()), 200);
    EXPECT_EQ(search("sub/none", d.join({d.a}).c_str(), d.b.c_str()), ENOENT);
}

TEST(QuExecvpe, UsesOurPathNotTheChildEnvironment)
{
    search_dirs d;
    pid_t pid = fork();

    ASSERT_NE(pid, -1);
    if (pid == 0) {
        const char *argv[] = {"prog", nullptr};
        const char *envp[] = {"PATH=/nonexistent", nullptr};
        setenv("PATH", d.b.c_str(), 1);
        (void) qu_execvpe("prog", argv, envp);
        _exit(errno);
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 200);
}

// Root searches every directory whatever its mode, so the denied directory is
// tried as nobody, in a child.
static int as_nobody(const std::function<int()> &body)
{
    struct passwd *pw = getpwnam("nobody");
    pid_t pid = fork();

    if (pid == 0) {
        if (pw == nullptr || setgroups(0, nullptr) == -1 || setgid(pw->pw_gid) == -1 ||
            setuid(pw->pw_uid) == -1)
            _exit(254);
        _exit(body());
    }
    int status;
    if (pid == -1 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(QuExecvpe, UnsearchableDirectoryIsSkipped)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to become nobody";
    search_dirs d;
    std::string locked = d.dir / "locked";

    ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
    program(locked + "/prog", 201);
    std::string through = d.join({locked, d.b}), only = d.join({locked, d.missing});
    EXPECT_EQ(as_nobody([&] { return search("prog", through.c_str()); }), 200);
    EXPECT_EQ(as_nobody([&] { return search("prog", only.c_str()); }), EACCES);

    // The same through qu_exec, which searches our PATH.
    auto run = [](const std::string &path) {
        return as_nobody([&] {
            setenv("PATH", path.c_str(), 1);
            exec_result r = exec("prog", {"prog"}, 100, 100);
            if (r.err != QU_ERR_NONE)
                return 100 + static_cast<int>(r.err);
            return r.term.how == QU_TERMINATION_ID_CLEAN ? r.term.code : 250;
        });
    };
    EXPECT_EQ(run(through), 200);
    EXPECT_EQ(run(only), 100 + QU_ERR_ACCESS);
}
