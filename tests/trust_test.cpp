// The attacks a local user can make on the crash pipeline, each played as
// it was reproduced against the real programs, as root with users made for
// the test, and the assertion that it no longer works: reading another
// user's crash, passing the quota, steering root with links in the tree,
// passing for another executable, and metadata of the wrong process.

#include "common/tar.h"

#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char unlimited[] = "18446744073709551615";
const char started[] = "Kestrel server initialized, entering main loop.";

// Every path below root, directories included, root itself first.
std::vector<std::string> tree_paths(const std::string &root)
{
    static std::vector<std::string> *found;
    std::vector<std::string> paths;

    found = &paths;
    nftw(
        root.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return found->push_back(p), 0; },
        16, FTW_PHYS);
    return paths;
}

std::map<std::string, std::string> asset_entries(const std::string &path)
{
    std::map<std::string, std::string> entries;
    struct ks_tar_iterator *it = ks_tar_iterator_open(path.c_str());
    const char *name, *content;
    size_t length;
    ks_tar_type type;

    if (it == nullptr)
        return entries;
    while ((content = ks_tar_iterate(it, &name, &length, &type)) != nullptr)
        entries[name] = type == KS_TAR_T_LINK ? std::string(content) : std::string(content, length);
    ks_tar_iterator_destroy(it);
    return entries;
}

struct Trust : ::testing::Test {
    ks_test_dir dir;
    std::string root = dir / "root", conf = dir / "kestrel.conf";
    // Removed only after TearDown has stopped the processes that run as them.
    std::unique_ptr<ks_test_user> owner, other;
    std::vector<pid_t> processes;

    void SetUp() override
    {
        if (!ks_test_is_root() || !ks_test_can_mount())
            GTEST_SKIP() << "plays users against each other: needs root with a private mount namespace";
        ks_test_syslog_start();
        // The archive's owner must reach its tree.
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    }

    void TearDown() override
    {
        for (pid_t pid : processes)
            ks_test_stop(pid);
    }

    void configure(const std::string &archive_lines, const std::string &daemon_lines = "")
    {
        ks_test_write_file(conf, "[archive]\ndump.root = " + root + "\narchive.disabled = true\ndump.quota = 0%\n" +
                                     archive_lines + "[daemon]\n" +
                                     (daemon_lines.empty() ? "snapshot.command = true\nsend.command = true\n"
                                                           : daemon_lines));
    }

    pid_t spawn(const std::vector<std::string> &argv)
    {
        pid_t pid = ks_test_spawn(argv);
        processes.push_back(pid);
        return pid;
    }

    // A live process standing in for a crashed one, once it runs program.
    pid_t victim(const std::vector<std::string> &argv, const std::string &program)
    {
        pid_t pid = spawn(argv);
        std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        EXPECT_TRUE(ks_test_wait_until([&] { return ks_test_link_target(exe) == program; })) << ks_test_link_target(exe);
        return pid;
    }

    std::vector<std::string> archiver(pid_t pid, const std::string &limit = unlimited)
    {
        return {KS_TEST_ARCHIVE, "-c", conf, "-p" + std::to_string(pid), "-P" + std::to_string(pid), "-l" + limit};
    }

    ks_test_result archive(pid_t pid, const std::string &core, bool dumping = true)
    {
        if (dumping)
            return ks_test_run(ks_test_as_dumping(pid, dir.path, archiver(pid)), {}, core);
        return ks_test_run(archiver(pid), {}, core);
    }

    std::string stored(const std::string &subdirectory = "pending")
    {
        for (const auto &path : tree_paths(root + "/" + subdirectory))
            if (path != root + "/" + subdirectory)
                return path.substr(path.rfind('/') + 1);
        return "";
    }

    std::string facts(const std::string &base) { return asset_entries(root + "/assets/" + base)["kestrel/facts"]; }
};

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

} // namespace

