// The client against an archive tree that others write: a user outside the
// archive group, an archive owner who plants links, crashed programs that
// choose their names, paths and line tables. The scenarios that need other
// users or root-only files run as root and skip themselves otherwise.

#include "client_support.h"

#include <csignal>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <sys/sysmacros.h>

static const std::string link_refused = " is a symbolic link: the archive tree is never read through links\n";

static void own_tree(const tree &t, const test_user &owner, mode_t mode)
{
    ASSERT_EQ(chmod(t.dir.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(t.conf.c_str(), 0644), 0);
    ks_test_result r = ks_test_run({"/bin/chown", "-R", owner.name + ":" + owner.name, t.root});
    ASSERT_EQ(exit_code(r), 0) << r.err;
    char octal[16];
    snprintf(octal, sizeof(octal), "%o", static_cast<unsigned int>(mode));
    r = ks_test_run({"/usr/bin/find", t.root, "-type", "d", "-exec", "chmod", octal, "{}", "+"});
    ASSERT_EQ(exit_code(r), 0) << r.err;
}

static std::string archive_user(const test_user &owner)
{
    return "dump.user = " + owner.name + "\ndump.group = " + owner.name + "\n";
}

TEST(ClientTrust, AUserOutsideTheArchiveGroupIsToldInOneLine)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to make users";
    test_user owner("owner"), outsider("outsider");
    if (owner.busy || outsider.busy)
        GTEST_SKIP() << "the machine's global lock is held by another job";
    ASSERT_TRUE(owner.made && outsider.made);
    tree t(true, "snapshot.command = /bin/true %c\nsend.command = /bin/true %S\n", archive_user(owner));
    t.file("failed/pending", "crash-1");
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "crash-1"), "/usr/bin/app"));
    ASSERT_NO_FATAL_FAILURE(own_tree(t, owner, 0750));

    const std::string refused =
        "error: cannot read the archive tree: " + t.root + ": only its owner and the group " + owner.name + " may read it\n";
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"list"}, {"list", "-j"}, {"info", "crash"}, {"debug", "crash"}, {"retry", "all"}, {"metrics"},
             {"history"}, {"signatures", "-j"}}) {
        SCOPED_TRACE(args[0]);
        std::vector<std::string> argv = {KS_TEST_KESTREL, "-c", t.conf};
        argv.insert(argv.end(), args.begin(), args.end());
        ks_test_result r = ks_test_run(outsider.as(argv));
        EXPECT_EQ(exit_code(r), 1);
        EXPECT_EQ(r.err, refused);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(ks_test_exists(t.at("failed/pending", "crash-1")));

    // A member of the group reads it, and so does root, as the archive user.
    ks_test_result r = ks_test_run(outsider.as({KS_TEST_KESTREL, "-c", t.conf, "list", "-f"}, std::to_string(owner.gid)));
    EXPECT_EQ(exit_code(r), 0) << r.err;
    EXPECT_TRUE(r.out.starts_with(" ! pending/crash-1 c-a app   ")) << r.out;
    r = t.kestrel({"list", "-f"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    EXPECT_TRUE(r.out.starts_with(" ! pending/crash-1 c-a app   ")) << r.out;
}

TEST(ClientTrust, RootReadsTheTreeAsTheArchiveUser)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to make users";
    test_user owner("archive");
    if (owner.busy)
        GTEST_SKIP() << "the machine's global lock is held by another job";
    ASSERT_TRUE(owner.made);
    tree t(true, "snapshot.command = /bin/true %c\nsend.command = /bin/true %S\n", archive_user(owner));
    fake_gdb gdb;
    ks_test_dir programs;
    ASSERT_EQ(chmod(programs.path.c_str(), 0755), 0);
    std::string program = programs / "app";
    ks_test_write_file(program, "program");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    t.file("pending", "crash-1");
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "crash-1"), program));
    ASSERT_NO_FATAL_FAILURE(own_tree(t, owner, 0750));
    // gdb writes its record as the archive user.
    ASSERT_EQ(chown(gdb.dir.path.c_str(), owner.uid, owner.gid), 0);

    ks_test_result r = debug(t, gdb.dir.path, {"crash-1"});
    EXPECT_EQ(exit_code(r), 7) << r.err;
    std::vector<std::string> args = gdb.arguments();
    ASSERT_GE(args.size(), 3u);
    EXPECT_EQ(args[1], std::to_string(owner.uid));
    // Root's supplementary groups are gone: only the archive group is left.
    EXPECT_EQ(args[2], std::to_string(owner.gid));

    // A directory only root may read is out of reach once root is given up.
    ASSERT_EQ(chown(t.at("pending", "").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(t.at("pending", "").c_str(), 0700), 0);
    r = t.kestrel({"list"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: cannot read the archive tree: " + t.root + "/pending: only its owner and the group root may read it\n");
}

// The archive owner replaces a directory of the tree by a link to a
// directory only root may touch. Whether the client gives up root for the
// archive user or runs as root, it follows no such link.
TEST(ClientTrust, LinksInPlaceOfTreeDirectoriesAreRefused)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root for a root-only directory";
    test_user owner("links");
    if (owner.busy)
        GTEST_SKIP() << "the machine's global lock is held by another job";
    ASSERT_TRUE(owner.made);
    const struct {
        std::string replaced; // the tree directory that becomes a link
        std::string inside;   // where the root-only file lies under the link's target
        std::vector<std::string> args;
    } cases[] = {
        {"failed/pending", "stolen", {"retry", "all"}},
        {"failed", "pending/stolen", {"retry", "all"}},
        {"pending", "stolen", {"retry", "all"}},
        {"", "failed/pending/stolen", {"retry", "all"}},
        {"sending", "stolen", {"list"}},
        {"committed/coredump", "stolen", {"debug", "stolen"}},
        {"committed", "coredump/stolen", {"info", "stolen"}},
        {"assets", "stolen", {"metrics"}},
    };
    for (const bool drop : {true, false}) {
        for (const auto &c : cases) {
            SCOPED_TRACE((drop ? "as the archive user: " : "as root: ") + c.replaced + " " + c.args[0]);
            tree t(true, "snapshot.command = /bin/true %c\nsend.command = /bin/true %S\n",
                   drop ? archive_user(owner) : "");
            ks_test_dir secret;
            std::string target = secret / "target", file = target + "/" + c.inside;
            ASSERT_EQ(ks_test_run({"/bin/mkdir", "-p", file.substr(0, file.rfind('/'))}).status, 0);
            ks_test_write_file(file, "root only");
            ASSERT_EQ(chmod(file.c_str(), 0600), 0);
            ASSERT_EQ(chmod(secret.path.c_str(), 0700), 0);
            // The crash that retry would move, when the link is its target.
            t.file("failed/pending", "waiting");
            ASSERT_NO_FATAL_FAILURE(own_tree(t, owner, 0750));

            std::string link = c.replaced.empty() ? t.root : t.root + "/" + c.replaced;
            ASSERT_EQ(ks_test_run({"/bin/mv", link, link + ".old"}).status, 0);
            ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

            ks_test_result r = t.kestrel(c.args);
            EXPECT_EQ(exit_code(r), 1);
            EXPECT_EQ(r.err, "error: " + link + link_refused);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(ks_test_read_file(file), "root only");
            EXPECT_FALSE(ks_test_exists(t.root + ".old/pending/waiting"));
            EXPECT_FALSE(ks_test_exists(target + "/waiting"));
        }
    }
}

// An asset that is a link is no asset: nothing is read through it.
TEST(ClientTrust, AnAssetThatIsALinkIsNotRead)
{
    tree t;
    ks_test_dir elsewhere;
    t.file("pending", "crash-1");
    ASSERT_NO_FATAL_FAILURE(asset_own(elsewhere / "asset", "/usr/bin/secretapp"));
    ASSERT_EQ(symlink((elsewhere / "asset").c_str(), t.at("assets", "crash-1").c_str()), 0);

    ks_test_result r = t.kestrel({"list", "-f"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_TRUE(r.out.starts_with("   pending/crash-1 c-- --   ")) << r.out;
    r = t.kestrel({"info", "crash-1"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_NE(r.out.find("executable:   unknown\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("asset"), std::string::npos) << r.out;
}

// The table masks what a terminal would take for a command, C1 controls
// and bytes that are not UTF-8 as C0 controls, in names and executables;
// everything else prints as before, byte for byte.
TEST(ClientTrust, ListMasksWhatATerminalWouldObey)
{
    const struct {
        std::string name, executable, shown_name, shown_application;
    } cases[] = {
        {"plain", "/usr/bin/app", "plain", "app"},
        {"utf8", "/srv/caf\xc3\xa9/b\xc3\xa4r", "utf8", "b\xc3\xa4r"},
        {"csi", "/tmp/\xc2\x9b" "31mred", "csi", "?31mred"},
        {"nel", "/tmp/a\xc2\x85z", "nel", "a?z"},
        {"bytes", "/tmp/\xff\xfe" "bad", "bytes", "??bad"},
        {"cut", "/tmp/\xe2\x82-x", "cut", "?-x"},
        {"overlong", "/tmp/\xc0\xaf" "x", "overlong", "??x"},
        {"c0", "/tmp/\x1b[2J\x07", "c0", "?[2J?"},
        {"n\xc2\x9b" "ame\x1b", "/usr/bin/app", "n?ame?", "app"},
        {"\xe2\x80\xa8sep", "/usr/bin/\xe2\x80\xa8", "\xe2\x80\xa8sep", "\xe2\x80\xa8"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown_name);
        tree t;
        std::string core = t.file("pending", c.name, 2048);
        ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", c.name), c.executable));
        ks_test_result r = t.kestrel({"list", "-f"});
        EXPECT_EQ(exit_code(r), 0);
        EXPECT_EQ(r.out, "   pending/" + c.shown_name + " c-a " + c.shown_application + "   " + when(core) +
                             "    2.00kB\n\n[pending]/1O/2.00kB \n");
        // The JSON lines keep the executable, escaped as JSON escapes it.
        r = t.kestrel({"list", "-j"});
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
        EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos);
    }
}

// A root-only file named in the crashed program's line table, for the
// program built with "#line" pointing at it.
struct secret_file {
    std::string path, line;
    secret_file()
    {
        std::random_device random;
        std::string word = std::to_string(random()) + std::to_string(getpid());
        path = "/root/kestrel-secret-" + word + ".txt";
        line = "the secret line " + word;
        ks_test_write_file(path, "first line\n" + line + "\nthird line\n");
        chmod(path.c_str(), 0600);
    }
    ~secret_file() { (void) unlink(path.c_str()); }
};

static bool have(const char *program)
{
    return access(program, X_OK) == 0;
}

TEST(ClientTrust, GdbShowsNoSourceLineTheCrashedProcessCouldNotRead)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root for a root-only source file";
    if (!have("/usr/bin/gdb") || !have("/usr/bin/gcore") || !have("/usr/bin/cc"))
        GTEST_SKIP() << "needs gdb, gcore and cc";
    secret_file secret;
    tree t;
    ks_test_dir build;
    ASSERT_EQ(chmod(build.path.c_str(), 0755), 0);
    ks_test_write_file(build / "spin.c", "#line 2 \"" + secret.path + "\"\n"
                                         "int spin(volatile int *x) { for (;;) ++*x; }\n"
                                         "#line 1 \"main.c\"\n"
                                         "int main(void) { volatile int x = 0; return spin(&x); }\n");
    // The compiler, gdb and the program run without the syslog stand-in,
    // which the sanitizer build instruments.
    const std::vector<std::string> plain = {"LD_PRELOAD="};
    ks_test_result r = ks_test_run({"/usr/bin/cc", "-g", "-O0", "-o", build / "spin", build / "spin.c"}, plain);
    ASSERT_EQ(exit_code(r), 0) << r.err;

    // A core image of the program while it runs in the function whose lines
    // are the secret's, as gcore writes it.
    pid_t pid = ks_test_spawn({build / "spin"}, plain);
    ASSERT_GT(pid, 0);
    std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    ASSERT_TRUE(ks_test_wait_until([&] {
        std::ifstream in(stat);
        std::string field;
        for (int i = 0; i < 14 && in >> field; i++) {
        }
        return !field.empty() && std::stol(field) > 2; // user time in ticks
    }));
    r = ks_test_run({"/usr/bin/gcore", "-o", build / "core", std::to_string(pid)}, plain);
    ks_test_stop(pid);
    ASSERT_EQ(exit_code(r), 0) << r.err;
    ASSERT_EQ(rename((build / "core." + std::to_string(pid)).c_str(), t.at("pending", "spin-crash").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "spin-crash"), build / "spin"));

    r = debug(t, "/usr/bin:/bin", {"spin", "--", "-batch", "-ex", "bt"}, plain);
    EXPECT_EQ(exit_code(r), 0) << r.err;
    EXPECT_NE(r.out.find(secret.path + ":2"), std::string::npos) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find(secret.line), std::string::npos) << r.out;

    // The administrator who trusts the crash turns sources on again: the
    // line then shows, so the check above could see it.
    r = debug(t, "/usr/bin:/bin", {"spin", "--", "-iex", "set source open on", "-batch", "-ex", "bt"}, plain);
    EXPECT_NE(r.out.find(secret.line), std::string::npos) << r.out << r.err;
}

// What identifies the executable beyond its path, as the archiver saw it.
TEST(ClientTrust, InfoAndDebugTellWhenTheExecutableMayBeAnotherFile)
{
    tree t;
    fake_gdb gdb;
    ks_test_dir programs;
    std::string program = programs / "app";
    ks_test_write_file(program, "program");
    struct stat st;
    ASSERT_EQ(stat(program.c_str(), &st), 0);
    std::string device = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    const struct {
        std::string facts, info, warnings;
    } cases[] = {
        {"uid=1000\ngid=100\nexe.device=" + device + "\nexe.inode=" + std::to_string(st.st_ino) +
             "\nmount.namespace=4026531841\nmount.namespace.initial=yes\n",
         "owner:        uid 1000, gid 100\n"
         "exe file:     device " + device + ", inode " + std::to_string(st.st_ino) + "\n"
         "mount ns:     4026531841, the host's\n",
         ""},
        {"uid=1000\ngid=100\nexe.device=" + device + "\nexe.inode=1\nmount.namespace=4026532999\n"
         "mount.namespace.initial=no\n",
         "owner:        uid 1000, gid 100\n"
         "exe file:     device " + device + ", inode 1\n"
         "mount ns:     4026532999, not the host's\n"
         "warning:      the crash came from another mount namespace: the executable's path may name another "
         "file here\n",
         "warning: " + program + " is not the file that crashed (device " + device + ", inode 1 then; device " +
             device + ", inode " + std::to_string(st.st_ino) + " now)\n"
             "warning: the crash came from another mount namespace: " + program + " may name another file here\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.facts);
        t.file("pending", "crash-1");
        ASSERT_NO_FATAL_FAILURE(asset_members(t.at("assets", "crash-1"),
                                              {{"/proc/self/exe", program, true}, {"kestrel/facts", c.facts, false}}));
        ks_test_result r = t.kestrel({"info", "crash-1"});
        EXPECT_EQ(exit_code(r), 0);
        EXPECT_NE(r.out.find("command line: unknown\n" + c.info + "files:\n"), std::string::npos) << r.out;
        r = debug(t, gdb.dir.path, {"crash-1"});
        EXPECT_EQ(exit_code(r), 7);
        EXPECT_EQ(r.err, c.warnings);
    }
}
