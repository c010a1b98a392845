// The client run as a real program on archive trees built in temporary
// directories, with assets from our own writer and from Python's tarfile.

#include "client_support.h"
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
                                 "    retry          Attempt to retry sending of a dump\n"
                                 "    info           Show one dump in detail\n"
                                 "    debug          Open one dump in gdb\n"
                                 "    metrics        Print the pipeline's state for Prometheus\n"
                                 "    history        Show the crash ledger, newest first\n"
                                 "    signatures     Count the ledger's crashes by signature\n"
                                 "    compress       Compress kept core images with zstd\n"
                                 "\n"
                                 "Options, before the command:\n"
                                 "    -c, --cf <file>  Read this configuration file instead of the first of\n"
                                 "                     /etc/kestrel/kestrel.conf,\n"
                                 "                     /usr/local/etc/kestrel/kestrel.conf and\n"
                                 "                     /opt/quellon/etc/kestrel/kestrel.conf\n"
                                 "    -h, --help       Print this text; \"kestrel <command> -h\" describes a command\n"
                                 "    -v, --version    Print the version\n";

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
    EXPECT_TRUE(r.err.starts_with("Usage: list [-a <application>] [-s <creation | application>]\n")) << r.err;
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
        for (const auto &args : std::vector<std::vector<std::string>>{
                 {"list"}, {"list", "-f", "-s", "a"}, {"list", "-j"}, {"retry", "all"}}) {
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

// ---------------------------------------------------------------- large trees

// Builds a large archive tree and lists it independently of the client: the
// table it must print (column widths, sorting, summary, the reader's
// messages) and the JSON lines, checked with Python's json module.
static const char reference_script[] = R"PY(import codecs, io, json, os, random, sys, tarfile, time

STAGES = ["staging", "pending", "sending", "! pending", "! sending", "archived", "failed"]
SCAN = [("sending", 2, 1), ("pending", 1, 0), ("staging", 0, 0),
        ("failed/sending", 4, 1), ("failed/pending", 3, 0)]
PLACES = [["pending"], ["pending"], ["pending"], ["staging"], ["sending"], ["sending", "pending"],
          ["failed/pending"], ["failed/sending"], ["failed/sending", "failed/pending"],
          ["pending", "failed/pending"], ["committed/coredump"], ["sending", "failed/pending"]]
SIZES = [0, 1, 1023, 1024, 1025, 2048, 4095, 1048576, 1048577, 1073741824, 1073741825, 5 << 30]
HOSTILE = [b"/tmp/\x1b[2J\x07bell\x7f", b"/srv/caf\xc3\xa9/\xff\xfe-\xe2\x82-bin",
           b'/q/"quoted"\\back\\slash', b"/u/\xe2\x80\xa8line\xe2\x80\xa9sep\xc2\x9bcsi\xc2\xa0nb",
           b"/e/\xf0\x9f\x92\xa5\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xf0\x9f\x92", b"/n/new\nline\ttab\r"]


def pax(members):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.PAX_FORMAT) as t:
        for kind, name, value in members:
            info = tarfile.TarInfo(name)
            if kind == "l":
                info.type = tarfile.SYMTYPE
                info.linkname = value
                t.addfile(info)
            elif kind == "d":
                info.type = tarfile.DIRTYPE
                t.addfile(info)
            else:
                info.size = len(value)
                t.addfile(info, io.BytesIO(value))
    return out.getvalue()


def raw(name, flag, data=b"", link=b""):
    r = bytearray(512)
    r[0:len(name)] = name
    r[124:135] = b"%011o" % len(data)
    r[156] = ord(flag)
    r[157:157 + len(link)] = link
    r[257:265] = b"ustar\x0000"
    return bytes(r) + data + bytes(-len(data) % 512)


def name_of(rng, i):
    return [lambda: "%08x-%04x-4e1d-9c2a-%012x" % (rng.getrandbits(32), i & 0xffff, i),
            lambda: "s%x" % i, lambda: "x%011d" % i,
            lambda: "long-%d-%s" % (i, "n" * rng.randint(60, 90)), lambda: "with space %d" % i,
            lambda: "\u00fc\u00f1\u00ee-%d-\u00e7\u00f6d\u00e9" % i, lambda: ".dot-%d" % i,
            lambda: "%d" % i, lambda: "crash-%06d-%s" % (i, "z" * (i % 70))][i % 9]()