// A user who watched sending/ read another user's password out of a
// snapshot that waited there for hours: now no other user can open anything
// in the tree while a crash waits in any stage, or after its commit.
TEST_F(Trust, NoOtherUserOpensAnythingInTheTreeAtAnyStage)
{
    owner = std::make_unique<ks_test_user>("kst-own");
    other = std::make_unique<ks_test_user>("kst-oth");
    ASSERT_TRUE(owner->made && other->made) << "useradd";
    std::string flags = dir / "flags";
    ASSERT_EQ(mkdir(flags.c_str(), 0777), 0);
    ASSERT_EQ(chmod(flags.c_str(), 0777), 0);
    // Each command says it runs, then waits to be let go.
    auto stage = [&](const std::string &name, const std::string &work) {
        std::string path = dir / name;
        ks_test_write_file(path, "#!/bin/sh\ntouch " + flags + "/" + name + ".running\n"
                                 "while [ ! -e " + flags + "/" + name + ".go ]; do sleep 0.05; done\n" + work);
        chmod(path.c_str(), 0755);
        return path;
    };
    std::string snapshot = stage("snapshot", "cat \"$1\" >\"$2\"\n"), send = stage("send", "exit 0\n");
    configure("dump.user = " + owner->name + "\ndump.group = " + owner->name + "\n",
              "snapshot.command = " + snapshot + " %c %S\nsnapshot.concurrency = 1\nsnapshot.commit = archive\n"
              "send.command = " + send + " %S\nsend.concurrency = 1\nsend.commit = archive\n");
    spawn({KS_TEST_KESTRELD, "-f", "-c", conf});
    ASSERT_TRUE(ks_test_wait_until([] { return ks_test_syslog_has(LOG_INFO, started); })) << ks_test_syslog_dump();
    pid_t pid = victim({"/usr/bin/tail", "-f", "/dev/null"}, "/usr/bin/tail");
    ks_test_result r = archive(pid, "secret: hunter2\n" + ks_test_random_bytes(100000, 1));
    ASSERT_TRUE(exited_with(r.status, 0)) << ks_test_syslog_dump();

    auto closed = [&](const char *when, size_t at_least) {
        SCOPED_TRACE(when);
        auto paths = tree_paths(root);
        EXPECT_GE(paths.size(), at_least) << ::testing::PrintToString(paths);
        for (const auto &path : paths) {
            struct stat st;
            ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(st.st_mode & 07, 0u) << path << " is open to others";
            EXPECT_EQ(ks_test_open_as(other->uid, other->gid, path, O_RDONLY), EACCES) << path;
            EXPECT_EQ(ks_test_open_as(owner->uid, owner->gid, path, O_RDONLY), 0) << path;
        }
    };
    auto go = [&](const char *name) { ks_test_write_file(flags + "/" + name + ".go", ""); };
    auto running = [&](const char *name) {
        return ks_test_wait_until([&] { return ks_test_exists(flags + "/" + name + ".running"); });
    };

    ASSERT_TRUE(running("snapshot")) << ks_test_syslog_dump();
    closed("while the snapshot runs", 13);
    go("snapshot");
    ASSERT_TRUE(running("send")) << ks_test_syslog_dump();
    std::string base = stored("sending");
    struct stat st;
    ASSERT_EQ(stat((root + "/sending/" + base).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "a snapshot waiting for its send is its owner's alone";
    closed("while the send waits", 14);
    go("send");
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(root + "/committed/snapshot/" + base); }));
    closed("after the commit", 14);
}

// The archiver records what it reads as root only from the process that
// dumps its core: a pid reaped and reused before it looks is another
// process. Everything a crash names is escaped in the log.
TEST_F(Trust, MetadataComesOnlyFromTheDumpingProcess)
{
    configure("");
    std::string forged = dir / "tail\nkestrel[1]: crash of pid 1 (sshd) archived";
    ASSERT_TRUE(exited_with(ks_test_run({"/bin/cp", "/usr/bin/tail", forged}).status, 0));
    pid_t plain = victim({"/usr/bin/tail", "-f", "/dev/null"}, "/usr/bin/tail");
    pid_t hostile = victim({forged, "-f", "/dev/null"}, forged);
    const struct {
        const char *name;
        pid_t pid;
        bool dumping;
        const char *metadata;
        std::string log; // after "crash of pid N (", up to " archived as"
        const char *note;
    } cases[] = {
        {"a process not dumping its core", plain, false, "not dumping", "unknown executable)",
         "; its /proc entry was not a process dumping its core, no metadata\n"},
        {"a dumping process with a forged line in its path", hostile, true, "complete",
         dir.path + "/tail\\x0akestrel[1]: crash of pid 1 (sshd) archived)", "\n"},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ks_test_syslog_start();
        ks_test_result r = archive(c.pid, ks_test_random_bytes(5000, 2), c.dumping);
        ASSERT_TRUE(exited_with(r.status, 0)) << ks_test_status_text(r.status);
        std::string base = stored();
        auto entries = asset_entries(root + "/assets/" + base);
        EXPECT_NE(entries["kestrel/facts"].find(std::string("metadata=") + c.metadata + "\n"), std::string::npos)
            << entries["kestrel/facts"];
        EXPECT_EQ(entries.count("/proc/self/exe"), c.dumping ? 1u : 0u);
        EXPECT_EQ(entries.count("/proc/self/cmdline"), c.dumping ? 1u : 0u);
        EXPECT_EQ(ks_test_syslog_dump(), "<6> crash of pid " + std::to_string(c.pid) + " (" + c.log + " archived as " +
                                             base + " (5000 bytes)" + c.note);
        std::remove((root + "/pending/" + base).c_str());
    }
}

