// The crash archiver through its real binary: core images on standard input,
// metadata from a live process's /proc entry, files in a temporary archive
// tree. Small filesystems are tmpfs mounts in a private mount namespace.

#include "support.h"

#include "common/tar.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <pwd.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

const char unlimited[] = "18446744073709551615";

// Regular files below a directory, as "sub/name" relative to it.
std::vector<std::string> files_below(const std::string &root, const std::string &sub = "")
{
    std::vector<std::string> found;
    DIR *d = opendir((root + "/" + sub).c_str());

    if (d == nullptr)
        return found;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string rel = sub.empty() ? name : sub + "/" + name;
        if (e->d_type == DT_DIR) {
            auto more = files_below(root, rel);
            found.insert(found.end(), more.begin(), more.end());
        } else {
            found.push_back(rel);
        }
    }
    closedir(d);
    return found;
}

struct asset_entry {
    ks_tar_type type;
    std::string content;
};

// Read back with the project's reader, in order.
std::vector<std::pair<std::string, asset_entry>> asset_read(const std::string &path)
{
    std::vector<std::pair<std::string, asset_entry>> entries;
    struct ks_tar_iterator *it = ks_tar_iterator_open(path.c_str());
    const char *name, *content;
    size_t length;
    ks_tar_type type;

    if (it == nullptr)
        return entries;
    while ((content = ks_tar_iterate(it, &name, &length, &type)) != nullptr) {
        // A link's length counts the NUL of the ustar field.
        std::string text = type == KS_TAR_T_LINK ? std::string(content) : std::string(content, length);
        entries.push_back({name, {type, text}});
    }
    ks_tar_iterator_destroy(it);
    return entries;
}

class Archive : public ::testing::Test {
protected:
    ks_test_dir dir;
    std::string root = dir / "root";
    std::string conf = dir / "kestrel.conf";
    pid_t victim = -1;

    void SetUp() override
    {
        ks_test_syslog_start();
        configure("");
    }

    void TearDown() override
    {
        if (victim > 0)
            ks_test_stop(victim);
    }

    // Quota 0 unless the lines set it: the host's free space is no business
    // of most tests.
    void configure(const std::string &archive_lines, const std::string &at = "")
    {
        ks_test_write_file(conf, "[archive]\ndump.root = " + (at.empty() ? root : at) +
                                     "\ndump.quota = 0%\n" + archive_lines +
                                     "[daemon]\nsnapshot.command = snap %e\nsend.command = send %S\n");
    }

    // A live process standing in for the crashed one, with a secret in its
    // environment that must never reach the archive.
    pid_t start_victim(void)
    {
        victim = ks_test_spawn({"/usr/bin/tail", "-f", "/dev/null"}, {"KS_SECRET=hunter2"});
        std::string exe = "/proc/" + std::to_string(victim) + "/exe";
        EXPECT_TRUE(ks_test_wait_until([&] { return ks_test_link_target(exe) == "/usr/bin/tail"; }));
        return victim;
    }

    std::vector<std::string> command(pid_t pid, const std::string &limit = unlimited)
    {
        return {KS_TEST_ARCHIVE, "-c", conf, "-p" + std::to_string(pid), "-P" + std::to_string(pid),
                "-l" + limit};
    }

    std::vector<std::string> as_dumping(pid_t pid, const std::vector<std::string> &args)
    {
        return ks_test_as_dumping(pid, dir.path, args);
    }

    void need_namespace(void)
    {
        if (!ks_test_is_root() || !ks_test_can_mount())
            GTEST_SKIP() << "needs root with a private mount namespace";
    }

    ks_test_result archive(const std::string &core, pid_t pid, const std::string &limit = unlimited)
    {
        if (pid == victim)
            return ks_test_run(as_dumping(pid, command(pid, limit)), {}, core);
        return ks_test_run(command(pid, limit), {}, core);
    }

    // The crashes' files: the ledger beside them at the root is not one.
    std::vector<std::string> tree(void)
    {
        auto files = files_below(root);
        std::erase_if(files, [](const std::string &f) { return f.starts_with("ledger."); });
        return files;
    }

