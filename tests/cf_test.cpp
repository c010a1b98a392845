#include "common/cf.h"

#include "support.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

// Helper mode: a configuration that fails ends the process, so those cases
// re-run this binary with KS_CF_TEST_LOAD naming the file ("" searches the
// default places); it prints the path it loaded and exits 0 on success.
static const int helper_mode = [] {
    const char *path = getenv("KS_CF_TEST_LOAD");

    if (path == nullptr)
        return 0;
    ks_cf_init();
    ks_cf_load(*path != '\0' ? path : nullptr);
    printf("loaded %s\n", ks_cf_path_get());
    exit(0);
}();

namespace {

std::string self(void)
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);

    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

class Cf : public ::testing::Test {
protected:
    ks_test_dir dir;
    std::string file = dir / "kestrel.conf";

    void SetUp() override
    {
        ks_cf_deinit();
        ks_test_syslog_start();
    }
    void TearDown() override { ks_cf_deinit(); }

    // Loads in this process; only for files that load.
    struct ks_cf *load(const std::string &content)
    {
        ks_test_write_file(file, content);
        ks_cf_deinit();
        ks_cf_init();
        ks_cf_load(file.c_str());
        return ks_cf_get();
    }

    ks_test_result load_child(const std::string &content)
    {
        ks_test_write_file(file, content);
        ks_test_syslog_start();
        return ks_test_run({self()}, {"KS_CF_TEST_LOAD=" + file});
    }

    // The file must end the process with status 1 and exactly this text on
    // standard error, nothing in syslog.
    void fails_on_stderr(const std::string &content, const std::string &text)
    {
        ks_test_result r = load_child(content);
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << content << "\nstatus " << r.status;
        EXPECT_EQ(r.err, text) << content;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ks_test_syslog_dump(), "") << content;
    }

    // ...or exactly this message in syslog, nothing on standard error.
    void fails_on_syslog(const std::string &content, int priority, const std::string &text)
    {
        ks_test_result r = load_child(content);
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << content << "\nstatus " << r.status;
        EXPECT_EQ(r.err, "") << content;
        auto logs = ks_test_syslog_read();
        ASSERT_EQ(logs.size(), 1u) << content << "\n" << ks_test_syslog_dump();
        EXPECT_EQ(LOG_PRI(logs[0].priority), priority);
        EXPECT_EQ(logs[0].text, text) << content;
    }

    void loads_in_child(const std::string &content)
    {
        ks_test_result r = load_child(content);
        EXPECT_EQ(r.status, 0) << content << "\n" << r.err << ks_test_syslog_dump();
        EXPECT_EQ(r.out, "loaded " + file + "\n");
    }
};

std::string daemon_block(const std::string &lines) { return "[daemon]\n" + lines; }
std::string archive_block(const std::string &lines) { return "[archive]\n" + lines; }

struct ks_cf_stage &snapshot(struct ks_cf *cf) { return cf->daemon.stages[KS_SLAVE_SNAPSHOT]; }
struct ks_cf_stage &send(struct ks_cf *cf) { return cf->daemon.stages[KS_SLAVE_SEND]; }

} // namespace

// The record and its defaults.

TEST_F(Cf, InitSetsTheDefaultsAndOpensSyslog)
{
    ks_cf_init();
    struct ks_cf *cf = ks_cf_get();

    EXPECT_EQ(cf, ks_cf_get());
    EXPECT_STREQ(cf->archive.root, "/var/kestrel/archive");
    EXPECT_EQ(cf->archive.suffix, nullptr);
    EXPECT_EQ(cf->archive.home, nullptr);
    EXPECT_EQ(cf->archive.mode, 0640u);
    EXPECT_EQ(cf->archive.uid, getuid());
    EXPECT_EQ(cf->archive.gid, getgid());
    EXPECT_EQ(cf->archive.limit, 0u);
    EXPECT_TRUE(cf->archive.unlink);
    EXPECT_STREQ(cf->archive.command, "/opt/quellon/kestrel/sbin/archive -p%p -P%P -l%c");
    EXPECT_FALSE(cf->archive.disabled);
    EXPECT_DOUBLE_EQ(cf->archive.quota, 0.05);
    EXPECT_STREQ(cf->daemon.defaults_command, "/opt/quellon/etc/kestrel/defaults %e");
    EXPECT_STREQ(cf->daemon.defaults_variable, "QUELLON_DEFAULTS");
    EXPECT_EQ(cf->daemon.defaults_format, nullptr);
    EXPECT_EQ(cf->daemon.purge.age, 0);
    EXPECT_EQ(cf->daemon.purge.quota, 0u);
    EXPECT_FALSE(cf->daemon.purge.disabled);
    for (const auto &stage : cf->daemon.stages) {
        EXPECT_EQ(stage.concurrency, 0u);
        EXPECT_EQ(stage.template_, nullptr);
        EXPECT_EQ(stage.format, nullptr);
        EXPECT_EQ(stage.limit, 12u);
        EXPECT_EQ(stage.interval, 60);
        EXPECT_EQ(stage.timeout, 0);
        EXPECT_EQ(stage.commit, KS_CF_A_UNLINK);
        EXPECT_EQ(stage.retry, KS_CF_A_UNLINK);
        EXPECT_EQ(stage.output, KS_CF_SLAVE_OUTPUT_NULL);
        EXPECT_EQ(stage.append_output.file_path, nullptr);
        EXPECT_EQ(stage.append_output.byte_limit, 0u);
    }
    EXPECT_EQ(cf->path.pending, nullptr);
    EXPECT_EQ(ks_cf_path_get(), nullptr);

    auto calls = ks_test_syslog_openlogs();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].ident, "kestrel");
    EXPECT_EQ(calls[0].option, LOG_PID);
    EXPECT_EQ(calls[0].facility, LOG_DAEMON);
}