// A user who bind-mounted another program over a system path in a mount
// namespace of their own was recorded as that path; the asset now says
// which file it was and that it came from elsewhere.
TEST_F(Trust, TheExecutableIsKnownBeyondItsPath)
{
    configure("");
    pid_t pid = victim({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                        "mount --bind /bin/sleep /usr/bin/tail && exec /usr/bin/tail 1000"},
                       "/usr/bin/tail");
    ASSERT_TRUE(ks_test_wait_until(
        [&] { return ks_test_read_file("/proc/" + std::to_string(pid) + "/cmdline").starts_with("/usr/bin/tail"); }));

    ks_test_result r = archive(pid, ks_test_random_bytes(4096, 3));
    ASSERT_TRUE(exited_with(r.status, 0)) << ks_test_syslog_dump();
    std::string base = stored();
    auto entries = asset_entries(root + "/assets/" + base);
    EXPECT_EQ(entries["/proc/self/exe"], "/usr/bin/tail");
    struct stat sleep_file, tail_file;
    ASSERT_EQ(stat("/bin/sleep", &sleep_file), 0);
    ASSERT_EQ(stat("/usr/bin/tail", &tail_file), 0);
    std::string text = entries["kestrel/facts"];
    EXPECT_NE(text.find("exe.inode=" + std::to_string(sleep_file.st_ino) + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("exe.inode=" + std::to_string(tail_file.st_ino) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("mount.namespace.initial=no\n"), std::string::npos) << text;
}

// A process with 20,000 mappings of a file with a 3,800-byte path made an
// asset of 67 MB that the quota never counted; ten archivers at once each
// judged the free space alone. Now each metadata file is capped, the asset
// counts, and together they pass the quota by at most one transfer each.
TEST_F(Trust, TheQuotaHoldsForHugeMetadataAndManyArchivers)
{
    // A path of 19 directories of 200 characters and a file.
    std::string deep = dir.path;
    for (int i = 0; i < 19; i++) {
        deep += "/" + std::string(199, 'd') + static_cast<char>('a' + i);
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    std::string mapped = deep + "/mapped";
    ks_test_write_file(mapped, std::string(4096, 'x'));
    std::string python = "import ctypes, os, sys, time\n"
                         "libc = ctypes.CDLL(None, use_errno=True)\n"
                         "libc.mmap.restype = ctypes.c_void_p\n"
                         "libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,"
                         " ctypes.c_int, ctypes.c_long]\n"
                         "f = os.open(sys.argv[1], os.O_RDONLY)\n"
                         "for _ in range(20000):\n"
                         "    assert libc.mmap(None, 4096, 1, 2, f, 0) != ctypes.c_void_p(-1).value\n"
                         "open(sys.argv[2], 'w').close()\n"
                         "time.sleep(1000)\n";
    std::string ready = dir / "mapped.ready";
    pid_t mapper = spawn({"/usr/bin/python3", "-c", python, mapped, ready});
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(ready); })) << "python3 mapping";
    configure("");
    ks_test_result r = archive(mapper, ks_test_random_bytes(4096, 4));
    ASSERT_TRUE(exited_with(r.status, 0)) << ks_test_syslog_dump();
    std::string base = stored();
    struct stat st;
    ASSERT_EQ(stat((root + "/assets/" + base).c_str(), &st), 0);
    EXPECT_LT(st.st_size, 2 << 20) << "the asset is capped";
    EXPECT_NE(facts(base).find("metadata=cut: maps beyond 1048576 bytes\n"), std::string::npos) << facts(base);
    EXPECT_NE(ks_test_syslog_dump().find("; its maps was cut at 1048576 bytes\n"), std::string::npos)
        << ks_test_syslog_dump();

    // Ten archivers streaming at once into a 64 MiB filesystem with half of
    // it reserved: a sampler watches the free space from outside.
    std::string mnt = dir / "mnt", input = dir / "input";
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    ks_test_write_file(input, ks_test_random_bytes(8 << 20, 5));
    pid_t pid = victim({"/usr/bin/tail", "-f", "/dev/null"}, "/usr/bin/tail");
    ks_test_write_file(conf, "[archive]\ndump.root = " + mnt + "/root\narchive.disabled = true\ndump.quota = 50%\n"
                             "[daemon]\nsnapshot.command = true\nsend.command = true\n");
    std::string script = "mount -t tmpfs -o size=64m tmpfs \"$0\" || exit 99; touch \"$0/.mounted\"; "
                         "input=$1; shift; for i in 1 2 3 4 5 6 7 8 9 10; do \"$@\" <\"$input\" & done; wait; "
                         "sleep 0.2";
    std::vector<std::string> args = {"/bin/sh", "-c", script, mnt, input};
    for (const auto &a : archiver(pid))
        args.push_back(a);
    pid_t storm = spawn(ks_test_as_dumping(pid, dir.path, args));
    std::string view = "/proc/" + std::to_string(storm) + "/root" + mnt;
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(view + "/.mounted"); }));
    struct statvfs vfs;
    ASSERT_EQ(statvfs(view.c_str(), &vfs), 0);
    const double total = static_cast<double>(vfs.f_blocks) * static_cast<double>(vfs.f_frsize);
    double least = total;
    while (statvfs(view.c_str(), &vfs) == 0 && kill(storm, 0) == 0) {
        double available = static_cast<double>(vfs.f_bavail) * static_cast<double>(vfs.f_frsize);
        least = std::min(least, available);
        if (waitpid(storm, nullptr, WNOHANG) == storm)
            break;
    }
    // One 256 KiB transfer per archiver, and a page each for rounding.
    EXPECT_GE(least, total / 2 - 10 * (256.0 + 4) * 1024) << "the free space fell below the quota by more";
    EXPECT_LT(least, total / 2 + 8.0 * 1024 * 1024) << "the archivers stored as much as the quota lets";

    // An image of zeros costs root CPU for as long as the kernel streams it:
    // dump.size.max cuts it like a core size limit.
    ks_test_syslog_start();
    ks_test_run({"/bin/rm", "-rf", root});
    configure("dump.size.max = 1M\n");
    std::string zeros(64 << 20, '\0');
    r = archive(pid, zeros);
    ASSERT_TRUE(exited_with(r.status, 0)) << ks_test_syslog_dump();
    base = stored();
    ASSERT_EQ(stat((root + "/pending/" + base).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1 << 20);
    EXPECT_NE(ks_test_syslog_dump().find(" archived as " + base + ", cut at dump.size.max of 1048576 bytes\n"),
              std::string::npos)
        << ks_test_syslog_dump();
    EXPECT_NE(facts(base).find("core=cut\ncore.limit=1048576\n"), std::string::npos) << facts(base);
}