    // The base name of the one core image in pending, checked to have its asset.
    std::string stored(void)
    {
        auto files = tree();
        std::string base;
        for (const auto &f : files)
            if (f.starts_with("pending/"))
                base = f.substr(8);
        EXPECT_EQ(files.size(), 2u) << ::testing::PrintToString(files);
        EXPECT_NE(std::find(files.begin(), files.end(), "assets/" + base), files.end());
        return base;
    }

    std::string who(pid_t pid, const std::string &executable = "/usr/bin/tail")
    {
        return "crash of pid " + std::to_string(pid) + " (" + executable + ")";
    }
};

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

} // namespace

// One crash end to end: the sparse image, the asset read back two ways, the
// owner and mode, the one message.
TEST_F(Archive, StoresSparseCoreAndAsset)
{
    need_namespace();
    bool root_run = ks_test_is_root();
    if (root_run) {
        configure("dump.user = nobody\ndump.group = nogroup\ndump.mode = 0604\n");
        // The archiver writes as the archive's owner, who must reach the tree.
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    }
    pid_t pid = start_victim();
    // Data, a long run of zero pages, data that ends inside a page, and a
    // zero tail that only the file's length can keep.
    std::string core = ks_test_random_bytes(65536, 1) + std::string(4 << 20, '\0') + ks_test_random_bytes(5000, 2) +
                       std::string(3 * 4096 + 17, '\0');

    ks_test_result r = archive(core, pid);
    ASSERT_TRUE(exited_with(r.status, 0)) << ks_test_status_text(r.status) << r.err;
    std::string base = stored();
    ASSERT_EQ(base.size(), 36u);
    std::string image = root + "/pending/" + base, asset = root + "/assets/" + base;
    EXPECT_TRUE(ks_test_read_file(image) == core);
    struct stat st;
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), core.size());
    // 65536 + 5000 bytes of data; the 4 MiB of zeros and the tail are holes.
    EXPECT_LE(st.st_blocks * 512, 256 * 1024) << st.st_blocks;
    EXPECT_EQ(ks_test_syslog_dump(), "<6> " + who(pid) + " archived as " + base + " (" +
                                         std::to_string(core.size()) + " bytes)\n");

    if (root_run) {
        for (const auto &path : {image, asset}) {
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, getpwnam("nobody")->pw_uid) << path;
            EXPECT_EQ(st.st_gid, getgrnam("nogroup")->gr_gid) << path;
            EXPECT_EQ(st.st_mode & 07777, 0604u) << path;
        }
    }

    auto entries = asset_read(asset);
    std::vector<std::string> names;
    for (const auto &[name, entry] : entries)
        names.push_back(name);
    EXPECT_EQ(names, std::vector<std::string>({"/proc/self/exe", "kestrel/facts", "/proc/self/cmdline",
                                               "/proc/self/status", "/proc/self/maps", "/proc/self/limits",
                                               "/proc/self/cgroup"}));
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0].second.type, KS_TAR_T_LINK);
    EXPECT_EQ(entries[0].second.content, "/usr/bin/tail");
    std::map<std::string, std::string> files;
    for (const auto &[name, entry] : entries)
        files[name] = entry.content;
    EXPECT_EQ(files["/proc/self/cmdline"], std::string("/usr/bin/tail\0-f\0/dev/null\0", 27));
    EXPECT_NE(files["/proc/self/status"].find("Pid:\t" + std::to_string(pid) + "\n"), std::string::npos);
    EXPECT_NE(files["/proc/self/maps"].find("/usr/bin/tail"), std::string::npos);
    EXPECT_NE(files["/proc/self/limits"].find("Max core file size"), std::string::npos);
    EXPECT_FALSE(files["/proc/self/cgroup"].empty());
    struct stat exe, ns;
    ASSERT_EQ(stat("/usr/bin/tail", &exe), 0);
    ASSERT_EQ(stat(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(), &ns), 0);
    std::string facts = files["kestrel/facts"];
    for (const std::string &line :
         std::vector<std::string>{"core=stored\n", "uid=0\n", "gid=0\n", "exe.inode=" + std::to_string(exe.st_ino) + "\n",
                                  "mount.namespace=" + std::to_string(ns.st_ino) + "\n", "metadata=complete\n"})
        EXPECT_NE(facts.find(line), std::string::npos) << line << " in\n" << facts;
    std::string raw = ks_test_read_file(asset);
    EXPECT_EQ(raw.find("hunter2"), std::string::npos) << "the environment leaked into the asset";

    ks_test_result listing = ks_test_run({"/bin/tar", "-tvf", asset});
    EXPECT_TRUE(exited_with(listing.status, 0)) << listing.err;
    EXPECT_NE(listing.out.find("/proc/self/exe -> /usr/bin/tail\n"), std::string::npos) << listing.out;
    ks_test_result status = ks_test_run({"/bin/tar", "-xOf", asset, "/proc/self/status"});
    EXPECT_EQ(status.out, files["/proc/self/status"]);
}