TEST_F(Cf, EnsureWantsBothTemplatesSendFirst)
{
    const char *error = "untouched";

    ks_cf_init();
    EXPECT_FALSE(ks_cf_ensure(0, &error));
    EXPECT_STREQ(error, "untouched");
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "error: send template must be defined.\n"));

    load(daemon_block("snapshot.command = snap %e\n"));
    ks_test_syslog_start();
    EXPECT_FALSE(ks_cf_ensure(0, &error));
    EXPECT_EQ(ks_test_syslog_dump(), "<3> error: send template must be defined.\n");

    load(daemon_block("send.command = send %S\nsnapshot.command =\n"));
    ks_test_syslog_start();
    EXPECT_FALSE(ks_cf_ensure(0, &error));
    EXPECT_EQ(ks_test_syslog_dump(), "<3> error: snapshot template must be defined.\n");
    EXPECT_STREQ(error, "untouched");
    EXPECT_EQ(ks_cf_get()->path.pending, nullptr);
}

TEST_F(Cf, EnsureComputesThePathsOnceFromTheRoot)
{
    const char *error = nullptr;
    struct ks_cf *cf = load(daemon_block("snapshot.command = a\nsend.command = b\n"));

    ASSERT_TRUE(ks_cf_ensure(0, &error));
    EXPECT_STREQ(cf->path.staging, "/var/kestrel/archive/staging");
    EXPECT_STREQ(cf->path.pending, "/var/kestrel/archive/pending");
    EXPECT_STREQ(cf->path.sending, "/var/kestrel/archive/sending");
    EXPECT_STREQ(cf->path.committed, "/var/kestrel/archive/committed/coredump");
    EXPECT_STREQ(cf->path.sent, "/var/kestrel/archive/committed/snapshot");
    EXPECT_STREQ(cf->path.assets, "/var/kestrel/archive/assets");
    EXPECT_STREQ(cf->path.failed.pending, "/var/kestrel/archive/failed/pending");
    EXPECT_STREQ(cf->path.failed.sending, "/var/kestrel/archive/failed/sending");
}

TEST_F(Cf, EnsureCreatesUnderTheNamesComputedFirst)
{
    const char *error = nullptr;
    ks_test_dir other;
    struct ks_cf *cf = load(archive_block("dump.root = " + dir / "first" + "\n") +
                            daemon_block("snapshot.command = a\nsend.command = b\n"));

    ASSERT_TRUE(ks_cf_ensure(0, &error));
    EXPECT_FALSE(ks_test_exists(dir / "first")) << "bit 0 clear creates nothing";
    free(const_cast<char *>(cf->archive.root));
    cf->archive.root = strdup(other.path.c_str());
    ASSERT_TRUE(ks_cf_ensure(1, &error)) << error;
    EXPECT_STREQ(cf->path.pending, (dir / "first/pending").c_str());
    EXPECT_TRUE(ks_test_exists(dir / "first/failed/sending"));
    EXPECT_FALSE(ks_test_exists(other / "pending"));
}