def make(root, count, seed):
    """Returns {name: [executable as hex or None, expected reader messages]}
    and the (name, executable) pairs whose assets the caller writes."""
    rng = random.Random(seed)
    for d in ("staging", "pending", "sending", "assets", "failed/pending", "failed/sending",
              "committed/coredump", "committed/snapshot"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    expect, own = {}, []
    for i in range(count):
        name = name_of(rng, i)
        for place in PLACES[rng.randrange(len(PLACES))]:
            path = os.path.join(root, place, name)
            with open(path, "wb") as f:
                f.write(b"x" * rng.randrange(0, 200))
            if rng.random() < 0.4:
                os.truncate(path, rng.choice(SIZES))
        exe = ("/usr/lib/app-%02d/bin/server-%d" % (i % 37, i % 5)).encode()
        kind, data, err = rng.randrange(20), None, ""
        signature, signal = None, None
        asset = os.path.join(root, "assets", name)
        if kind == 0:
            exe = None
        elif kind == 1:
            data, exe = b"", None
        elif kind == 2:
            data, exe = b"g" * 2048, None
        elif kind == 3:
            data, exe = pax([("f", "/proc/self/cmdline", b"a\0b\0")]), None
        elif kind == 4:
            exe = ("/opt/" + "d" * rng.randint(100, 300) + "/deep-%d" % (i % 3)).encode()
            data = pax([("f", "/proc/self/cmdline", b"x\0"), ("l", "/proc/self/exe", exe.decode())])
        elif kind == 5:
            data = pax([("f", "/proc/self/exe", exe + b"\0junk")])
        elif kind == 6:
            data = pax([("l", "/proc/self/exe", exe.decode()), ("l", "/proc/self/exe", "/bin/second")])
        elif kind == 7:
            exe = b"noslash-%d" % (i % 4)
            data = pax([("l", "/proc/self/exe", exe.decode())])
        elif kind == 8:
            exe = HOSTILE[i % len(HOSTILE)] + b"-%d" % (i % 3)
            data = raw(b"/proc/self/exe", "2", link=exe) + bytes(1024)
        elif kind == 9:
            # The entries lie beyond the first kilobytes of the object.
            signature, signal = "%016x" % (i * 2654435761 % (1 << 64)), 6
            data = pax([("f", "/proc/self/maps", b"m" * rng.randint(3000, 40000)),
                        ("l", "/proc/self/exe", exe.decode()),
                        ("f", "kestrel/facts", b"signal=6\nsignature=%s\n" % signature.encode())])
        elif kind == 10:
            data = pax([("d", "/proc/self", b""), ("l", "/proc/self/exe", exe.decode())])
        elif kind == 11:
            data = raw(b"/proc/self/odd", "g", b"abc") + raw(b"/proc/self/exe", "2", link=exe) + bytes(1024)
            err = "error: unknown type flag 'g'\n"
        elif kind == 12:
            own.append((name, exe))
        elif kind == 13:
            os.mkdir(asset)
            exe = None
        elif kind == 14:
            data = (raw(b"/proc/self/maps", "0", b"m" * rng.randint(5000, 9000)) + raw(b"/proc/self/odd", "V")
                    + raw(b"/proc/self/exe", "2", link=exe) + bytes(1024))
            err = "error: unknown type flag 'V'\n"
        else:
            members = [("f", "/proc/self/cmdline", exe + b"\0--serve\0"), ("l", "/proc/self/exe", exe.decode())]
            if i % 3 == 0:
                signature, signal = "%016x" % i, 11
                members.append(("f", "kestrel/facts", b"signature=%s\nsignal=11\nsignal.name=SIGSEGV\n" % signature.encode()))
            elif i % 3 == 1:
                members.append(("f", "kestrel/facts", b"signature=\\x1b[2Jnot-hex\nsignal=x11\n"))
            data = pax(members)
        if data is not None:
            with open(asset, "wb") as f:
                f.write(data)
        expect[name] = [exe.hex() if exe is not None else None, err, signature, signal]
    return expect, own


def parse_bytes(v):
    for unit, t in (("gB", 1 << 30), ("mB", 1 << 20), ("kB", 1 << 10)):
        if v > t:
            return v / t, unit
    return float(v), "B"


def application(b):
    return b[b.rfind(b"/") + 1:]


# "?" for C0, DEL, C1 and each maximal ill-formed subsequence, as a terminal
# must not see them; a lone surrogate marks what the decoder rejected.
codecs.register_error("mark", lambda e: ("\ud800", e.end))


def mask(b):
    return "".join("?" if c == "\ud800" or ord(c) < 0x20 or 0x7f <= ord(c) < 0xa0 else c
                   for c in b.decode("utf-8", "mark")).encode("utf-8")


SEEN = {}


def scan(directory):
    return list(os.scandir(directory))


def cached(f, *args):
    if (f, args) not in SEEN:
        SEEN[(f, args)] = f(*args)
    return SEEN[(f, args)]


def load(root, expect, fn):
    """The crashes as the client finds them, in order, with the column
    widths and the reader's messages."""
    objects, index, err, width = [], {}, [], {"size": 0, "exe": 0}
    for directory, stage, bit in SCAN:
        base = os.path.join(root, directory)
        if not os.path.isdir(base):
            continue
        for e in cached(scan, base):
            if not e.is_file(follow_symlinks=False):
                continue
            if e.name in index:
                index[e.name]["res"] |= 1 << bit
                continue
            st = cached(os.stat, e.path)
            o = {"name": e.name, "stage": stage, "res": 1 << bit, "path": e.path, "size": st.st_size,
                 "ctime": int(st.st_ctime), "exe": None, "raw": None}
            o["bytes"], o["unit"] = parse_bytes(st.st_size)
            width["size"] = max(width["size"], len("%.2f" % o["bytes"]))
            if cached(os.access, os.path.join(root, "assets", e.name), os.R_OK):
                o["res"] |= 4
            exe, messages, o["signature"], o["signal"] = expect.get(e.name, [None, "", None, None])
            err.append(messages)
            if exe is not None:
                o["raw"] = bytes.fromhex(exe)
                o["exe"] = mask(o["raw"])
                width["exe"] = max(width["exe"], len(application(o["exe"])))
            if fn is not None and (o["exe"] is None or not application(o["exe"]).startswith(fn.encode())):
                continue
            index[e.name] = o
            objects.append(o)
    return objects, width, "".join(err)


def ordered(objects, sort):
    if sort == "a":
        return sorted(objects, key=lambda o: (o["exe"] is not None, o["exe"] or b""))
    return sorted(objects, key=lambda o: o["ctime"])


def table(objects, width, full):
    out, length = bytearray(), 64 if full else 12
    for o in objects:
        app = application(o["exe"]) if o["exe"] is not None and b"/" in o["exe"] else b"--"
        res = "".join("csa"[i] if o["res"] & (1 << i) else "-" for i in range(3))
        out += b"%10s/%s%s %s %s   %s    %s%s\n" % (
            STAGES[o["stage"]].encode(), o["name"].encode()[:length], b"..." if length == 12 else b"",
            res.encode(), app.rjust(width["exe"]), time.asctime(time.gmtime(o["ctime"])).encode(),
            ("%.2f" % o["bytes"]).rjust(width["size"]).encode(), o["unit"].encode())
    if objects:
        out += b"\n"
        for stage in range(7):
            mine = [o for o in objects if o["stage"] == stage]
            total = sum(o["size"] for o in mine)
            if total:
                v, u = parse_bytes(total)
                out += b"[%s]/%dO/%.2f%s " % (STAGES[stage].encode(), len(mine), v, u.encode())
        out += b"\n"
    return bytes(out)


def json_lines(objects, text):
    """Checks the client's JSON lines against the expected objects."""
    assert text.endswith(b"\n") or not objects, "no final newline"
    lines = text.split(b"\n")[:-1] if text else []
    assert len(lines) == len(objects), "%d lines for %d crashes" % (len(lines), len(objects))
    for line, o in zip(lines, objects):
        line.decode("utf-8")  # strictly valid UTF-8
        assert all(0x20 <= c != 0x7f for c in line), line
        got = json.loads(line)
        raw = o["raw"]
        want = {"name": o["name"], "stage": STAGES[o["stage"]], "path": o["path"],
                "files": [n for i, n in enumerate(("core", "snapshot", "asset")) if o["res"] & (1 << i)],
                "size": o["size"], "time": o["ctime"],
                "time_utc": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(o["ctime"])),
                "executable": raw.decode("utf-8", "replace") if raw is not None else None,
                "application": application(raw).decode("utf-8", "replace") if raw is not None else None,
                "signature": o["signature"], "signal": o["signal"]}
        assert got == want, "%r\n!=\n%r" % (got, want)
        assert list(got) == list(want), list(got)