// What is stored, and the one message, for each archive setting.
TEST_F(Archive, SettingsDecideWhatIsStored)
{
    need_namespace();
    const std::string core = ks_test_random_bytes(300000, 3);
    struct scenario {
        const char *name;
        std::string lines;
        std::string limit;
        std::string input;
        size_t kept; // bytes of core image stored; 0: nothing at all
        std::string message; // after "crash of pid N (exe)"
    } scenarios[] = {
        {"matching ignore rule", "dump.ignore = ^/usr/bin/tail -f /dev/null$\n", unlimited, core, 0,
         " ignored: its command line matches dump.ignore\n"},
        {"other ignore rules", "dump.ignore = python\ndump.ignore = ^tail\n", unlimited, core, core.size(),
         " archived as * (300000 bytes)\n"},
        {"core dumps off", "", "0", core, 0, " not archived: core dumps are off for it\n"},
        {"cut at the limit", "", "10000", core, 10000,
         " archived as *, cut at the core size limit of 10000 bytes\n"},
        {"limit of exactly the size", "", "300000", core, 300000, " archived as * (300000 bytes)\n"},
        {"limit above the size", "", "1048576", core, 300000, " archived as * (300000 bytes)\n"},
        {"unreadable limit means none", "", "lots", core, 300000, " archived as * (300000 bytes)\n"},
        {"empty image", "", unlimited, "", 0, " not archived: the core image is empty\n"},
    };
    pid_t pid = start_victim();

    for (const auto &s : scenarios) {
        SCOPED_TRACE(s.name);
        ks_test_syslog_start();
        ks_test_dir fresh;
        root = fresh / "root";
        configure(s.lines);
        ks_test_result r = archive(s.input, pid, s.limit);
        EXPECT_TRUE(exited_with(r.status, 0)) << ks_test_status_text(r.status) << r.err;
        std::string message = s.message;
        if (s.kept == 0) {
            EXPECT_TRUE(tree().empty()) << ::testing::PrintToString(tree());
        } else {
            std::string base = stored();
            EXPECT_TRUE(ks_test_read_file(root + "/pending/" + base) == s.input.substr(0, s.kept));
            message.replace(message.find('*'), 1, base);
        }
        EXPECT_EQ(ks_test_syslog_dump(), "<6> " + who(pid) + message);
    }
}

// The process is gone (as when the kernel did not wait): the core is still
// worth keeping, with an asset that has nothing to say.
TEST_F(Archive, VanishedProcessStillKeepsTheCore)
{
    pid_t gone = ks_test_spawn({"/bin/true"});
    ks_test_stop(gone);
    std::string core = ks_test_random_bytes(8192, 4);

    ks_test_result r = archive(core, gone);
    EXPECT_TRUE(exited_with(r.status, 0)) << ks_test_status_text(r.status);
    std::string base = stored();
    EXPECT_TRUE(ks_test_read_file(root + "/pending/" + base) == core);
    auto entries = asset_read(root + "/assets/" + base);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].first, "kestrel/facts");
    EXPECT_EQ(entries[0].second.content, "core=stored\nmetadata=process gone\n");
    EXPECT_EQ(ks_test_syslog_dump(), "<6> " + who(gone, "unknown executable") + " archived as " + base +
                                         " (8192 bytes); its /proc entry was gone, no metadata\n");
}

