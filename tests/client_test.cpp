// The client run as a real program on archive trees built in temporary
// directories, with assets from our own writer and from Python's tarfile.

#include "common/tar.h"
#include "support.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

static const char usage_text[] = "Usage: kestrel [-c <configuration file>] <command> [<arguments>]\n\n"
                                 "    list           Query state of dumps\n"
                                 "    retry          Attempt to retry sending of a dump\n";

static const char *const directories[] = {
    "staging", "pending", "sending", "assets", "failed", "failed/pending", "failed/sending", "committed",
    "committed/coredump", "committed/snapshot",
};

static int exit_code(const ks_test_result &r) { return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1; }

static std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream in(text);

    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

// The base names of the listing, in printed order (cut names lose "...").
static std::vector<std::string> listed(const std::string &out)
{
    std::vector<std::string> names;

    for (const auto &line : lines(out)) {
        if (line.empty())
            break;
        size_t slash = line.find('/'), blank = line.find(' ', slash);
        std::string name = line.substr(slash + 1, blank - slash - 1);
        if (name.ends_with("..."))
            name.resize(name.size() - 3);
        names.push_back(name);
    }
    return names;
}

// ctime's text of a file's status-change time, for a child run with TZ=UTC.
static std::string when(const std::string &path)
{
    struct stat st;
    struct tm tm;
    char text[64];

    if (stat(path.c_str(), &st) == -1)
        return "stat failed";
    gmtime_r(&st.st_ctime, &tm);
    strftime(text, sizeof(text), "%a %b %e %H:%M:%S %Y", &tm);
    return text;
}

struct tree {
    ks_test_dir dir;
    std::string root = dir / "archive";
    std::string conf = dir / "kestrel.conf";

    explicit tree(bool create = true, const std::string &daemon = "snapshot.command = /bin/true %c\n"
                                                                  "send.command = /bin/true %S\n")
    {
        ks_test_write_file(conf, "[archive]\ndump.root = " + root + "\n[daemon]\n" + daemon);
        if (!create)
            return;
        mkdir(root.c_str(), 0755);
        for (const char *d : directories)
            mkdir((root + "/" + d).c_str(), 0755);
    }

    std::string at(const std::string &directory, const std::string &name) const
    {
        return root + "/" + directory + "/" + name;
    }

    std::string file(const std::string &directory, const std::string &name, size_t size = 100) const
    {
        std::string path = at(directory, name);
        ks_test_write_file(path, std::string(size, 'x'));
        return path;
    }

    ks_test_result kestrel(const std::vector<std::string> &args) const
    {
        std::vector<std::string> argv = {KS_TEST_KESTREL, "-c", conf};
        argv.insert(argv.end(), args.begin(), args.end());
        return ks_test_run(argv, {"TZ=UTC"});
    }
};

// An asset written by our own writer: a file entry, then the executable link.
static void asset_own(const std::string &path, const std::string &executable)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_NE(fd, -1);
    ks_tar_t *tar = ks_tar_fdopen(fd);
    ASSERT_NE(tar, nullptr);
    const char *cmdline = "/proc/self/cmdline";
    ks_tar_begin(tar, cmdline, static_cast<unsigned int>(strlen(cmdline)));
    ASSERT_TRUE(ks_tar_metadata_commit(tar)) << ks_tar_error(tar);
    ASSERT_EQ(write(fd, "app\0-x\0", 7), 7);
    ASSERT_TRUE(ks_tar_end(tar, 7)) << ks_tar_error(tar);
    if (!executable.empty()) {
        ASSERT_TRUE(ks_tar_symlink(tar, "/proc/self/exe", executable.c_str(), time(nullptr))) << ks_tar_error(tar);
    }
    ASSERT_TRUE(ks_tar_commit(tar)) << ks_tar_error(tar);
    ks_tar_destroy(tar);
    close(fd);
}