if __name__ == "__main__":
    mode, root = sys.argv[1], sys.argv[2]
    if mode == "make":
        expect, own = make(root, int(sys.argv[3]), int(sys.argv[4]))
        with open(root + ".expect", "w") as f:
            json.dump(expect, f)
        for name, exe in own:
            sys.stdout.write("%s\n%s\n" % (name, exe.hex()))
        sys.exit(0)
    # The cases: [full names, sort, application filter or null], numbered.
    with open(root + ".expect") as f:
        expect = json.load(f)
    for i, (full, sort, fn) in enumerate(json.loads(sys.argv[3])):
        objects, width, err = load(root, expect, fn)
        objects = ordered(objects, sort)
        if mode == "table":
            with open("%s.want-%d" % (root, i), "wb") as f:
                f.write(table(objects, width, full))
            with open("%s.want-%d.err" % (root, i), "w") as f:
                f.write(err)
        else:
            with open("%s.got-%d.json" % (root, i), "rb") as f:
                json_lines(objects, f.read())
)PY";

static std::string unhex(const std::string &hex)
{
    std::string bytes;

    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

struct reference_tree {
    tree t;
    std::string script = t.dir / "reference.py";

    // Thousands of crashes in every stage, with assets from Python's
    // tarfile, from our own writer, hand-made and broken ones.
    void make(int count)
    {
        ks_test_write_file(script, reference_script);
        ks_test_result made = ks_test_run({"/usr/bin/python3", script, "make", t.root, std::to_string(count), "11"});
        ASSERT_EQ(exit_code(made), 0) << made.err;
        std::vector<std::string> own = lines(made.out);
        ASSERT_GT(own.size(), 20u);
        for (size_t i = 0; i + 1 < own.size(); i += 2)
            ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", own[i]), unhex(own[i + 1])));
    }

    // Runs the reference over every case at once: "table" writes the
    // expected outputs beside the tree, "json" checks the JSON lines there.
    ks_test_result reference(const std::string &mode, const std::string &cases) const
    {
        return ks_test_run({"/usr/bin/python3", script, mode, t.root, cases}, {"TZ=UTC"});
    }

    std::string file(const std::string &suffix) const { return ks_test_read_file(t.root + "." + suffix); }
};

TEST(ClientListReference, TableAndJsonMatchAnIndependentListing)
{
    if (!have_python())
        GTEST_SKIP() << "no /usr/bin/python3";
    reference_tree r;
    ASSERT_NO_FATAL_FAILURE(r.make(2000));

    // list options, and the same case for the reference: full names, sort, filter.
    const std::vector<std::vector<std::string>> options = {
        {}, {"-f"}, {"-s", "a"}, {"-f", "-s", "application"}, {"-a", "server-1"}, {"-f", "-s", "a", "-a", "noslash"},
        {"-a", "?"},
    };
    const std::string cases = R"([[false, "c", null], [true, "c", null], [false, "a", null], [true, "a", null],
                                  [false, "c", "server-1"], [true, "a", "noslash"], [false, "c", "?"]])";
    std::vector<ks_test_result> tables;
    for (size_t i = 0; i < options.size(); i++) {
        std::vector<std::string> args = {"list"};
        args.insert(args.end(), options[i].begin(), options[i].end());
        tables.push_back(r.t.kestrel(args));
        args.push_back("-j");
        ks_test_result json = r.t.kestrel(args);
        EXPECT_EQ(exit_code(json), 0);
        EXPECT_EQ(json.err, tables.back().err);
        ks_test_write_file(r.t.root + ".got-" + std::to_string(i) + ".json", json.out);
    }

    ks_test_result want = r.reference("table", cases);
    ASSERT_EQ(exit_code(want), 0) << want.err;
    for (size_t i = 0; i < options.size(); i++) {
        SCOPED_TRACE(::testing::PrintToString(options[i]));
        EXPECT_EQ(exit_code(tables[i]), 0);
        EXPECT_GT(lines(tables[i].out).size(), 10u);
        EXPECT_TRUE(tables[i].out == r.file("want-" + std::to_string(i))) << "the table differs from the reference";
        EXPECT_EQ(tables[i].err, r.file("want-" + std::to_string(i) + ".err"));
    }
    ks_test_result checked = r.reference("json", cases);
    EXPECT_EQ(exit_code(checked), 0) << checked.err;
}