// The archive's owner may replace a directory of the tree with a link; the
// archiver, started as root, writes only where that owner could.
TEST_F(Archive, WritesOnlyAsTheArchiveOwner)
{
    need_namespace();
    if (!ks_test_is_root() || getpwnam("nobody") == nullptr || getgrnam("nogroup") == nullptr)
        GTEST_SKIP() << "needs root and nobody:nogroup";
    configure("dump.user = nobody\ndump.group = nogroup\n");
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    std::string guarded = dir / "guarded";
    ASSERT_EQ(mkdir(guarded.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(chown(root.c_str(), getpwnam("nobody")->pw_uid, getgrnam("nogroup")->gr_gid), 0);
    ASSERT_EQ(symlink(guarded.c_str(), (root + "/staging").c_str()), 0);

    pid_t pid = start_victim();
    ks_test_result r = archive(ks_test_random_bytes(4096, 9), pid);
    EXPECT_TRUE(exited_with(r.status, 1)) << ks_test_status_text(r.status);
    EXPECT_TRUE(files_below(guarded).empty()) << "root wrote through the link";
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "error: " + who(pid) + " not archived: " + root +
                                                "/staging is a symbolic link, not a directory of the archive tree: "
                                                "Too many levels of symbolic links\n"))
        << ks_test_syslog_dump();
}

// A configuration that cannot be loaded loses the crash, and says so in the
// log even though the loader's own words went to standard error.
TEST_F(Archive, ConfigurationFailureIsLogged)
{
    need_namespace();
    pid_t pid = start_victim();
    struct {
        std::string file;
        std::string message;
    } cases[] = {
        {"", "configuration file could not be opened: No such file or directory"},
        {"[archive]\ndump.user = no-such-user-here\n", "invalid user: user not found"},
        {"[archive]\ndump.quota = lots\n", "the configuration could not be loaded"},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        ks_test_syslog_start();
        std::remove(conf.c_str());
        if (!c.file.empty())
            ks_test_write_file(conf, c.file);
        ks_test_result r = archive(ks_test_random_bytes(4096, 8), pid);
        EXPECT_TRUE(exited_with(r.status, 1)) << ks_test_status_text(r.status);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "error: " + who(pid) + " not archived: " + c.message + "\n"))
            << ks_test_syslog_dump();
        EXPECT_TRUE(tree().empty());
    }
}

// Started as the kernel starts it: only standard input open, no -P at all.
// Nothing the archiver opens may take the place of standard output or error.
TEST_F(Archive, KernelLikeStartWithOnlyStandardInput)
{
    configure("unknown.key = printed on standard error\n");
    std::string core = ks_test_random_bytes(20000, 5);
    std::string script = "exec 1>&- 2>&-; exec \"$@\"";

    ks_test_result r = ks_test_run({"/bin/sh", "-c", script, "sh", KS_TEST_ARCHIVE, "-c", conf, "-l" + std::string(unlimited)},
                                   {}, core);
    EXPECT_TRUE(exited_with(r.status, 0)) << ks_test_status_text(r.status);
    std::string base = stored();
    EXPECT_TRUE(ks_test_read_file(root + "/pending/" + base) == core);
}