TEST_F(Cf, EnsureCreatesTheTreeWithMode0750)
{
    const char *error = nullptr;
    std::string root = dir / "a/b/archive";
    struct ks_cf *cf = load(archive_block("dump.root = " + root + "\ndump.mode = 0600\n") +
                            daemon_block("snapshot.command = a\nsend.command = b\n"));

    ASSERT_EQ(mkdir((dir / "a").c_str(), 0700), 0);
    ASSERT_TRUE(ks_cf_ensure(1, &error)) << error;
    for (const char *name : {"", "/staging", "/pending", "/sending", "/committed", "/committed/coredump",
                             "/committed/snapshot", "/assets", "/failed", "/failed/pending", "/failed/sending"}) {
        struct stat st;
        ASSERT_EQ(stat((root + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, 0750u) << name;
    }
    struct stat st;
    ASSERT_EQ(stat((dir / "a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "a directory above the tree lets everyone pass";
    ASSERT_EQ(stat((dir / "a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "an existing directory keeps its mode";
    EXPECT_STREQ(cf->path.sent, (root + "/committed/snapshot").c_str());
    EXPECT_TRUE(ks_cf_ensure(1, &error));
}

TEST_F(Cf, EnsureOwnsNewDirectoriesByTheArchiveUser)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root";
    const char *error = nullptr;
    ASSERT_EQ(mkdir((dir / "old").c_str(), 0700), 0);
    load(archive_block("dump.root = " + dir / "old/archive" + "\ndump.user = nobody\ndump.group = nogroup\n") +
         daemon_block("snapshot.command = a\nsend.command = b\n"));

    ASSERT_TRUE(ks_cf_ensure(1, &error)) << error;
    struct stat st;
    ASSERT_EQ(stat((dir / "old/archive/failed/pending").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    ASSERT_EQ(stat((dir / "old").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

// The tree's owner may replace any of its directories with a link, and the
// tree may have been made by an earlier version with looser modes: made as
// root, the tree is walked without following a link and tightened.
TEST_F(Cf, EnsureTightensTheTreeAndRefusesLinks)
{
    const char *error = nullptr;
    std::string root = dir / "archive";
    load(archive_block("dump.root = " + root + "\n") + daemon_block("snapshot.command = a\nsend.command = b\n"));
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/pending").c_str(), 0777), 0);
    ASSERT_EQ(chmod((root + "/pending").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((root + "/assets").c_str(), 0700), 0);

    ASSERT_TRUE(ks_cf_ensure(1, &error)) << error;
    struct stat st;
    for (const auto &[name, mode] : std::vector<std::pair<std::string, mode_t>>{
             {"", 0750}, {"/pending", 0750}, {"/assets", 0700}, {"/committed/snapshot", 0750}}) {
        ASSERT_EQ(stat((root + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, mode) << name;
    }

    std::string elsewhere = dir / "elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    for (const char *name : {"failed/pending", "committed", ""}) {
        SCOPED_TRACE(name);
        std::string link = root + (*name != '\0' ? "/" : "") + name;
        std::string moved = link + ".moved";
        ASSERT_EQ(rename(link.c_str(), moved.c_str()), 0);
        ASSERT_EQ(symlink(elsewhere.c_str(), link.c_str()), 0);
        error = nullptr;
        EXPECT_FALSE(ks_cf_ensure(1, &error));
        EXPECT_EQ(std::string(error), "failed to ensure path: " + link + " is a symbolic link");
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(rename(moved.c_str(), link.c_str()), 0);
    }
    DIR *d = opendir(elsewhere.c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0;
    while (readdir(d) != nullptr)
        entries++;
    closedir(d);
    EXPECT_EQ(entries, 2) << "nothing was made through a link";
}

TEST_F(Cf, EnsureFailsOnRelativeRootOrBlockedPath)
{
    const char *error = nullptr;

    load(archive_block("dump.root = relative/archive\n") + daemon_block("snapshot.command = a\nsend.command = b\n"));
    EXPECT_TRUE(ks_cf_ensure(0, &error));
    EXPECT_FALSE(ks_cf_ensure(1, &error));
    EXPECT_STREQ(error, "failed to ensure path");

    ks_cf_deinit();
    ks_test_write_file(dir / "file", "x");
    load(archive_block("dump.root = " + dir / "file" + "\n") + daemon_block("snapshot.command = a\nsend.command = b\n"));
    error = nullptr;
    EXPECT_FALSE(ks_cf_ensure(1, &error));
    EXPECT_STREQ(error, "failed to ensure path");
}

// Reading the file.

TEST_F(Cf, LoadRemembersThePath)
{
    load("# nothing\n");
    EXPECT_STREQ(ks_cf_path_get(), file.c_str());
}

TEST_F(Cf, MissingFileIsFatal)
{
    ks_test_result r = ks_test_run({self()}, {"KS_CF_TEST_LOAD=" + dir / "missing.conf"});

    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1);
    EXPECT_EQ(r.err, "error: configuration file could not be opened: No such file or directory\n");
}

TEST_F(Cf, UnreadableFileIsFatalNotEmpty)
{
    // A directory opens but cannot be read: that must not load as an empty file.
    ks_test_result r = ks_test_run({self()}, {"KS_CF_TEST_LOAD=" + dir.path});

    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1);
    EXPECT_EQ(r.err, "error: configuration file could not be read: Is a directory\n");
}

TEST_F(Cf, DefaultPlacesAreSearchedInOrder)
{
    if (!ks_test_is_root() || !ks_test_can_mount())
        GTEST_SKIP() << "needs root with a private mount namespace";
    if (ks_test_exists("/etc/kestrel/kestrel.conf") || ks_test_exists("/usr/local/etc/kestrel/kestrel.conf"))
        GTEST_SKIP() << "this host has a configuration in a default place";
    ks_test_dir opt;

    // Nothing anywhere.
    std::string script = "mount --bind \"$1\" /opt && exec \"$0\"";
    ks_test_result r = ks_test_run({"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c", script,
                                    self(), opt.path},
                                   {"KS_CF_TEST_LOAD="});
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << r.err;
    EXPECT_EQ(r.err, "error: configuration file could not be opened: No such file or directory\n");

    // The third place, seen through /opt of a private mount namespace.
    std::filesystem::create_directories(opt / "quellon/etc/kestrel");
    ks_test_write_file(opt / "quellon/etc/kestrel/kestrel.conf", "[general]\nx = y\n");
    r = ks_test_run({"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c", script, self(),
                     opt.path},
                    {"KS_CF_TEST_LOAD="});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "loaded /opt/quellon/etc/kestrel/kestrel.conf\n");
}

TEST_F(Cf, LinesAreBoundedTo1022Characters)
{
    std::string fits = "# " + std::string(1020, 'x') + "\n";
    std::string too_long = "# " + std::string(1021, 'x') + "\n";

    ASSERT_EQ(fits.size(), 1023u);
    loads_in_child(fits + daemon_block("send.command = " + std::string(1007, 's') + "\n"));
    fails_on_stderr("[general]\n" + too_long, "error: configuration file contains long line at 2\n");
    fails_on_stderr(daemon_block("send.command = x\n# no newline"),
                    "error: configuration file contains long line at 3\n");
    fails_on_stderr("[general]\n" + std::string(1, '\0') + "x = y\n",
                    "error: configuration file contains long line at 2\n");

    struct ks_cf *cf = load(daemon_block("send.command = " + std::string(1007, 's') + "\n"));
    EXPECT_EQ(strlen(send(cf).template_), 1007u);
}

TEST_F(Cf, DataBeforeAnyBlockIsFatal)
{
    fails_on_stderr("# comment\n\n\r\nkey = value\n", "error: configuration file lacks block at line 4\n");
    fails_on_stderr(" [daemon]\n", "error: configuration file lacks block at line 1\n");
}

TEST_F(Cf, IncompleteHeaderIsFatal)
{
    fails_on_stderr("# c\n[daemon\n", "error: incomplete configuration block [daemon] at line 2\n");
    fails_on_stderr("[\n", "error: incomplete configuration block [] at line 1\n");
}

TEST_F(Cf, UnknownBlocksAreSkippedSilently)
{
    struct ks_cf *cf = load("[ daemon ]\nno equal sign\nsend.command = x\n[Daemon]\nsend.command = y\n"
                            "[other] trailing text\nanything\n");

    EXPECT_EQ(send(cf).template_, nullptr);
    EXPECT_EQ(ks_test_syslog_dump(), "");
}

TEST_F(Cf, HeaderTextAfterTheBracketIsIgnored)
{
    struct ks_cf *cf = load("[daemon] # the daemon\nsend.command = x\n");

    EXPECT_STREQ(send(cf).template_, "x");
}

TEST_F(Cf, DataLineWithoutEqualSignIsAParseError)
{
    fails_on_stderr("[general]\nkey = value\n  indented comment\n", "error: configuration parse error at line 3\n");
    fails_on_stderr(daemon_block("\tsend.command\n"), "error: configuration parse error at line 2\n");
    fails_on_stderr(archive_block(" \n"), "error: configuration parse error at line 2\n");
}

TEST_F(Cf, KeyIsCutAtWhiteSpaceAndValueKeepsTheRest)
{
    struct ks_cf *cf = load(daemon_block("  send.command x = a=b  \n\tsnapshot.command=c\n"));

    EXPECT_STREQ(send(cf).template_, "a=b  ");
    EXPECT_STREQ(snapshot(cf).template_, "c");
    EXPECT_EQ(ks_test_syslog_dump(), "");
}

TEST_F(Cf, CommentsAndBlankLinesAreSkippedAnywhere)
{
    struct ks_cf *cf = load("# top\n\n[daemon]\n# inside\n\r\n\rsend.command = skipped\nsend.command = z\n");

    EXPECT_STREQ(send(cf).template_, "z");
}

// Archive block.

TEST_F(Cf, ArchiveKeys)
{
    struct ks_cf *cf = load(archive_block("dump.root = /srv/archive\n"
                                          "dump.quota = 150%\n"
                                          "dump.mode = 600\n"
                                          "dump.fail = unlink\n"
                                          "archive.command = /bin/true -x %p\n"
                                          "archive.disabled = TRUE\n"));

    EXPECT_STREQ(cf->archive.root, "/srv/archive");
    EXPECT_DOUBLE_EQ(cf->archive.quota, 1.5);
    EXPECT_EQ(cf->archive.mode, 0600u);
    EXPECT_TRUE(cf->archive.unlink);
    EXPECT_STREQ(cf->archive.command, "/bin/true -x %p");
    EXPECT_TRUE(cf->archive.disabled);
}

TEST_F(Cf, ArchiveUnknownKeyWarnsOnStandardErrorAndGoesOn)
{
    ks_test_result r = load_child(archive_block("dump.size = 4\narchive.disabled = false\n"));

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "warning: ignoring unknown archive option [dump.size]\n");
    EXPECT_EQ(ks_test_syslog_dump(), "");
}

TEST_F(Cf, QuotaPercentages)
{
    EXPECT_DOUBLE_EQ(load(archive_block("dump.quota = 5%x\n"))->archive.quota, 0.05);
    EXPECT_DOUBLE_EQ(load(archive_block("dump.quota = 18446744073709551615%\n"))->archive.quota,
                     18446744073709551615.0 / 100);
    for (const char *bad : {"5", "%", "", "-5%", "18446744073709551616%", "x5%"})
        fails_on_syslog(archive_block("# q\ndump.quota = " + std::string(bad) + "\n"), LOG_ERR,
                        "error: malformed percentage  percentage " + std::string(bad) + " at line 3\n");
}

TEST_F(Cf, ModesAreOctal)
{
    EXPECT_EQ(load(archive_block("dump.mode = 640\n"))->archive.mode, 0640u);
    EXPECT_EQ(load(archive_block("dump.mode = 0640\n"))->archive.mode, 0640u);
    for (const char *bad : {"0640 ", "8", "", "0x1", "640x", "99999999999999999999999"})
        fails_on_stderr(archive_block("dump.mode = " + std::string(bad) + "\n"),
                        "error: malformed mode: " + std::string(bad) + "\n");
}

TEST_F(Cf, UsersAndGroupsAreLookedUp)
{
    if (getpwnam("nobody") == nullptr || getgrnam("nogroup") == nullptr)
        GTEST_SKIP() << "no nobody/nogroup here";
    struct ks_cf *cf = load(archive_block("dump.user = nobody\n"));
    EXPECT_EQ(cf->archive.uid, getpwnam("nobody")->pw_uid);
    EXPECT_STREQ(cf->archive.home, getpwnam("nobody")->pw_dir);
    EXPECT_EQ(cf->archive.gid, getgid()) << "the group is not changed";

    cf = load(archive_block("dump.group = nogroup\ndump.user = nobody\ndump.user = root\n"));
    EXPECT_EQ(cf->archive.uid, 0u);
    EXPECT_STREQ(cf->archive.home, getpwnam("root")->pw_dir);
    EXPECT_EQ(cf->archive.gid, getgrnam("nogroup")->gr_gid);

    fails_on_stderr(archive_block("dump.user = no-such-user-here\n"), "error: invalid user: user not found\n");
    fails_on_stderr(archive_block("dump.group = no-such-group-here\n"), "error: invalid group: group not found\n");
}

TEST_F(Cf, FailureModeMustBeUnlink)
{
    fails_on_syslog(archive_block("dump.fail = keep\n"), LOG_ERR, "error: unknown failure mode: keep\n");
    fails_on_syslog(archive_block("dump.fail = Unlink\n"), LOG_ERR, "error: unknown failure mode: Unlink\n");
}

TEST_F(Cf, Booleans)
{
    EXPECT_FALSE(load(archive_block("archive.disabled = true\narchive.disabled = False\n"))->archive.disabled);
    EXPECT_TRUE(load(daemon_block("purge.disabled = tRuE\n"))->daemon.purge.disabled);
    fails_on_syslog(daemon_block("purge.disabled = true\r\n"), LOG_ERR, "error: malformed boolean value [true\r]\n");
    fails_on_syslog(archive_block("archive.disabled = yes\n"), LOG_ERR, "error: malformed boolean value [yes]\n");
    fails_on_syslog(archive_block("archive.disabled = true false\n"), LOG_ERR,
                    "error: malformed boolean value [true false]\n");
    fails_on_syslog(archive_block("archive.disabled =\n"), LOG_ERR, "error: malformed boolean value []\n");
}

TEST_F(Cf, IgnoreRules)
{
    ks_cf_init();
    EXPECT_FALSE(ks_cf_archive_has_ignore());
    EXPECT_FALSE(ks_cf_archive_ignore("/usr/bin/anything"));

    load(archive_block("dump.ignore = ^/usr/bin/(sleep|cat)( |$)\ndump.ignore = chrom[e]\n"));
    EXPECT_TRUE(ks_cf_archive_has_ignore());
    EXPECT_TRUE(ks_cf_archive_ignore("/usr/bin/sleep 10"));
    EXPECT_TRUE(ks_cf_archive_ignore("/opt/chrome --type=renderer"));
    EXPECT_FALSE(ks_cf_archive_ignore("/usr/bin/sleeper"));
    EXPECT_FALSE(ks_cf_archive_ignore(""));
    EXPECT_FALSE(ks_cf_archive_ignore(nullptr));

    fails_on_syslog(archive_block("dump.ignore = (\n"), LOG_ERR, "error: malformed regular expression.\n");
}

// Daemon block.

TEST_F(Cf, DaemonKeys)
{
    struct ks_cf *cf = load(daemon_block("defaults.command = /bin/defaults %e\n"
                                         "defaults.variable = MY_DEFAULTS\n"
                                         "snapshot.command = snap %e\n"
                                         "snapshot.concurrency = 4\r\n"
                                         "snapshot.retry.action = archive\n"
                                         "snapshot.retry.limit = -1\n"
                                         "snapshot.retry.interval = 15m\n"
                                         "snapshot.commit = keep\n"
                                         "snapshot.output = syslog\n"
                                         "snapshot.timeout = 2h\n"
                                         "send.retry.action = UNLINK\n"
                                         "send.retry.limit = 3x\n"
                                         "send.retry.interval = 1w\n"
                                         "send.concurrency = abc\n"
                                         "send.command = send %S\n"
                                         "send.commit =\n"
                                         "send.output = inherit\n"
                                         "send.timeout = 1M\n"
                                         "purge.age = 1d\n"
                                         "purge.quota = 100\n"
                                         "purge.disabled = false\n"));

    EXPECT_STREQ(cf->daemon.defaults_command, "/bin/defaults %e");
    EXPECT_STREQ(cf->daemon.defaults_variable, "MY_DEFAULTS");
    EXPECT_STREQ(snapshot(cf).template_, "snap %e");
    EXPECT_EQ(snapshot(cf).concurrency, 4u);
    EXPECT_EQ(snapshot(cf).retry, KS_CF_A_ARCHIVE);
    EXPECT_EQ(snapshot(cf).limit, 4294967295u);
    EXPECT_EQ(snapshot(cf).interval, 900);
    EXPECT_EQ(snapshot(cf).commit, KS_CF_A_ARCHIVE);
    EXPECT_EQ(snapshot(cf).output, KS_CF_SLAVE_OUTPUT_SYSLOG);
    EXPECT_EQ(snapshot(cf).timeout, 7200);
    EXPECT_EQ(send(cf).retry, KS_CF_A_UNLINK);
    EXPECT_EQ(send(cf).limit, 3u);
    EXPECT_EQ(send(cf).interval, 604800);
    EXPECT_EQ(send(cf).concurrency, 0u);
    EXPECT_STREQ(send(cf).template_, "send %S");
    EXPECT_EQ(send(cf).commit, KS_CF_A_ARCHIVE);
    EXPECT_EQ(send(cf).output, KS_CF_SLAVE_OUTPUT_INHERIT);
    EXPECT_EQ(send(cf).timeout, 2592000);
    EXPECT_EQ(cf->daemon.purge.age, 86400);
    EXPECT_EQ(cf->daemon.purge.quota, 100u);
    EXPECT_FALSE(cf->daemon.purge.disabled);
    EXPECT_EQ(ks_test_syslog_dump(), "");
}

TEST_F(Cf, SnapshotTemplateHasTwoNamesAndTheLastLineWins)
{
    struct ks_cf *cf = load(daemon_block("snapshot.command = one\nsnapshot.template = two\n"));
    EXPECT_STREQ(snapshot(cf).template_, "two");
    cf = load(daemon_block("snapshot.template = two\nsnapshot.command = three\nsnapshot.retry.limit = 1\n"
                           "snapshot.retry.limit = 2\n"));
    EXPECT_STREQ(snapshot(cf).template_, "three");
    EXPECT_EQ(snapshot(cf).limit, 2u);
}

TEST_F(Cf, DaemonUnknownKeysWarnInSyslog)
{
    struct ks_cf *cf = load(daemon_block("send.template = x\nSend.command = y\nsnapshot.bogus = 1\n"));

    EXPECT_EQ(send(cf).template_, nullptr);
    EXPECT_EQ(ks_test_syslog_dump(), "<4> warning: ignoring unknown daemon option send.template\n"
                                     "<4> warning: ignoring unknown daemon option Send.command\n"
                                     "<4> warning: ignoring unknown daemon option snapshot.bogus\n");
}

TEST_F(Cf, ActionWords)
{
    struct ks_cf *cf = load(daemon_block("snapshot.commit = unlink\nsend.commit = UnLiNk\n"
                                         "snapshot.retry.action = unlink \nsend.retry.action = unlinked\n"));

    EXPECT_EQ(snapshot(cf).commit, KS_CF_A_UNLINK);
    EXPECT_EQ(send(cf).commit, KS_CF_A_UNLINK);
    EXPECT_EQ(snapshot(cf).retry, KS_CF_A_ARCHIVE);
    EXPECT_EQ(send(cf).retry, KS_CF_A_ARCHIVE);
}

TEST_F(Cf, AgesNeedAUnit)
{
    fails_on_syslog(daemon_block("\nsnapshot.timeout = 30\n"), LOG_ERR,
                    "error: timestamp malformed at line 3: invalid age suffix specified\n");
    fails_on_syslog(daemon_block("purge.age = 0s\n"), LOG_ERR, "error: timestamp malformed at line 2: out of range\n");
    fails_on_syslog(daemon_block("send.retry.interval = abc\n"), LOG_ERR,
                    "error: timestamp malformed at line 2: out of range\n");
    EXPECT_EQ(load(daemon_block("send.retry.interval = 5days\n"))->daemon.stages[KS_SLAVE_SEND].interval, 432000);
}

TEST_F(Cf, PurgeQuotaIsAWholeDecimal)
{
    EXPECT_EQ(load(daemon_block("purge.quota = 18446744073709551615\n"))->daemon.purge.quota, ULONG_MAX);
    for (const char *bad : {"100 ", "x", "", "12abc", "18446744073709551616"})
        fails_on_syslog(daemon_block("purge.quota = " + std::string(bad) + "\n"), LOG_ERR,
                        "error: malformed quota at line 2\n");
}

TEST_F(Cf, OutputModes)
{
    struct ks_cf *cf = load(daemon_block("snapshot.output = append /var/log/snap.log\n"
                                         "send.output = append /var/log/send.log purge 4096\n"));
    EXPECT_EQ(snapshot(cf).output, KS_CF_SLAVE_OUTPUT_APPEND);
    EXPECT_STREQ(snapshot(cf).append_output.file_path, "/var/log/snap.log");
    EXPECT_EQ(snapshot(cf).append_output.action, KS_CF_APPEND_OUTPUT_ACTION_RENAME);
    EXPECT_EQ(snapshot(cf).append_output.byte_limit, 104857600u);
    EXPECT_EQ(send(cf).output, KS_CF_SLAVE_OUTPUT_APPEND);
    EXPECT_STREQ(send(cf).append_output.file_path, "/var/log/send.log");
    EXPECT_EQ(send(cf).append_output.action, KS_CF_APPEND_OUTPUT_ACTION_PURGE);
    EXPECT_EQ(send(cf).append_output.byte_limit, 4096u);

    cf = load(daemon_block("snapshot.output = appendix\t/x   renamed\n"
                           "send.output = append /y purgeall  1k\n"));
    EXPECT_STREQ(snapshot(cf).append_output.file_path, "/x");
    EXPECT_EQ(snapshot(cf).append_output.action, KS_CF_APPEND_OUTPUT_ACTION_RENAME);
    EXPECT_EQ(snapshot(cf).append_output.byte_limit, 104857600u);
    EXPECT_EQ(send(cf).append_output.action, KS_CF_APPEND_OUTPUT_ACTION_PURGE);
    EXPECT_EQ(send(cf).append_output.byte_limit, 1u);

    cf = load(daemon_block("snapshot.output = append /x\nsnapshot.output = null\n"));
    EXPECT_EQ(snapshot(cf).output, KS_CF_SLAVE_OUTPUT_NULL);

    for (const char *bad : {"append", "append   ", "append /x truncate", "append /x rename lots", "Null", "SYSLOG",
                            "syslog ", "", "file /x"})
        fails_on_syslog(daemon_block("send.output = " + std::string(bad) + "\n"), LOG_ERR,
                        "error: unknown output mode [" + std::string(bad) + "]\n");
}

// Format rules.

namespace {

char *executable(char value, const char *prefix, const char *suffix, void *cl)
{
    const char *e = static_cast<const char *>(cl);

    if (value != 'e' || e == nullptr)
        return nullptr;
    return strdup((std::string(prefix) + e + suffix).c_str());
}

} // namespace

TEST_F(Cf, FormatRulesApplyInFileOrder)
{
    char python[] = "/usr/bin/python3", other[] = "/bin/sh";

    load(daemon_block("format.3 = a %e ^/usr/bin/python\nformat.3 = b\n"));
    EXPECT_STREQ(ks_cf_format_match('3', executable, python), "a");
    EXPECT_STREQ(ks_cf_format_match('3', executable, other), "b");
    EXPECT_STREQ(ks_cf_format_match('4', executable, python), "blackhole");
    EXPECT_STREQ(ks_cf_format_match('0', executable, python), "blackhole");

    ks_cf_deinit();
    load(daemon_block("format.3 = b\nformat.3 = a %e ^/usr/bin/python\n"));
    EXPECT_STREQ(ks_cf_format_match('3', executable, python), "b");
}

TEST_F(Cf, FormatRuleWithoutValueForItsLetterIsSkipped)
{
    char sh[] = "/bin/sh";

    load(daemon_block("format.1 = x %e .*\nformat.1 = y\n"));
    EXPECT_STREQ(ks_cf_format_match('1', executable, nullptr), "y");
    EXPECT_STREQ(ks_cf_format_match('1', executable, sh), "x");
}

TEST_F(Cf, FormatRuleDetails)
{
    char sh[] = "/bin/sh";

    // Two blanks give an empty expression, which matches everything; parts
    // after the expression are ignored; format.7x is position 7.
    load(daemon_block("format.1 = x %e  .*\nformat.2 = y %e ^/usr trailing words\nformat.7x = z\n"
                      "format.9 =\n"));
    EXPECT_STREQ(ks_cf_format_match('1', executable, sh), "x");
    EXPECT_STREQ(ks_cf_format_match('2', executable, sh), "blackhole");
    EXPECT_STREQ(ks_cf_format_match('7', executable, sh), "z");
    EXPECT_STREQ(ks_cf_format_match('9', executable, sh), "");
}

TEST_F(Cf, FormatRuleErrors)
{
    fails_on_syslog(daemon_block("format. = x\n"), LOG_ERR, "error: format option requires option on line 2.\n");
    for (const char *key : {"format.0", "format.10", "format.x", "format.-1", "format.4294967297"})
        fails_on_syslog(daemon_block(std::string(key) + " = x\n"), LOG_ERR,
                        "error: format positon must be between 0 and 9  on line 2.\n");
    fails_on_syslog(daemon_block("format.1 = x %e\n"), LOG_ERR, "error: format requires expression on line 2.\n");
    fails_on_syslog(daemon_block("format.1 = x \n"), LOG_ERR, "error: format requires expression on line 2.\n");
    fails_on_syslog(daemon_block("format.1 = x %1 .*\n"), LOG_ERR, "error: format expansion cannot reference 0-9.\n");
    fails_on_syslog(daemon_block("format.1 = x e .*\n"), LOG_ERR, "error: invalid format string.\n");
    fails_on_syslog(daemon_block("format.1 = x %ee .*\n"), LOG_ERR, "error: invalid format string.\n");
    fails_on_syslog(daemon_block("format.1 = x %e (\n"), LOG_ERR, "error: malformed regular expression.\n");
}

TEST_F(Cf, InitEmptiesFormatRulesButKeepsIgnoreRules)
{
    char sh[] = "/bin/sh";

    load(archive_block("dump.ignore = x\n") + daemon_block("format.1 = v\n"));
    // The record's one heap default; ks_cf_init zeroes the record without freeing.
    free(const_cast<char *>(ks_cf_get()->archive.command));
    ks_cf_init();
    EXPECT_STREQ(ks_cf_format_match('1', executable, sh), "blackhole");
    EXPECT_TRUE(ks_cf_archive_has_ignore());
}

// The general block only needs well-formed lines.
TEST_F(Cf, GeneralBlock)
{
    loads_in_child("[general]\nanything = at all\n[daemon]\nsend.command = x\n");
    fails_on_stderr("[general]\nno equal\n", "error: configuration parse error at line 2\n");
}

// snapshot.compress names one of two methods; anything else stops the
// program with one line, the client included, which logs nowhere else.
TEST_F(Cf, CompressionSettings)
{
    struct ks_cf *cf = load(daemon_block(""));
    EXPECT_EQ(cf->daemon.compress.method, KS_CF_COMPRESS_NONE);
    EXPECT_EQ(cf->daemon.compress.client, nullptr);
    cf = load(daemon_block("snapshot.compress = zstd\nsnapshot.compress.client = /opt/k/kestrel\n"
                           "snapshot.compress.client = /usr/bin/kestrel\n"));
    EXPECT_EQ(cf->daemon.compress.method, KS_CF_COMPRESS_ZSTD);
    EXPECT_STREQ(cf->daemon.compress.client, "/usr/bin/kestrel");
    EXPECT_EQ(load(daemon_block("snapshot.compress = zstd\nsnapshot.compress = none\n"))->daemon.compress.method,
              KS_CF_COMPRESS_NONE);
    for (const char *value : {"gzip", "ZSTD", "", "zstd "})
        fails_on_stderr(daemon_block(std::string("snapshot.compress = ") + value + "\n"),
                        std::string("error: unknown compression at line 2: ") + value + "\n");
}