// ---------------------------------------------------------------- JSON lines

TEST(ClientListJson, FileThatCannotBeExaminedHasNullSizeAndTime)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to run the client as another user";
    tree t;
    t.file("pending", "unseen");
    ASSERT_EQ(chmod(t.at("pending", "").c_str(), 0444), 0);
    ASSERT_EQ(chmod(t.dir.path.c_str(), 0755), 0);

    ks_test_result r = ks_test_run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                    KS_TEST_KESTREL, "-c", t.conf, "list", "-j"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.err, "warning: failed to extract metadata for [unseen]: Permission denied\n");
    EXPECT_EQ(r.out, "{\"name\":\"unseen\",\"stage\":\"pending\",\"path\":\"" + t.at("pending", "unseen") +
                         "\",\"files\":[\"core\"],\"size\":null,\"time\":null,\"time_utc\":null,"
                         "\"executable\":null,\"application\":null,\"signature\":null,\"signal\":null}\n");
}

// ---------------------------------------------------------------- info

static off_t size_of(const std::string &path)
{
    struct stat st;

    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

static const std::vector<member> rich_asset = {
    {"/proc/self/exe", "/usr/bin/app", true},
    {"/proc/self/cmdline", std::string("/usr/bin/app\0--serve\0\0last\x1b arg\\x\0", 34), false},
    {"/proc/self/status", std::string(1234, 's'), false},
    {"/proc/self/maps", std::string(40960, 'm'), false},
    {"/proc/self/limits", std::string(77, 'l'), false},
    {"/proc/self/cgroup", "0::/\n", false},
    {"/proc/self/fd/0", "/dev/pts/0", true},
    {"/proc/self/caf\xc3\xa9\xff\xc2\x9b", "x", false},
};

TEST(ClientInfo, ShowsEveryFileAndTheAssetsEntries)
{
    tree t;
    std::string core = t.file("pending", "0badc0de-1111", 2048);
    std::string asset = t.at("assets", "0badc0de-1111");
    ASSERT_NO_FATAL_FAILURE(asset_members(asset, rich_asset));
    std::string size = std::to_string(size_of(asset));
    std::string pad(size.size() - 4, ' ');

    ks_test_result r = t.kestrel({"info", "0badc0de"});
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "name:         0badc0de-1111\n"
                     "stage:        pending\n"
                     "executable:   /usr/bin/app\n"
                     "application:  app\n"
                     "command line:\n"
                     "    [0] /usr/bin/app\n"
                     "    [1] --serve\n"
                     "    [2] \n"
                     "    [3] last\\x1b arg\\\\x\n"
                     "files:\n"
                     "    core      " + pad + "2048  " + when(core) + "  " + core + "\n"
                     "    asset     " + size + "  " + when(asset) + "  " + asset + "\n"
                     "other entries:\n"
                     "     1234  /proc/self/status\n"
                     "    40960  /proc/self/maps\n"
                     "       77  /proc/self/limits\n"
                     "        5  /proc/self/cgroup\n"
                     "     link  /proc/self/fd/0 -> /dev/pts/0\n"
                     "        1  /proc/self/caf\xc3\xa9\\xff\\xc2\\x9b\n");

    // Without an asset nothing about the process is known.
    std::string bare = t.file("failed/sending", "feedface", 7);
    r = t.kestrel({"info", "feed"});
    EXPECT_EQ(r.out, "name:         feedface\n"
                     "stage:        ! sending\n"
                     "executable:   unknown\n"
                     "command line: unknown\n"
                     "files:\n"
                     "    snapshot  7  " + when(bare) + "  " + bare + "\n"
                     "other entries: none\n");
}