// A fatal signal to the archiver itself dumps nothing, so a crash of the
// archiver cannot come back to it through the core pattern.
TEST_F(Archive, OwnCrashDoesNotRecurse)
{
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    auto env = ks_test_environment();
    std::vector<std::string> argv = command(getpid());
    pid_t pid = fork();
    if (pid == 0) {
        // A dumpable archiver would leave a core in its directory under the
        // host's pattern.
        struct rlimit any = {RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_CORE, &any);
        dup2(in[0], 0);
        if (chdir(dir.path.c_str()) != 0)
            _exit(126);
        std::vector<char *> a, e;
        for (auto &s : argv)
            a.push_back(s.data());
        a.push_back(nullptr);
        for (auto &s : env)
            e.push_back(s.data());
        e.push_back(nullptr);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    close(in[0]);
    // Bytes that are no core: the archiver looks no further for notes and
    // makes the image's file, then waits for the rest.
    ASSERT_EQ(write(in[1], "junk", 4), 4);
    // Waiting for the image: by then its limits are set and its file is made.
    std::string limits = "/proc/" + std::to_string(pid) + "/limits";
    EXPECT_TRUE(ks_test_wait_until([&] { return tree().size() == 1; }));
    EXPECT_NE(ks_test_read_file(limits).find("Max core file size        1                    1"), std::string::npos)
        << ks_test_read_file(limits);
    kill(pid, SIGQUIT);
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR)
        ;
    close(in[1]);
    EXPECT_TRUE(WIFSIGNALED(status)) << ks_test_status_text(status);
    EXPECT_FALSE(WCOREDUMP(status)) << ks_test_status_text(status);
    EXPECT_FALSE(ks_test_exists(dir / "core"));
}

// Small filesystems: a tmpfs mounted in a private mount namespace holds the
// archive tree; what is left on it is listed before the namespace goes.
TEST_F(Archive, QuotaAndFullDiskLeaveNoPartialFiles)
{
    if (!ks_test_is_root() || !ks_test_can_mount())
        GTEST_SKIP() << "needs root with a private mount namespace";
    std::string mnt = dir / "mnt";
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    pid_t pid = start_victim();
    const std::string data = ks_test_random_bytes(3 << 20, 6);
    struct scenario {
        const char *name;
        const char *size;
        const char *quota;
        std::string input;
        const char *left; // files left on the tmpfs
        int priority;
        std::string message;
    } scenarios[] = {
        {"quota refuses", "4m", "50%", data, "", LOG_WARNING,
         "warning: " + who(pid) + " refused: the archive's filesystem would keep less than 50% free\n"},
        {"disk fills", "1m", "0%", data, "", LOG_ERR,
         "error: " + who(pid) + " not archived: failed to write the core image: No space left on device\n"},
        {"holes cost no quota", "4m", "50%", ks_test_random_bytes(1 << 20, 7) + std::string(64 << 20, '\0'),
         "assets pending", LOG_INFO, ""},
    };

    for (const auto &s : scenarios) {
        SCOPED_TRACE(s.name);
        ks_test_syslog_start();
        configure(std::string("dump.quota = ") + s.quota + "\n", mnt + "/root");
        std::string script = "mount -t tmpfs -o size=\"$1\" tmpfs \"$0\" || exit 99; shift; \"$@\" && rc=0 || rc=$?;"
                             " cd \"$0/root\" && for d in */; do d=${d%/}; [ -n \"$(ls -A \"$d\")\" ] && printf '%s ' \"$d\"; done;"
                             " exit $rc";
        std::vector<std::string> args = {"/bin/sh", "-c", script, mnt, s.size};
        for (const auto &a : command(pid))
            args.push_back(a);
        std::vector<std::string> argv = as_dumping(pid, args);
        ks_test_result r = ks_test_run(argv, {}, s.input);
        EXPECT_FALSE(exited_with(r.status, 99)) << r.err;
        EXPECT_EQ(r.out, std::string(s.left) + (s.left[0] != '\0' ? " " : "")) << r.err;
        auto logs = ks_test_syslog_read();
        ASSERT_EQ(logs.size(), 1u) << ks_test_syslog_dump();
        EXPECT_EQ(LOG_PRI(logs[0].priority), s.priority);
        if (!s.message.empty()) {
            EXPECT_EQ(logs[0].text, s.message);
        }
    }
}