// An asset written by Python's tarfile in pax format. Members are
// "l:name:target" (symbolic link), "f:name:data" or "d:name:" (directory).
static void asset_python(const std::string &path, const std::vector<std::string> &members)
{
    static const char script[] = "import io, sys, tarfile\n"
                                 "with tarfile.open(sys.argv[1], 'w', format=tarfile.PAX_FORMAT) as t:\n"
                                 "    for m in sys.argv[2:]:\n"
                                 "        kind, name, value = m.split(':', 2)\n"
                                 "        info = tarfile.TarInfo(name)\n"
                                 "        if kind == 'l':\n"
                                 "            info.type = tarfile.SYMTYPE\n"
                                 "            info.linkname = value\n"
                                 "            t.addfile(info)\n"
                                 "        elif kind == 'd':\n"
                                 "            info.type = tarfile.DIRTYPE\n"
                                 "            t.addfile(info)\n"
                                 "        else:\n"
                                 "            data = value.encode()\n"
                                 "            info.size = len(data)\n"
                                 "            t.addfile(info, io.BytesIO(data))\n";
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", script, path};

    argv.insert(argv.end(), members.begin(), members.end());
    ks_test_result r = ks_test_run(argv);
    ASSERT_EQ(exit_code(r), 0) << r.err;
}

static bool have_python(void) { return access("/usr/bin/python3", X_OK) == 0; }