TEST(ClientInfo, APrefixSelectsExactlyOneCrash)
{
    tree t;
    t.file("pending", "0badc0de-1111");
    t.file("failed/pending", "0badc0de-2222");
    t.file("failed/sending", "0badc0de-2222");
    t.file("sending", "abc");
    t.file("staging", "abcd");
    t.file("committed/coredump", "c0ffee");
    t.file("committed/snapshot", "c0ffee");

    const struct {
        std::string prefix;
        int status;
        std::string first; // first line of the output, or the error
    } cases[] = {
        {"0badc0de-1", 0, "name:         0badc0de-1111"},
        {"0badc0de-2222", 0, "name:         0badc0de-2222"},
        {"abc", 0, "name:         abc"}, // a full name wins over longer ones
        {"abcd", 0, "name:         abcd"},
        {"c0", 0, "name:         c0ffee"}, // committed crashes are found too
        {"0badc0de", 1, "error: 0badc0de is ambiguous; 2 dump names begin with it:"},
        {"ab", 1, "error: ab is ambiguous; 2 dump names begin with it:"},
        {"", 1, "error:  is ambiguous; 5 dump names begin with it:"},
        {"nothing", 1, "error: no dump matches nothing"},
        {"0badc0de-11111", 1, "error: no dump matches 0badc0de-11111"},
        {"bad\x1b", 1, "error: no dump matches bad\\x1b"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.prefix);
        ks_test_result r = t.kestrel({"info", c.prefix});
        EXPECT_EQ(exit_code(r), c.status);
        std::vector<std::string> out = lines(c.status == 0 ? r.out : r.err);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0], c.first);
        if (c.status != 0) {
            EXPECT_EQ(r.out, "");
        }
    }
    std::vector<std::string> err = lines(t.kestrel({"info", "0badc0de"}).err);
    std::sort(err.begin() + 1, err.end());
    EXPECT_EQ(err, (std::vector<std::string>{err[0], "    0badc0de-1111", "    0badc0de-2222"}));
    EXPECT_NE(t.kestrel({"info", "c0ffee"}).out.find("stage:        archived\n"), std::string::npos);

    for (const auto &args : std::vector<std::vector<std::string>>{{"info"}, {"info", "a", "b"}, {"info", "-x", "abc"},
                                                                   {"info", "-h"}}) {
        ks_test_result r = t.kestrel(args);
        EXPECT_EQ(exit_code(r), 1);
        EXPECT_NE(r.err.find("Usage: info [-j] <object>\n"), std::string::npos) << r.err;
    }
}