// The archive's owner could replace the archive root, or a directory in it,
// with a link to a directory of root's, and root then created the tree
// there. Now a link where a tree directory should be is an error that names
// it, for the archiver and for the daemon's start-up, and nothing is made
// outside the tree.
TEST_F(Trust, LinksInTheTreeSteerNobody)
{
    owner = std::make_unique<ks_test_user>("kst-lnk");
    ASSERT_TRUE(owner->made) << "useradd";
    configure("dump.user = " + owner->name + "\ndump.group = " + owner->name + "\n");
    std::string guarded = dir / "guarded";
    ASSERT_EQ(mkdir(guarded.c_str(), 0700), 0);
    pid_t pid = victim({"/usr/bin/tail", "-f", "/dev/null"}, "/usr/bin/tail");
    const struct {
        const char *name;
        const char *link; // below the root; empty: the root itself
    } cases[] = {{"the archive root", ""}, {"the pending directory", "pending"}, {"the assets directory", "assets"}};

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ks_test_syslog_start();
        ks_test_run({"/bin/rm", "-rf", root});
        std::string at = root;
        if (*c.link != '\0') {
            ASSERT_EQ(mkdir(root.c_str(), 0750), 0);
            ASSERT_EQ(chown(root.c_str(), owner->uid, owner->gid), 0);
            at = root + "/" + c.link;
        }
        ASSERT_EQ(symlink(guarded.c_str(), at.c_str()), 0);
        ASSERT_EQ(lchown(at.c_str(), owner->uid, owner->gid), 0);

        ks_test_result r = archive(pid, ks_test_random_bytes(4096, 6));
        EXPECT_TRUE(exited_with(r.status, 1)) << ks_test_status_text(r.status);
        EXPECT_NE(ks_test_syslog_dump().find(at + " is a symbolic link, not a directory of the archive tree"),
                  std::string::npos)
            << ks_test_syslog_dump();

        r = ks_test_run({KS_TEST_KESTRELD, "-f", "-c", conf});
        EXPECT_TRUE(exited_with(r.status, 1)) << ks_test_status_text(r.status);
        EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "error: failed to ensure archive: failed to ensure path: " + at +
                                                    " is a symbolic link\n"))
            << ks_test_syslog_dump();
        EXPECT_EQ(tree_paths(guarded).size(), 1u) << "something was made through the link";
    }
}