TEST(ClientCommandLine, UsageVersionAndUnknownCommand)
{
    tree t;

    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"-x", "--whatever"}, {"-h"}, {"--help"}, {""}}) {
        std::vector<std::string> argv = {KS_TEST_KESTREL};
        argv.insert(argv.end(), args.begin(), args.end());
        ks_test_result r = ks_test_run(argv);
        EXPECT_EQ(exit_code(r), 0);
        EXPECT_EQ(r.out, usage_text);
        EXPECT_EQ(r.err, "");
    }
    for (const char *v : {"-v", "--version"}) {
        ks_test_result r = ks_test_run({KS_TEST_KESTREL, v, "list"});
        EXPECT_EQ(exit_code(r), 0);
        EXPECT_EQ(r.out, "kestrel version 1.5.18\n");
    }
    for (const auto &argv : std::vector<std::vector<std::string>>{{KS_TEST_KESTREL, "-c"},
                                                                   {KS_TEST_KESTREL, "--cf", "", "list"}}) {
        ks_test_result r = ks_test_run(argv);
        EXPECT_EQ(exit_code(r), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage_text);
    }

    ks_test_result r = t.kestrel({"frobnicate"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, std::string("error: unknown command.\n") + usage_text);

    r = t.kestrel({"list", "-h"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_TRUE(r.err.ends_with("Usage: list [-a <application>] [-s <creation | application>]\n")) << r.err;
    r = t.kestrel({"list", "-a"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_TRUE(r.err.ends_with("Usage: list [-a <application>] [-s <creation | application>]\n")) << r.err;
    r = t.kestrel({"retry"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "Usage: retry <object> ...\n");
}

TEST(ClientCommandLine, MissingStageTemplateIsNamed)
{
    tree send_only(true, "send.command = /bin/true %S\n");
    ks_test_result r = send_only.kestrel({"list"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: snapshot.command is not set in " + send_only.conf + "\n");

    tree empty_send(true, "snapshot.command = /bin/true %c\nsend.command =\n");
    r = empty_send.kestrel({"retry", "all"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: send.command is not set in " + empty_send.conf + "\n");

    tree neither(true, "");
    r = neither.kestrel({"list"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: snapshot.command and send.command are not set in " + neither.conf + "\n");
}

TEST(ClientList, EmptyOrMissingTreePrintsNothing)
{
    tree empty;
    tree missing(false);

    for (const tree *t : {&empty, &missing}) {
        for (const auto &args : std::vector<std::vector<std::string>>{{"list"}, {"list", "-f", "-s", "a"}, {"retry", "all"}}) {
            ks_test_result r = t->kestrel(args);
            EXPECT_EQ(exit_code(r), 0);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "");
        }
    }
    // Only the committed tree holds something: it is not listed.
    empty.file("committed/coredump", "done");
    empty.file("committed/snapshot", "done");
    EXPECT_EQ(empty.kestrel({"list"}).out, "");
}

TEST(ClientList, UnopenableDirectoryStops)
{
    tree t;

    ASSERT_EQ(rmdir(t.at("pending", "").c_str()), 0);
    ks_test_write_file(t.root + "/pending", "not a directory");
    ks_test_result r = t.kestrel({"list"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: failed to open archive: Not a directory\n");
    EXPECT_EQ(r.out, "");
}

TEST(ClientList, LineLayoutColumnsAndSummary)
{
    tree t;
    std::string a = t.file("pending", "crash-0001", 2048);
    std::string b = t.file("staging", "crash-0002", 0);
    std::string c = t.file("failed/pending", "crash-0003", 1024);
    asset_own(t.at("assets", "crash-0001"), "/usr/bin/app");
    asset_own(t.at("assets", "crash-0003"), "/opt/quite/longername");

    ks_test_result r = t.kestrel({"list", "-s", "application"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.err, "");
    // Sizes are right-aligned to "1024.00", names to "longername".
    EXPECT_EQ(r.out, "   staging/crash-0002... c--         --   " + when(b) + "       0.00B\n"
                     " ! pending/crash-0003... c-a longername   " + when(c) + "    1024.00B\n"
                     "   pending/crash-0001... c-a        app   " + when(a) + "       2.00kB\n"
                     "\n"
                     "[pending]/1O/2.00kB [! pending]/1O/1024.00B \n");
}

TEST(ClientList, OutputThatCannotBeWrittenFails)
{
    tree t;
    t.file("pending", "crash-0001");

    ks_test_result r = ks_test_run({"/bin/sh", "-c", "exec \"$0\" -c \"$1\" list >/dev/full", KS_TEST_KESTREL, t.conf});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: failed to write output: No space left on device\n");
}

TEST(ClientList, SummaryAddsUpAndLeavesOutEmptyStages)
{
    tree t;
    t.file("pending", "p1", 2048);
    t.file("pending", "p2", 1024);
    t.file("staging", "s1", 0);
    t.file("staging", "s2", 0);

    ks_test_result r = t.kestrel({"list"});
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 6u) << r.out;
    EXPECT_EQ(out[4], "");
    EXPECT_EQ(out[5], "[pending]/2O/3.00kB ");

    // Every object 0 bytes: an empty summary line after the empty line.
    tree zero;
    zero.file("staging", "z", 0);
    r = zero.kestrel({"list"});
    EXPECT_TRUE(r.out.ends_with("0.00B\n\n\n")) << r.out;
}

TEST(ClientList, CrashInSeveralDirectoriesIsListedOnce)
{
    tree t;
    std::string snapshot = t.file("sending", "both", 3000);
    t.file("pending", "both", 10);
    t.file("sending", "bare", 5);
    t.file("pending", "bare", 5);
    t.file("failed/sending", "failed-both", 7);
    t.file("failed/pending", "failed-both", 7);
    t.file("pending", "twice", 8);
    t.file("failed/pending", "twice", 8);
    asset_own(t.at("assets", "both"), "/usr/bin/app");

    ks_test_result r = t.kestrel({"list", "-f"});
    ASSERT_EQ(exit_code(r), 0);
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 6u) << r.out;
    std::sort(out.begin(), out.begin() + 4);
    EXPECT_EQ(out[0], "   pending/twice c--  --   " + when(t.at("pending", "twice")) + "    8.00B");
    EXPECT_EQ(out[1], "   sending/bare cs-  --   " + when(t.at("sending", "bare")) + "    5.00B");
    // The size and time are those of the file found first, the snapshot.
    EXPECT_EQ(out[2], "   sending/both csa app   " + when(snapshot) + "    2.93kB");
    EXPECT_EQ(out[3], " ! sending/failed-both cs-  --   " + when(t.at("failed/sending", "failed-both")) + "    7.00B");
    EXPECT_EQ(out[5], "[pending]/1O/8.00B [sending]/2O/2.93kB [! sending]/1O/7.00B ");
}

TEST(ClientList, ShortNamesGetEllipsisAndFullNamesAreCutAt64)
{
    tree t;
    std::string longname(70, 'n');
    longname.replace(0, 5, "first");
    t.file("pending", "abcde");
    t.file("pending", longname);

    std::vector<std::string> names = listed(t.kestrel({"list"}).out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"abcde", longname.substr(0, 12)}));
    EXPECT_NE(t.kestrel({"list"}).out.find("   pending/abcde... c-- "), std::string::npos);

    names = listed(t.kestrel({"list", "-f"}).out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"abcde", longname.substr(0, 64)}));
    EXPECT_NE(t.kestrel({"list", "-f"}).out.find("   pending/abcde c-- "), std::string::npos);
}

TEST(ClientList, ApplicationFilterMatchesTheLastComponent)
{
    tree t;
    t.file("pending", "with-app");
    t.file("pending", "no-slash");
    t.file("pending", "no-asset");
    asset_own(t.at("assets", "with-app"), "/opt/apps/app");
    asset_own(t.at("assets", "no-slash"), "noslashexe");

    std::vector<std::string> names = listed(t.kestrel({"list", "-a", "ap"}).out);
    EXPECT_EQ(names, (std::vector<std::string>{"with-app"}));
    EXPECT_EQ(t.kestrel({"list", "-a", "pp"}).out, "");
    EXPECT_EQ(t.kestrel({"list", "-a", "opt"}).out, "");

    // An executable without "/" matches as a whole but is shown as "--";
    // its length still sets the column, even while it is filtered out.
    ks_test_result r = t.kestrel({"list", "-a", "nos"});
    EXPECT_EQ(listed(r.out), (std::vector<std::string>{"no-slash"}));
    EXPECT_NE(r.out.find("   pending/no-slash... c-a         --   "), std::string::npos) << r.out;
    r = t.kestrel({"list", "-a", "app"});
    EXPECT_NE(r.out.find("   pending/with-app... c-a        app   "), std::string::npos) << r.out;

    names = listed(t.kestrel({"list", "-a", ""}).out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"no-slash", "with-app"}));
}

// Waits until a file created now gets a later status-change time than path.
static void next_second(const std::string &path)
{
    struct stat st;

    ASSERT_EQ(stat(path.c_str(), &st), 0);
    ASSERT_TRUE(ks_test_wait_until([&] { return time(nullptr) > st.st_ctime; }, 5000));
}

TEST(ClientList, SortsByCreationOrByExecutablePath)
{
    tree t;
    std::string old = t.file("pending", "c-old");
    next_second(old);
    std::string mid = t.file("failed/pending", "a-mid");
    next_second(mid);
    std::string young = t.file("sending", "b-new");
    asset_own(t.at("assets", "c-old"), "/b/aa");
    asset_own(t.at("assets", "b-new"), "/a/zz");

    const std::vector<std::string> by_creation = {"c-old", "a-mid", "b-new"};
    // Whole paths compare, not application names; no executable comes first.
    const std::vector<std::string> by_path = {"a-mid", "b-new", "c-old"};
    EXPECT_EQ(listed(t.kestrel({"list"}).out), by_creation);
    EXPECT_EQ(listed(t.kestrel({"list", "-s", "c"}).out), by_creation);
    EXPECT_EQ(listed(t.kestrel({"list", "-s", "a"}).out), by_path);
    EXPECT_EQ(listed(t.kestrel({"list", "-s", "application"}).out), by_path);
    EXPECT_EQ(listed(t.kestrel({"list", "-s", "a", "-s", "creation"}).out), by_creation);
    EXPECT_EQ(listed(t.kestrel({"list", "-s", "a", "-s", "bogus"}).out), by_path);
    EXPECT_EQ(listed(t.kestrel({"list", "-s", "bogus"}).out), by_creation);
}

TEST(ClientList, DotNamesListedAndNonRegularEntriesSkipped)
{
    tree t;
    t.file("pending", ".hidden");
    mkdir(t.at("pending", "a-directory").c_str(), 0755);
    ASSERT_EQ(symlink(t.at("pending", ".hidden").c_str(), t.at("pending", "a-link").c_str()), 0);
    ASSERT_EQ(mkfifo(t.at("pending", "a-fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/nonexistent", t.at("sending", "dangling").c_str()), 0);

    ks_test_result r = t.kestrel({"list"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(listed(r.out), (std::vector<std::string>{".hidden"}));
    EXPECT_EQ(r.err, "");
}

TEST(ClientList, AssetsThatCannotBeRead)
{
    tree t;
    // Empty (cannot be mapped), not an archive, no executable entry, dangling link.
    for (const char *name : {"empty", "garbage", "no-exe", "dangling", "none"})
        t.file("pending", name);
    ks_test_write_file(t.at("assets", "empty"), "");
    ks_test_write_file(t.at("assets", "garbage"), std::string(2048, 'g'));
    asset_own(t.at("assets", "no-exe"), "");
    ASSERT_EQ(symlink("/nonexistent", t.at("assets", "dangling").c_str()), 0);

    ks_test_result r = t.kestrel({"list", "-f"});
    EXPECT_EQ(exit_code(r), 0);
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 7u) << r.out;
    std::sort(out.begin(), out.begin() + 5);
    EXPECT_TRUE(out[0].starts_with("   pending/dangling c-- --   ")) << out[0];
    EXPECT_TRUE(out[1].starts_with("   pending/empty c-a --   ")) << out[1];
    EXPECT_TRUE(out[2].starts_with("   pending/garbage c-a --   ")) << out[2];
    EXPECT_TRUE(out[3].starts_with("   pending/no-exe c-a --   ")) << out[3];
    EXPECT_TRUE(out[4].starts_with("   pending/none c-- --   ")) << out[4];
}

TEST(ClientList, AssetWithoutReadPermission)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to run the client as another user";
    tree t;
    t.file("pending", "locked");
    t.file("pending", "open");
    asset_own(t.at("assets", "locked"), "/usr/bin/secret");
    asset_own(t.at("assets", "open"), "/usr/bin/visible");
    ASSERT_EQ(chmod(t.at("assets", "locked").c_str(), 0), 0);
    ASSERT_EQ(chmod(t.dir.path.c_str(), 0755), 0);

    ks_test_result r = ks_test_run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                    KS_TEST_KESTREL, "-c", t.conf, "list", "-f", "-s", "a"},
                                   {"TZ=UTC"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 4u) << r.out << r.err;
    EXPECT_TRUE(out[0].starts_with("   pending/locked c--      -- ")) << out[0];
    EXPECT_TRUE(out[1].starts_with("   pending/open c-a visible ")) << out[1];
}

TEST(ClientList, FileThatCannotBeExaminedIsListedEmpty)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to run the client as another user";
    tree t;
    t.file("pending", "unseen");
    // Readable but not searchable: the name is listed, stat fails.
    ASSERT_EQ(chmod(t.at("pending", "").c_str(), 0444), 0);
    ASSERT_EQ(chmod(t.dir.path.c_str(), 0755), 0);

    ks_test_result r = ks_test_run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                    KS_TEST_KESTREL, "-c", t.conf, "list"},
                                   {"TZ=UTC"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.err, "warning: failed to extract metadata for [unseen]: Permission denied\n");
    EXPECT_EQ(r.out, "   pending/unseen... c-- --   Thu Jan  1 00:00:00 1970    0.00B\n\n\n");
}

TEST(ClientList, AssetsFromAnIndependentWriter)
{
    if (!have_python())
        GTEST_SKIP() << "no /usr/bin/python3";
    tree t;
    std::string deep = "/opt/" + std::string(120, 'd') + "/pyapp";
    for (const char *name : {"short", "deep", "data", "first"})
        t.file("pending", name);
    asset_python(t.at("assets", "short"), {"d:/proc/self:", "l:/proc/self/exe:/usr/bin/shortapp"});
    asset_python(t.at("assets", "deep"), {"f:/proc/self/cmdline:x", "l:/proc/self/exe:" + deep});
    asset_python(t.at("assets", "data"), {"f:/proc/self/exe:/usr/sbin/fileapp"});
    asset_python(t.at("assets", "first"), {"l:/proc/self/exe:/bin/one", "l:/proc/self/exe:/bin/two"});

    ks_test_result r = t.kestrel({"list", "-f", "-s", "a"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 6u) << r.out;
    // Sorted by the whole executable path.
    EXPECT_TRUE(out[0].starts_with("   pending/first c-a      one ")) << out[0];
    EXPECT_TRUE(out[1].starts_with("   pending/deep c-a    pyapp ")) << out[1];
    EXPECT_TRUE(out[2].starts_with("   pending/short c-a shortapp ")) << out[2];
    EXPECT_TRUE(out[3].starts_with("   pending/data c-a  fileapp ")) << out[3];

    EXPECT_EQ(listed(t.kestrel({"list", "-a", "py"}).out), (std::vector<std::string>{"deep"}));
}

TEST(ClientList, ControlCharactersOfTheExecutableAreNotEchoed)
{
    tree t;
    t.file("pending", "evil");
    asset_own(t.at("assets", "evil"), "/tmp/\x1b[2J\a\x7fname");

    ks_test_result r = t.kestrel({"list"});
    EXPECT_NE(r.out.find(" c-a ?[2J??name   "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

TEST(ClientRetry, MovesOnlyFailedObjects)
{
    tree t;
    t.file("staging", "s");
    t.file("pending", "p");
    t.file("sending", "n");
    t.file("failed/pending", "fp");
    t.file("failed/sending", "fs");
    t.file("failed/pending", "both");
    t.file("failed/sending", "both");

    ks_test_result before = t.kestrel({"list", "-f"});
    EXPECT_NE(before.out.find(" ! sending/both cs- "), std::string::npos) << before.out;
    EXPECT_NE(before.out.find(" ! pending/fp c-- "), std::string::npos) << before.out;

    ks_test_result r = t.kestrel({"retry", "all"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> out = lines(r.out);
    std::sort(out.begin(), out.end());
    EXPECT_EQ(out, (std::vector<std::string>{
                       t.at("failed/pending", "fp") + " => " + t.at("pending", "fp"),
                       t.at("failed/sending", "both") + " => " + t.at("sending", "both"),
                       t.at("failed/sending", "fs") + " => " + t.at("sending", "fs"),
                   }));
    // The core image of "both" stays: only its snapshot was the listed file.
    EXPECT_TRUE(ks_test_exists(t.at("failed/pending", "both")));
    for (const auto &[d, n] : std::vector<std::pair<std::string, std::string>>{
             {"staging", "s"}, {"pending", "p"}, {"sending", "n"}, {"pending", "fp"}, {"sending", "fs"}, {"sending", "both"}})
        EXPECT_TRUE(ks_test_exists(t.at(d, n))) << d << "/" << n;

    // Nothing failed is left to move.
    r = t.kestrel({"retry", "all"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(exit_code(r), 0);
}

TEST(ClientRetry, AllWithAnotherArgumentIsAPrefix)
{
    tree t;
    for (const char *name : {"all-1", "alpha", "extra-2", "other"})
        t.file("failed/pending", name);

    ks_test_result r = t.kestrel({"retry", "all", "extra"});
    EXPECT_EQ(exit_code(r), 0);
    std::vector<std::string> out = lines(r.out);
    std::sort(out.begin(), out.end());
    EXPECT_EQ(out, (std::vector<std::string>{
                       t.at("failed/pending", "all-1") + " => " + t.at("pending", "all-1"),
                       t.at("failed/pending", "extra-2") + " => " + t.at("pending", "extra-2"),
                   }));
    EXPECT_TRUE(ks_test_exists(t.at("failed/pending", "alpha")));
    EXPECT_TRUE(ks_test_exists(t.at("failed/pending", "other")));

    r = t.kestrel({"retry", "al"});
    EXPECT_EQ(r.out, t.at("failed/pending", "alpha") + " => " + t.at("pending", "alpha") + "\n");
    r = t.kestrel({"retry", "all"});
    EXPECT_EQ(r.out, t.at("failed/pending", "other") + " => " + t.at("pending", "other") + "\n");
}

TEST(ClientRetry, FailedRenameIsLoggedAndTheRestMoves)
{
    tree t;
    ks_test_syslog_start();
    t.file("failed/pending", "blocked");
    t.file("failed/pending", "free");
    // A non-empty directory where the core image would go.
    mkdir(t.at("pending", "blocked").c_str(), 0755);
    t.file("pending/blocked", "inside");

    ks_test_result r = t.kestrel({"retry", "all"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.out, t.at("failed/pending", "free") + " => " + t.at("pending", "free") + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "error: rename of blocked failed: Is a directory\n"))
        << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_exists(t.at("failed/pending", "blocked")));
}