TEST(ClientInfo, JsonIsOneObject)
{
    if (!have_python())
        GTEST_SKIP() << "no /usr/bin/python3";
    tree t;
    std::string core = t.file("committed/coredump", "c0ffee", 5);
    std::string snapshot = t.file("committed/snapshot", "c0ffee", 7);
    std::string asset = t.at("assets", "c0ffee");
    ASSERT_NO_FATAL_FAILURE(asset_python(asset, {"f:/proc/self/cmdline:/bin/\xc3\xa9t\xc3\xa9\n", "f:/proc/self/status:ok",
                                                 "d:/proc/self:", "l:/proc/self/exe:/bin/\xc3\xa9t\xc3\xa9"}));

    ks_test_result r = t.kestrel({"info", "-j", "c0"});
    ASSERT_EQ(exit_code(r), 0) << r.err;
    ASSERT_EQ(lines(r.out).size(), 1u);
    static const char show[] = "import json, sys\n"
                               "o = json.loads(sys.stdin.read())\n"
                               "print(o['name'], o['stage'], o['path'], o['files'], o['size'], o['executable'],\n"
                               "      o['application'], o['command_line'], sep='|')\n"
                               "for f in o['file_details']: print(f['kind'], f['path'], f['size'], f['time_utc'][-1], sep='|')\n"
                               "for e in o['entries']: print(*e.values(), sep='|')\n";
    ks_test_result shown = ks_test_run({"/usr/bin/python3", "-c", show}, {"PYTHONIOENCODING=utf-8"}, r.out);
    ASSERT_EQ(exit_code(shown), 0) << shown.err;
    EXPECT_EQ(shown.out, "c0ffee|archived|" + core + "|['core', 'snapshot', 'asset']|5|/bin/\xc3\xa9t\xc3\xa9|\xc3\xa9t\xc3\xa9|"
                         "['/bin/\xc3\xa9t\xc3\xa9\\n']\n"
                         "core|" + core + "|5|Z\n"
                         "snapshot|" + snapshot + "|7|Z\n"
                         "asset|" + asset + "|" + std::to_string(size_of(asset)) + "|Z\n"
                         "/proc/self/cmdline|file|11\n"
                         "/proc/self/status|file|2\n"
                         "/proc/self/exe|link|/bin/\xc3\xa9t\xc3\xa9\n");
}

// ---------------------------------------------------------------- debug

// gdb gets the executable and the core image as descriptors it inherits,
// by paths that hold nothing of the crash, after the setting that keeps it
// from reading source files.
TEST(ClientDebug, ReplacesItselfWithGdbOnTheExecutableAndTheKeptCore)
{
    tree t;
    fake_gdb gdb;
    ks_test_dir programs;
    const struct {
        std::string directory, name, executable;
    } crashes[] = {
        {"pending", "p-crash", "app"},
        {"committed/coredump", "c-crash", "server"},
        {"failed/pending", "f-crash", "-x looks like an option \x1b[2J\xc2\x9b"},
    };
    for (const auto &c : crashes) {
        SCOPED_TRACE(c.name);
        std::string core = t.file(c.directory, c.name, 5000);
        std::string executable = programs / c.executable;
        ks_test_write_file(executable, "program " + c.name);
        ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", c.name), executable));
        (void) unlink(gdb.record.c_str());

        ks_test_result r = debug(t, gdb.dir.path + ":/usr/bin:/bin", {c.name.substr(0, 3), "--", "-batch", "-ex", "bt"});
        EXPECT_EQ(exit_code(r), 7) << r.err;
        std::vector<std::string> args = gdb.arguments();
        ASSERT_EQ(args.size(), 11u);
        EXPECT_EQ(args[0], std::to_string(getpid()));
        EXPECT_EQ(std::vector<std::string>(args.begin() + 3, args.begin() + 9),
                  (std::vector<std::string>{"-iex", "set source open off", "-batch", "-ex", "bt", "--"}));
        EXPECT_TRUE(args[9].starts_with("/proc/self/fd/")) << args[9];
        EXPECT_TRUE(args[10].starts_with("/proc/self/fd/")) << args[10];
        EXPECT_EQ(gdb.given(args[9]), "program " + c.name);
        EXPECT_EQ(gdb.given(args[10]), std::string(5000, 'x'));
    }
    // A crash whose snapshot is being sent keeps its core image pending.
    t.file("sending", "p-crash");
    (void) unlink(gdb.record.c_str());
    EXPECT_EQ(exit_code(debug(t, gdb.dir.path, {"p-crash"})), 7);
    std::vector<std::string> args = gdb.arguments();
    ASSERT_EQ(args.size(), 8u);
    EXPECT_EQ(gdb.given(args[6]), "program p-crash");
}

TEST(ClientDebug, SaysWhyItCannot)
{
    tree t;
    fake_gdb gdb;
    ks_test_dir empty;
    t.file("sending", "snapshot-only");
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "snapshot-only"), "/usr/bin/app"));
    t.file("staging", "still-written");
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "still-written"), "/usr/bin/app"));
    t.file("pending", "no-asset");
    t.file("pending", "no-exe");
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "no-exe"), ""));
    t.file("pending", "ready");
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "ready"), "/usr/bin/app"));

    const struct {
        std::vector<std::string> args;
        std::string path, err;
    } cases[] = {
        {{"snapshot-only"}, gdb.dir.path, "error: no core image of snapshot-only is kept\n"},
        {{"still"}, gdb.dir.path, "error: no core image of still-written is kept\n"},
        {{"no-asset"}, gdb.dir.path, "error: the executable of no-asset is not known\n"},
        {{"no-exe"}, gdb.dir.path, "error: the executable of no-exe is not known\n"},
        {{"ready"}, empty.path, "error: gdb not found in PATH; install the package \"gdb\"\n"},
        {{"missing"}, gdb.dir.path, "error: no dump matches missing\n"},
        {{"no-"}, gdb.dir.path, "error: no- is ambiguous; 2 dump names begin with it:\n    no-asset\n    no-exe\n"},
        {{}, gdb.dir.path, "Usage: debug <object> [-- <gdb arguments>]\n"},
        {{"ready", "-batch"}, gdb.dir.path, "Usage: debug <object> [-- <gdb arguments>]\n"},
        {{"--", "ready"}, gdb.dir.path, "Usage: debug <object> [-- <gdb arguments>]\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ks_test_result r = debug(t, c.path, c.args);
        EXPECT_EQ(exit_code(r), 1);
        EXPECT_EQ(r.out, "");
        if (c.err.find("ambiguous") != std::string::npos) {
            std::vector<std::string> got = lines(r.err);
            std::sort(got.begin() + 1, got.end());
            EXPECT_EQ(got, lines(c.err));
        } else {
            EXPECT_EQ(r.err, c.err);
        }
        EXPECT_FALSE(ks_test_exists(gdb.record));
    }
}
