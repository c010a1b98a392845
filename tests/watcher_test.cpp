// The crash pipeline through the real kestreld on a temporary archive tree:
// crashes with different fates go through one daemon each, with small shell
// scripts as the defaults, snapshot and send commands.

#include "common/facts.h"
#include "common/tar.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>
#include <zstd.h>

namespace {

const char started[] = "Kestrel server initialized, entering main loop.";

using names = std::set<std::string>;

// Every file under dir, as paths relative to it.
void walk(const std::string &dir, const std::string &prefix, names &found)
{
    DIR *d = opendir(dir.c_str());

    if (d == nullptr)
        return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (e->d_type == DT_DIR)
            walk(dir + "/" + name, prefix + name + "/", found);
        else
            found.insert(prefix + name);
    }
    closedir(d);
}

size_t count_messages(const std::string &prefix)
{
    size_t n = 0;

    for (const auto &log : ks_test_syslog_read())
        n += log.text.starts_with(prefix);
    return n;
}

struct Pipeline : ::testing::Test {
    ks_test_dir dir;
    std::string root = dir / "root", conf = dir / "kestrel.conf", bin = dir / "bin";
    std::string calls = dir / "calls", outbox = dir / "outbox";
    pid_t pid = -1;

    void SetUp() override
    {
        ks_test_syslog_start();
        mkdir(bin.c_str(), 0755);
        mkdir(outbox.c_str(), 0755);
        // Fates are chosen by base name; every start is noted in calls.
        script("defaults", "case \"$1\" in\n"
                           "def-empty*) exit 0;;\n"
                           "def-nl*) printf 'a=1\\n';;\n"
                           "def-fail*) exit 3;;\n"
                           "def-hang*) exec sleep 60;;\n"
                           "def-big*) head -c 200000 /dev/zero | tr '\\0' x;;\n"
                           "*) printf host=test;;\n"
                           "esac\n");
        script("snap", "echo \"snap $1\" >> '" + calls + "'\n"
                       "case \"$1\" in\n"
                       "snapfail*) echo partial > \"$3\"; exit 1;;\n"
                       "crash*) [ -e '" + dir / "crashed" + "' ] || { : > '" + dir / "crashed" + "'; kill -KILL $$; };;\n"
                       "hang*) exec sleep 60;;\n"
                       "gate*|slow-snap*) " + hold("$1") + ";;\n"
                       "loud*) head -c 3000000 /dev/zero; head -c 3000000 /dev/zero >&2;;\n"
                       "esac\n"
                       "if [ -n \"${QUELLON_DEFAULTS+x}\" ]; then printf 'set:%s|%s' \"$QUELLON_DEFAULTS\" \"$4\";"
                       " else printf 'unset|%s' \"$4\"; fi > \"$3\"\n");
        script("send", "echo \"send $1\" >> '" + calls + "'\n"
                       "[ -n \"$PATH\" ] || echo \"send $1 without PATH\" >> '" + calls + "'\n"
                       "case \"$1\" in sendfail*) exit 3;; slow-send*) " + hold("$1") + ";; esac\n"
                       "cp \"$2\" '" + outbox + "'/\"$1\"\n");
    }

    void TearDown() override { stop(); }

    // Shell text: note the pid, note any other command still running for
    // the same crash, and wait for the release file.
    std::string hold(const std::string &base)
    {
        std::string lock = dir / "lock-", release = dir / "release";
        return "echo $$ > '" + dir / "pid-" + "'" + base + "; exec 9> '" + lock + "'" + base + "; flock -n 9 || echo \"overlap " +
               base + "\" >> '" + calls + "'; while [ ! -e '" + release + "' ]; do sleep 0.02 9>&-; done";
    }

    void script(const std::string &name, const std::string &body)
    {
        ks_test_write_file(bin + "/" + name, "#!/bin/sh\n" + body);
        chmod((bin + "/" + name).c_str(), 0755);
    }

    void configure(const std::string &daemon_lines, const std::string &archive_lines = "")
    {
        ks_test_write_file(conf, "[archive]\ndump.root = " + root + "\narchive.disabled = true\n" + archive_lines +
                                     "[daemon]\n"
                                     "defaults.command = " + bin + "/defaults %B\n"
                                     "snapshot.command = " + bin + "/snap %B %c %S %e\n"
                                     "send.command = " + bin + "/send %B %S\n"
                                     "snapshot.concurrency = 2\nsend.concurrency = 2\n" +
                                     daemon_lines);
    }

    // Starts kestreld in the foreground and waits for the end of its start-up.
    // The syslog stand-in stays with the daemon and its commands run without
    // it: instrumented, it would slow down every one of them.
    bool start()
    {
        size_t before = count_messages(started);
        pid = ks_test_spawn({KS_TEST_KESTRELD, "-f", "-c", conf}, {"KS_TEST_SYSLOG_ALONE=1"}, dir / "out",
                            dir / "err");
        return ks_test_wait_until([&] { return count_messages(started) > before; });
    }

    void stop()
    {
        if (pid > 0)
            ks_test_stop(pid);
        pid = -1;
    }

    void tree() { ASSERT_EQ(system(("mkdir -p " + root + "/staging " + root + "/pending " + root + "/sending " +
                                    root + "/assets " + root + "/committed/coredump")
                                       .c_str()),
                            0); }

    void asset(const std::string &base, const std::string &exe = "/usr/bin/app")
    {
        int fd = open((root + "/assets/" + base).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ks_tar_t *tar = ks_tar_fdopen(fd);
        ASSERT_TRUE(ks_tar_symlink(tar, "/proc/self/exe", exe.c_str(), time(nullptr)));
        ASSERT_TRUE(ks_tar_commit(tar));
        ks_tar_destroy(tar);
        close(fd);
    }

    // A crash as the archiver leaves it: the asset first, then the core
    // image moved into the pending directory.
    void crash(const std::string &base, bool with_asset = true, time_t age = 0)
    {
        std::string staged = root + "/staging/" + base;
        if (with_asset)
            asset(base);
        ks_test_write_file(staged, "core of " + base);
        if (age != 0) {
            struct timeval then[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
            utimes(staged.c_str(), then);
        }
        ASSERT_EQ(rename(staged.c_str(), (root + "/pending/" + base).c_str()), 0);
    }

    bool processed(const std::string &base) { return count_messages("crash " + base + " processed in ") > 0; }

    bool wait_for(const std::vector<std::string> &prefixes)
    {
        return ks_test_wait_until([&] {
            auto logs = ks_test_syslog_read();
            return std::all_of(prefixes.begin(), prefixes.end(), [&](const std::string &p) {
                return std::any_of(logs.begin(), logs.end(), [&](const ks_test_log &l) { return l.text.starts_with(p); });
            });
        });
    }

    names files()
    {
        names found;
        walk(root, "", found);
        return found;
    }

    std::string delivered(const std::string &base) { return ks_test_read_file(outbox + "/" + base); }
};

} // namespace

// One daemon, many crashes: retries, both ways of giving up, the age rule, the
// defaults variable in all its forms, a crash without asset, and files found
// at start-up in the pending and sending directories.
TEST_F(Pipeline, EveryCrashReachesItsEnd)
{
    tree();
    configure("snapshot.retry.limit = 2\nsend.retry.limit = 2\n"
              "snapshot.retry.interval = 1s\nsend.retry.interval = 1s\n"
              "snapshot.timeout = 2s\nsend.timeout = 2s\n"
              "snapshot.retry.action = archive\nsend.retry.action = unlink\npurge.age = 1h\n");
    crash("early");
    asset("resend");
    ks_test_write_file(root + "/sending/resend", "snapshot of resend");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();

    for (const char *base : {"ok", "def-empty", "def-nl", "def-fail", "def-hang", "def-big", "snapfail", "crash",
                             "hang", "sendfail", "loud"})
        crash(base);
    crash("noexe", false);
    crash("old", true, 7200);
    ASSERT_TRUE(wait_for({"crash early processed", "crash resend processed", "crash ok processed",
                          "crash def-empty processed", "crash def-nl processed", "crash def-fail processed",
                          "crash def-hang processed", "crash def-big processed", "crash crash processed",
                          "crash loud processed", "error: failed to process snapfail (2 attempts)",
                          "error: failed to process hang (2 attempts)",
                          "error: failed to process sendfail (2 attempts)"}))
        << ks_test_syslog_dump();
    // A command that cannot be rendered counts as an attempt: given up at the limit.
    ASSERT_TRUE(wait_for({"error: failed to process noexe (2 attempts)"})) << ks_test_syslog_dump();

    // Where every file ends: kept failures in the failure directories,
    // nothing else.
    EXPECT_EQ(files(), names({"assets/snapfail", "failed/pending/snapfail", "assets/hang", "failed/pending/hang",
                              "failed/pending/noexe"}));
    EXPECT_EQ(delivered("ok"), "set:host=test|/usr/bin/app");
    EXPECT_EQ(delivered("def-empty"), "set:|/usr/bin/app");
    EXPECT_EQ(delivered("def-nl"), "set:a=1\n|/usr/bin/app");
    EXPECT_EQ(delivered("def-fail"), "unset|/usr/bin/app");
    EXPECT_EQ(delivered("def-hang"), "unset|/usr/bin/app");
    EXPECT_EQ(delivered("def-big"), "unset|/usr/bin/app");
    EXPECT_EQ(delivered("resend"), "snapshot of resend");

    std::string defaults = bin + "/defaults";
    for (const auto &[priority, text] : std::vector<std::pair<int, std::string>>{
             {LOG_WARNING, "unable to execute " + defaults + " - command failed with exit code 3\n"},
             {LOG_WARNING, "unable to execute " + defaults + " - command failed with signal 9\n"},
             {LOG_WARNING, "warning: output of " + defaults + " is too large for QUELLON_DEFAULTS (200018 bytes), "
                                                              "not passed\n"},
             {LOG_ERR, "error: snapfail has failed at pending stage due to non-zero exit\n"},
             {LOG_ERR, "error: crash has failed at pending stage due to abnormal termination\n"},
             {LOG_ERR, "error: hang has failed at pending stage due to timeout\n"},
             {LOG_ERR, "error: sendfail has failed at sending stage due to non-zero exit\n"},
             {LOG_ERR, "error: failed to process old (exceeds age)\n"},
             {LOG_ERR, "Object has no executable.\n"},
         })
        EXPECT_TRUE(ks_test_syslog_has(priority, text)) << text << "\n" << ks_test_syslog_dump();
    for (const auto &log : ks_test_syslog_read()) {
        size_t at = log.text.find(" processed in ");
        if (!log.text.starts_with("crash ") || at == std::string::npos)
            continue;
        unsigned long seconds = std::stoul(log.text.substr(at + 14));
        EXPECT_TRUE(log.text.ends_with(seconds == 1 ? " second" : " seconds")) << log.text;
        EXPECT_EQ(LOG_PRI(log.priority), LOG_INFO);
    }

    std::string log = ks_test_read_file(calls);
    EXPECT_EQ(log.find("snap noexe"), std::string::npos) << "a command that cannot be rendered never starts";
    EXPECT_EQ(log.find("old"), std::string::npos);
    EXPECT_EQ(log.find("without PATH"), std::string::npos) << log;
    EXPECT_NE(log.find("send resend"), std::string::npos);
    EXPECT_EQ(count_messages("Object has no executable."), 2u) << "once per attempt, and no more after the limit";
}

// The other way round: the snapshot stage deletes what it gives up, the send
// stage keeps the snapshot with the archive's owner and mode.
TEST_F(Pipeline, GivingUpTheOtherWay)
{
    tree();
    configure("snapshot.retry.limit = 1\nsend.retry.limit = 1\n"
              "snapshot.retry.action = unlink\nsend.retry.action = archive\n",
              "dump.mode = 0600\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    crash("snapfail");
    crash("sendfail");
    ASSERT_TRUE(wait_for({"error: failed to process snapfail (1 attempts)",
                          "error: failed to process sendfail (1 attempts)"}))
        << ks_test_syslog_dump();

    EXPECT_EQ(files(), names({"assets/sendfail", "failed/sending/sendfail"}));
    struct stat st;
    ASSERT_EQ(stat((root + "/failed/sending/sendfail").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Where every file ends for each combination of commit actions.
TEST_F(Pipeline, CommitActionsKeepOrDeleteEachFile)
{
    struct {
        const char *snapshot, *send;
        names kept;
    } cases[] = {
        {"unlink", "unlink", {}},
        {"archive", "unlink", {"committed/coredump/c", "assets/c"}},
        {"unlink", "archive", {"committed/snapshot/c", "assets/c"}},
        {"archive", "archive", {"committed/coredump/c", "committed/snapshot/c", "assets/c"}},
    };

    for (const auto &c : cases) {
        ks_test_syslog_start();
        system(("rm -rf " + root).c_str());
        tree();
        configure(std::string("snapshot.commit = ") + c.snapshot + "\nsend.commit = " + c.send + "\n",
                  "dump.mode = 0604\n");
        ASSERT_TRUE(start()) << ks_test_syslog_dump();
        crash("c");
        ASSERT_TRUE(ks_test_wait_until([&] { return processed("c"); })) << ks_test_syslog_dump();
        stop();
        EXPECT_EQ(files(), c.kept) << c.snapshot << "/" << c.send;
        struct stat st;
        if (stat((root + "/committed/snapshot/c").c_str(), &st) == 0) {
            EXPECT_EQ(st.st_mode & 07777, 0604u);
        }
        EXPECT_EQ(count_messages("kestrel triggering clean-up"), 0u) << "no purge, no timer";
    }
}

// Kept files go once older than the purge age, each with its asset, on the
// timer that the commit arms; old files are purged at start-up.
TEST_F(Pipeline, PurgeRemovesExpiredFilesWithTheirAssets)
{
    tree();
    mkdir((root + "/committed/coredump/subdir").c_str(), 0755);
    ks_test_write_file(root + "/committed/coredump/.hidden", "");
    ks_test_write_file(root + "/committed/coredump/stale", "");
    asset("stale");
    struct timeval then[2] = {{time(nullptr) - 86400, 0}, {time(nullptr) - 86400, 0}};
    utimes((root + "/committed/coredump/stale").c_str(), then);
    configure("snapshot.commit = archive\nsend.commit = archive\npurge.age = 3s\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_syslog_has(LOG_INFO, "kestrel purged " + root + "/committed/coredump/stale due to expiry\n"))
        << ks_test_syslog_dump();

    crash("kept");
    ASSERT_TRUE(wait_for({"crash kept processed", "kestrel triggering clean-up in "})) << ks_test_syslog_dump();
    EXPECT_EQ(files(), names({"committed/coredump/.hidden", "committed/coredump/kept", "committed/snapshot/kept",
                              "assets/kept"}));
    ASSERT_TRUE(wait_for({"kestrel purged " + root + "/committed/coredump/kept due to expiry\n",
                          "kestrel purged " + root + "/committed/snapshot/kept due to expiry\n"}))
        << ks_test_syslog_dump();
    EXPECT_EQ(files(), names({"committed/coredump/.hidden"}));
    EXPECT_TRUE(ks_test_exists(root + "/committed/coredump/subdir"));
}

// A crash written in place is not seen by the watch, but by the scan that
// SIGHUP asks for.
TEST_F(Pipeline, SighupFindsCrashesWrittenInPlace)
{
    tree();
    configure("");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    asset("inplace");
    ks_test_write_file(root + "/pending/inplace", "core");
    crash("moved");
    ASSERT_TRUE(ks_test_wait_until([&] { return processed("moved"); }));
    EXPECT_FALSE(processed("inplace"));
    kill(pid, SIGHUP);
    EXPECT_TRUE(ks_test_wait_until([&] { return processed("inplace"); })) << ks_test_syslog_dump();
}

// A daemon without the archive lock leaves the tree alone: no scan, no
// command. It takes over within a retry tick once the lock is free, and
// scans then.
TEST_F(Pipeline, WithoutTheLockNothingRuns)
{
    tree();
    configure("");
    int holder = open(root.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    crash("waiting");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    std::string failure = "error: failed to acquire lock on archive '" + root + "': Resource temporarily unavailable";
    ASSERT_TRUE(ks_test_wait_until([&] { return count_messages(failure) >= 2; })) << ks_test_syslog_dump();
    EXPECT_FALSE(ks_test_exists(calls)) << "no command ran";
    EXPECT_EQ(count_messages("adding "), 0u) << "no scan";

    close(holder);
    EXPECT_TRUE(ks_test_wait_until([&] { return processed("waiting"); })) << ks_test_syslog_dump();
    crash("watched");
    EXPECT_TRUE(ks_test_wait_until([&] { return processed("watched"); })) << ks_test_syslog_dump();
}

// Removing the pending directory: re-created at once, or at a retry tick
// while it cannot be; crashes that arrive meanwhile are found by the scan
// that follows.
TEST_F(Pipeline, PendingDirectoryRemovedWhileRunning)
{
    tree();
    configure("");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    ASSERT_EQ(system(("rm -rf " + root + "/pending").c_str()), 0);
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(root + "/pending"); }));
    crash("after-removal");
    ASSERT_TRUE(ks_test_wait_until([&] { return processed("after-removal"); })) << ks_test_syslog_dump();

    // A file where the directory belongs keeps the tree from being made.
    std::string pending = root + "/pending";
    kill(pid, SIGSTOP);
    ASSERT_EQ(system(("rm -rf " + pending + " && touch " + pending).c_str()), 0);
    kill(pid, SIGCONT);
    ASSERT_TRUE(wait_for({"warning: failed to ensure archive: failed to ensure path"})) << ks_test_syslog_dump();
    ASSERT_EQ(unlink(pending.c_str()), 0);
    // A retry tick may make it first.
    ASSERT_TRUE(mkdir(pending.c_str(), 0755) == 0 || errno == EEXIST);
    crash("meanwhile");
    EXPECT_TRUE(ks_test_wait_until([&] { return processed("meanwhile"); })) << ks_test_syslog_dump();
}

// A place that frees up goes at once to the crash that has waited longest
// for one, without waiting for the retry interval; a command that hangs,
// crashes or prints megabytes holds up no other crash.
TEST_F(Pipeline, FreedPlacesGoToTheLongestWaiting)
{
    tree();
    configure("snapshot.output = append " + dir / "snap.log" + " purge 100000\nsend.concurrency = 1\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    crash("gate");
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(dir / "pid-gate"); }));
    std::vector<std::string> queue;
    for (int i = 1; i <= 8; i++)
        queue.push_back("q" + std::to_string(i));
    crash("loud");
    crash("crash");
    for (const auto &base : queue)
        crash(base);
    ASSERT_TRUE(ks_test_wait_until([&] {
        return std::all_of(queue.begin(), queue.end(), [&](const std::string &q) { return processed(q); }) &&
               processed("loud") &&
               count_messages("error: crash has failed at pending stage due to abnormal termination") == 1;
    })) << ks_test_syslog_dump();
    EXPECT_FALSE(processed("gate"));
    EXPECT_FALSE(processed("crash")) << "a failed command waits for the retry interval";

    // A crash that finds a place free takes it (the pass serves the newest
    // first); the crashes that had to wait get places in the order they came.
    std::vector<std::string> arrived, waited, started;
    for (const auto &log : ks_test_syslog_read()) {
        const std::string &t = log.text;
        if (t.starts_with("adding "))
            arrived.push_back(t.substr(t.rfind('/') + 1, t.size() - t.rfind('/') - 2));
        if (!t.starts_with("object ") || t.find(": new state ") == std::string::npos)
            continue;
        std::string base = t.substr(7, t.find(':') - 7);
        bool first = std::find(started.begin(), started.end(), base) == started.end() &&
                     std::find(waited.begin(), waited.end(), base) == waited.end();
        if (first && t.ends_with("failed\n"))
            waited.push_back(base);
        if (t.ends_with("active\n") && std::find(started.begin(), started.end(), base) == started.end())
            started.push_back(base);
    }
    std::vector<std::string> in_arrival, in_start;
    for (const auto &base : arrived)
        if (std::find(waited.begin(), waited.end(), base) != waited.end())
            in_arrival.push_back(base);
    for (const auto &base : started)
        if (std::find(in_arrival.begin(), in_arrival.end(), base) != in_arrival.end())
            in_start.push_back(base);
    EXPECT_GE(in_arrival.size(), 8u) << ks_test_syslog_dump();
    EXPECT_EQ(in_start, in_arrival) << ks_test_read_file(calls);
    ks_test_write_file(dir / "release", "");
    EXPECT_TRUE(ks_test_wait_until([&] { return processed("gate"); }));
}

// kill -9 of the daemon while a snapshot and while a send runs: the commands
// die with it, and after a restart every crash reaches its end (the send that
// ran may run again, never two at once).
TEST_F(Pipeline, KilledDaemonLosesNothing)
{
    tree();
    configure("");
    for (const char *base : {"slow-snap", "slow-send"}) {
        ASSERT_TRUE(start()) << ks_test_syslog_dump();
        crash(base);
        std::string pid_file = dir / "pid-" + base;
        ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(pid_file); }));
        pid_t command = static_cast<pid_t>(atol(ks_test_read_file(pid_file).c_str()));
        unlink(pid_file.c_str());
        stop();
        EXPECT_TRUE(ks_test_process_ends(command)) << base << ": the command outlived the daemon";

        ks_test_write_file(dir / "release", "");
        ASSERT_TRUE(start()) << ks_test_syslog_dump();
        EXPECT_TRUE(ks_test_wait_until([&] { return processed(base); })) << base << "\n" << ks_test_syslog_dump();
        stop();
        unlink((dir / "release").c_str());
    }
    EXPECT_EQ(files(), names{});
    std::string log = ks_test_read_file(calls);
    EXPECT_EQ(log.find("overlap"), std::string::npos) << log;
    EXPECT_NE(log.find("send slow-send\nsend slow-send\n"), std::string::npos) << "sent again after the restart";
    EXPECT_EQ(delivered("slow-snap"), "set:host=test|/usr/bin/app");
}

// More arrivals than the kernel queues while the daemon is stopped: the
// overflow makes it scan, and no crash is lost.
TEST_F(Pipeline, OverflowedWatchLosesNothing)
{
    int queued = atoi(ks_test_read_file("/proc/sys/fs/inotify/max_queued_events").c_str());
    if (queued <= 0 || queued > 50000)
        GTEST_SKIP() << "inotify queue of " << queued;
    tree();
    configure("snapshot.concurrency = 0\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    int total = queued + 1000;
    kill(pid, SIGSTOP);
    for (int i = 0; i < total; i++) {
        std::string base = "f" + std::to_string(i);
        ks_test_write_file(root + "/staging/" + base, "");
        ASSERT_EQ(rename((root + "/staging/" + base).c_str(), (root + "/pending/" + base).c_str()), 0);
    }
    kill(pid, SIGCONT);
    EXPECT_TRUE(ks_test_wait_until([&] { return count_messages("adding ") == static_cast<size_t>(total); }, 120000))
        << count_messages("adding ") << " of " << total;
}

// A burst of 2,000 crashes at concurrency 2, with plain programs as
// commands: every crash is delivered once.
TEST_F(Pipeline, FloodOfCrashes)
{
    const int total = 2000;
    tree();
    ks_test_write_file(conf, "[archive]\ndump.root = " + root + "\narchive.disabled = true\n[daemon]\n"
                             "defaults.command = /bin/true\nsnapshot.command = /bin/cp %c %S\n"
                             "send.command = /bin/ln %S " + outbox + "/%B\n"
                             "snapshot.concurrency = 2\nsend.concurrency = 2\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    for (int i = 0; i < total; i++)
        ks_test_write_file(root + "/staging/c" + std::to_string(i), "core " + std::to_string(i));
    for (int i = 0; i < total; i++) {
        std::string base = "c" + std::to_string(i);
        ASSERT_EQ(rename((root + "/staging/" + base).c_str(), (root + "/pending/" + base).c_str()), 0);
    }
    auto outboxed = [&] {
        names found;
        walk(outbox, "", found);
        return found.size();
    };
    ASSERT_TRUE(ks_test_wait_until([&] { return outboxed() == total; }, 600000)) << outboxed();
    ASSERT_TRUE(ks_test_wait_until([&] { return files().empty(); })) << files().size();
    EXPECT_EQ(count_messages("crash c"), static_cast<size_t>(total)) << "each once";
    EXPECT_EQ(count_messages("error: "), 0u);
    EXPECT_EQ(ks_test_read_file(outbox + "/c1234"), "core 1234");
}

// The defaults command holds only its own crash's place: while one waits
// for a release and another hangs until its bound (the snapshot time-out),
// other crashes go through their whole pipeline.
TEST_F(Pipeline, DefaultsCommandsHoldUpNoOtherCrash)
{
    tree();
    script("defaults", "case \"$1\" in\n"
                       "def-slow*) " + hold("$1") + "; printf slow=1;;\n"
                       "def-hang*) exec sleep 60;;\n"
                       "*) printf host=test;;\n"
                       "esac\n");
    configure("snapshot.concurrency = 3\nsnapshot.timeout = 15s\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    crash("def-slow");
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(dir / "pid-def-slow"); }));
    crash("def-hang");
    std::vector<std::string> flowing;
    for (int i = 1; i <= 6; i++) {
        flowing.push_back("f" + std::to_string(i));
        crash(flowing.back());
    }
    std::string killed = "unable to execute " + bin + "/defaults - command failed with signal 9\n";
    ASSERT_TRUE(ks_test_wait_until([&] {
        return std::all_of(flowing.begin(), flowing.end(), [&](const std::string &f) { return processed(f); });
    })) << ks_test_syslog_dump();
    EXPECT_EQ(count_messages(killed), 0u) << "the others were through well before the bound";
    EXPECT_FALSE(processed("def-slow"));
    EXPECT_FALSE(processed("def-hang"));
    for (const auto &f : flowing)
        EXPECT_EQ(delivered(f), "set:host=test|/usr/bin/app");

    ks_test_write_file(dir / "release", "");
    ASSERT_TRUE(ks_test_wait_until([&] { return processed("def-slow"); })) << ks_test_syslog_dump();
    EXPECT_EQ(delivered("def-slow"), "set:slow=1|/usr/bin/app");
    ASSERT_TRUE(ks_test_wait_until([&] { return processed("def-hang"); })) << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_syslog_has(LOG_WARNING, killed)) << ks_test_syslog_dump();
    EXPECT_EQ(delivered("def-hang"), "unset|/usr/bin/app");
    EXPECT_EQ(files(), names{});
}

// kill -9 of the daemon while a defaults command runs: the command dies with
// it, and the restarted daemon takes the crash through to its end.
TEST_F(Pipeline, KilledDuringTheDefaultsCommandLosesNothing)
{
    tree();
    script("defaults", "case \"$1\" in def-slow*) " + hold("$1") + ";; esac; printf after=restart\n");
    configure("");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    crash("def-slow");
    std::string pid_file = dir / "pid-def-slow";
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(pid_file); }));
    pid_t command = static_cast<pid_t>(atol(ks_test_read_file(pid_file).c_str()));
    stop();
    EXPECT_TRUE(ks_test_process_ends(command)) << "the defaults command outlived the daemon";
    EXPECT_EQ(files(), names({"pending/def-slow", "assets/def-slow"}));

    ks_test_write_file(dir / "release", "");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    ASSERT_TRUE(ks_test_wait_until([&] { return processed("def-slow"); })) << ks_test_syslog_dump();
    EXPECT_EQ(delivered("def-slow"), "set:after=restart|/usr/bin/app");
    EXPECT_EQ(files(), names{});
}

// Programs that cannot be started are reported as before: the stage
// commands by the exec's error and a failed attempt, the defaults command by
// a warning, after which the snapshot runs without the variable.
TEST_F(Pipeline, CommandsThatCannotStartAreReported)
{
    std::string denied = bin + "/denied";
    ks_test_write_file(denied, "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(chmod(denied.c_str(), 0644), 0);
    struct {
        std::string lines;
        std::vector<std::pair<int, std::string>> messages;
        std::string delivered;
    } cases[] = {
        {"snapshot.command = " + bin + "/missing %c %S\n",
         {{LOG_ERR, "error: failed to execute " + bin + "/missing: No such file or directory\n"},
          {LOG_ERR, "error: c has failed at pending stage due to non-zero exit\n"},
          {LOG_ERR, "error: failed to process c (1 attempts)\n"}},
         ""},
        {"send.command = " + denied + " %S\n",
         {{LOG_ERR, "error: failed to execute " + denied + ": Permission denied\n"},
          {LOG_ERR, "error: c has failed at sending stage due to non-zero exit\n"},
          {LOG_ERR, "error: failed to process c (1 attempts)\n"}},
         ""},
        {"defaults.command = " + bin + "/missing %B\n",
         {{LOG_WARNING, "unable to execute " + bin + "/missing: file not found\n"}},
         "unset|/usr/bin/app"},
        {"defaults.command = " + denied + " %B\n",
         {{LOG_WARNING, "unable to execute " + denied + ": access denied\n"}},
         "unset|/usr/bin/app"},
    };

    for (const auto &c : cases) {
        ks_test_syslog_start();
        system(("rm -rf " + root + " " + outbox + "/c").c_str());
        tree();
        configure("snapshot.retry.limit = 1\nsend.retry.limit = 1\n" + c.lines);
        ASSERT_TRUE(start()) << ks_test_syslog_dump();
        crash("c");
        ASSERT_TRUE(ks_test_wait_until([&] { return processed("c") || count_messages("error: failed to process c") > 0; }))
            << ks_test_syslog_dump();
        stop();
        for (const auto &[priority, text] : c.messages)
            EXPECT_TRUE(ks_test_syslog_has(priority, text)) << text << "\n" << ks_test_syslog_dump();
        EXPECT_EQ(ks_test_exists(outbox + "/c") ? delivered("c") : "", c.delivered) << c.lines;
    }
}

// A command that can never be rendered (no executable known for %e) counts
// as an attempt: at the retry limit the crash is given up as the retry
// action says.
TEST_F(Pipeline, UnrenderableCommandIsGivenUpAtTheLimit)
{
    struct {
        const char *action;
        names left;
    } cases[] = {
        {"archive", {"failed/pending/noexe"}},
        {"unlink", {}},
    };

    for (const auto &c : cases) {
        ks_test_syslog_start();
        system(("rm -rf " + root).c_str());
        tree();
        configure(std::string("snapshot.retry.limit = 2\nsnapshot.retry.interval = 1s\nsnapshot.retry.action = ") +
                  c.action + "\n");
        ASSERT_TRUE(start()) << ks_test_syslog_dump();
        crash("noexe", false);
        ASSERT_TRUE(wait_for({"error: failed to process noexe (2 attempts)"})) << ks_test_syslog_dump();
        stop();
        EXPECT_EQ(files(), c.left) << c.action;
        EXPECT_EQ(count_messages("Object has no executable."), 2u) << ks_test_syslog_dump();
        EXPECT_FALSE(ks_test_exists(calls)) << "no command ran";
    }
}

// %G: the signature from the asset's facts reaches the send command; a crash
// without one (no facts, or a value that is no signature) cannot render the
// template, counts the attempt and is given up at the limit.
TEST_F(Pipeline, SignatureReachesTheTemplate)
{
    tree();
    configure("send.command = " + bin + "/send %B %S %G\nsend.retry.limit = 2\nsend.retry.interval = 1s\n"
              "send.retry.action = unlink\n");
    script("send", "printf '%s' \"$3\" > '" + outbox + "'/\"$1\"\n");
    auto with_facts = [&](const std::string &base, const std::string &facts) {
        int fd = open((root + "/assets/" + base).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ks_tar_t *tar = ks_tar_fdopen(fd);
        ASSERT_TRUE(ks_tar_symlink(tar, "/proc/self/exe", "/usr/bin/app", time(nullptr)));
        ks_tar_begin(tar, KS_FACTS_ENTRY, sizeof KS_FACTS_ENTRY - 1);
        ASSERT_TRUE(ks_tar_metadata_commit(tar));
        ASSERT_EQ(write(fd, facts.data(), facts.size()), static_cast<ssize_t>(facts.size()));
        ASSERT_TRUE(ks_tar_end(tar, facts.size()));
        ASSERT_TRUE(ks_tar_commit(tar));
        ks_tar_destroy(tar);
        close(fd);
        ks_test_write_file(root + "/staging/" + base, "core");
        ASSERT_EQ(rename((root + "/staging/" + base).c_str(), (root + "/pending/" + base).c_str()), 0);
    };
    with_facts("signed", "signal=11\nsignature=0123456789abcdef\ncore=stored\n");
    with_facts("forged", "signature=0123456789abcde\\x0a\n");
    crash("bare");
    ASSERT_TRUE(start());

    ASSERT_TRUE(ks_test_wait_until([&] { return processed("signed"); })) << ks_test_syslog_dump();
    EXPECT_EQ(delivered("signed"), "0123456789abcdef");
    ASSERT_TRUE(wait_for({"error: failed to process forged", "error: failed to process bare"})) << ks_test_syslog_dump();
    EXPECT_EQ(count_messages("Object has no signature."), 4u);
    EXPECT_FALSE(ks_test_exists(outbox + "/forged"));
}

// ---------------------------------------------------------------- kept core images compressed

namespace {

const unsigned char zstd_magic[4] = {0x28, 0xb5, 0x2f, 0xfd};

std::string unzstd(const std::string &data)
{
    ZSTD_DCtx *d = ZSTD_createDCtx();
    ZSTD_inBuffer in = {data.data(), data.size(), 0};
    std::string out, chunk(ZSTD_DStreamOutSize(), '\0');
    size_t left = 1;

    while (in.pos < in.size || left != 0) {
        ZSTD_outBuffer o = {chunk.data(), chunk.size(), 0};
        left = ZSTD_decompressStream(d, &o, &in);
        if (ZSTD_isError(left)) {
            out = std::string("<zstd: ") + ZSTD_getErrorName(left) + ">";
            break;
        }
        out.append(chunk.data(), o.pos);
        if (o.pos == 0 && in.pos == in.size)
            break;
    }
    ZSTD_freeDCtx(d);
    return out;
}

// Bytes that no compressor shrinks, the same for the same seed.
std::string noise(size_t size, uint64_t seed)
{
    std::string data(size, '\0');

    for (size_t i = 0; i < size; i += 8) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        memcpy(&data[i], &seed, std::min<size_t>(8, size - i));
    }
    return data;
}

// An image as the archiver stores one: data pieces at their offsets, zero
// pages between them left as holes, and a length that may end in a hole.
void sparse_write(const std::string &path, const std::vector<std::pair<off_t, std::string>> &pieces, off_t length)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_NE(fd, -1);
    for (const auto &[offset, data] : pieces)
        for (size_t done = 0; done < data.size();) {
            ssize_t n = pwrite(fd, data.data() + done, data.size() - done, offset + static_cast<off_t>(done));
            ASSERT_GT(n, 0);
            done += static_cast<size_t>(n);
        }
    ASSERT_EQ(ftruncate(fd, length), 0);
    close(fd);
}

// Like a small process's core image: headers and notes, text, a heap, a
// stack, and zero pages between them.
void small_core(const std::string &path)
{
    std::string notes = "\x7f" "ELF core notes: CORE NT_PRSTATUS NT_PRPSINFO /usr/bin/app --option value ";
    std::string text, heap, stack;
    for (int i = 0; i < 2000; i++)
        text += "mov %rsp,%rbp; call kestrel_demo_fault+" + std::to_string(i % 97) + "; ret; ";
    for (int i = 0; i < 3000; i++)
        heap += "entry " + std::to_string(i) + " -> " + std::to_string(i * 7919 % 1000) + "; ";
    stack = noise(8192, 7) + std::string(20000, '\0') + noise(4096, 9);
    sparse_write(path, {{0, notes + std::string(4096 - notes.size(), '\0') + notes}, {65536, text},
                        {1 << 20, heap}, {3 << 20, stack}},
                 (3 << 20) + (1 << 20));
}

struct file_state {
    struct stat st;
    std::string data;
};

file_state examine(const std::string &path)
{
    file_state f = {};
    EXPECT_EQ(stat(path.c_str(), &f.st), 0) << path;
    f.data = ks_test_read_file(path);
    return f;
}

bool compressed(const std::string &data)
{
    return data.size() >= 4 && memcmp(data.data(), zstd_magic, 4) == 0;
}

} // namespace

struct Compression : Pipeline {
    std::string client = bin + "/client";

    // A crash whose core image the writer makes in the staging directory;
    // it gets an owner, mode and time of its own before it is moved in.
    file_state crash_with(const std::string &base, const std::function<void(const std::string &)> &writer,
                          time_t age = 300)
    {
        std::string staged = root + "/staging/" + base;
        asset(base);
        writer(staged);
        EXPECT_EQ(chmod(staged.c_str(), 0604), 0);
        if (ks_test_is_root()) {
            EXPECT_EQ(chown(staged.c_str(), 4242, 4343), 0);
        }
        struct timespec then[2] = {{time(nullptr) - 600, 123456789}, {time(nullptr) - age, 987654321}};
        EXPECT_EQ(utimensat(AT_FDCWD, staged.c_str(), then, 0), 0);
        file_state before = examine(staged);
        EXPECT_EQ(rename(staged.c_str(), (root + "/pending/" + base).c_str()), 0);
        return before;
    }

    // The client the daemon runs, behind a script that notes every start
    // and, by the crash's name, dies, hangs, waits for the release file or
    // sees its directory read-only, before the real one takes over.
    void wrap_client()
    {
        std::string committed = root + "/committed/coredump";
        script("client", "echo \"compress $4\" >> '" + calls + "'\n"
                         "grep '^Max core file size' /proc/$$/limits | tr -s ' ' > '" + dir / "limits" + "'\n"
                         "case \"$4\" in\n"
                         "z-kill*) kill -KILL $$;;\n"
                         "z-hang*) exec sleep 60;;\n"
                         "z-slow*|big*) " + hold("$4") + ";;\n"
                         "z-ro*) exec unshare --mount sh -c 'mount --bind \"$0\" \"$0\" && "
                         "mount -o remount,bind,ro \"$0\" && exec \"$@\"' '" + committed + "' " KS_TEST_KESTREL " \"$@\";;\n"
                         "esac\n"
                         "exec " KS_TEST_KESTREL " \"$@\"\n");
    }

    std::string kept(const std::string &base) { return root + "/committed/coredump/" + base; }
};

// With compression on, a kept core image that shrinks is replaced by its
// zstd frame under the same name, with the original's time, owner and mode
// and fewer blocks; one that would not shrink, and every image with
// compression off, stays as it was.
TEST_F(Compression, KeptCoreImagesAreCompressedUnderTheSameName)
{
    struct {
        std::string lines;
        bool compresses;
    } cases[] = {
        {"snapshot.compress = zstd\n", true},
        {"snapshot.compress = none\n", false},
        {"", false},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.lines);
        ks_test_syslog_start();
        system(("rm -rf " + root).c_str());
        tree();
        configure("snapshot.commit = archive\n" + c.lines);
        ASSERT_TRUE(start()) << ks_test_syslog_dump();
        file_state small = crash_with("small", small_core);
        file_state random = crash_with("random", [](const std::string &path) {
            sparse_write(path, {{0, noise(300 * 4096, 1)}, {1 << 20, noise(2 * 4096, 2)}}, 3 << 20);
        });
        ASSERT_TRUE(ks_test_wait_until([&] { return processed("small") && processed("random"); }))
            << ks_test_syslog_dump();
        stop();
        EXPECT_EQ(files(), names({"committed/coredump/small", "committed/coredump/random", "assets/small",
                                  "assets/random"}));
        EXPECT_EQ(count_messages("warning: "), 0u) << ks_test_syslog_dump();

        file_state now = examine(kept("small"));
        EXPECT_EQ(compressed(now.data), c.compresses);
        EXPECT_TRUE((c.compresses ? unzstd(now.data) : now.data) == small.data) << "not the same image";
        EXPECT_EQ(now.st.st_mtim.tv_sec, small.st.st_mtim.tv_sec);
        EXPECT_EQ(now.st.st_mtim.tv_nsec, small.st.st_mtim.tv_nsec);
        EXPECT_EQ(now.st.st_mode, small.st.st_mode);
        EXPECT_EQ(now.st.st_uid, small.st.st_uid);
        EXPECT_EQ(now.st.st_gid, small.st.st_gid);
        if (c.compresses) {
            EXPECT_LT(now.st.st_blocks, small.st.st_blocks);
            EXPECT_EQ(count_messages("core image of small: compressed from "), 1u) << ks_test_syslog_dump();
        } else {
            EXPECT_EQ(now.st.st_ino, small.st.st_ino);
        }

        // Noise stays the very same file, whatever the setting.
        now = examine(kept("random"));
        EXPECT_EQ(now.st.st_ino, random.st.st_ino);
        EXPECT_TRUE(now.data == random.data);
        EXPECT_EQ(count_messages("core image of random: left plain, as compressed it would take no fewer than its "),
                  c.compresses ? 1u : 0u)
            << ks_test_syslog_dump();
    }
}

// The purge ages a compressed image by the time it kept: it goes when the
// plain one would have.
TEST_F(Compression, CompressedImagesArePurgedByTheirOwnTime)
{
    tree();
    configure("snapshot.commit = archive\nsnapshot.compress = zstd\npurge.age = 3s\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    crash_with("small", small_core, 1);
    ASSERT_TRUE(wait_for({"core image of small: compressed from ",
                          "kestrel purged " + kept("small") + " due to expiry\n"}))
        << ks_test_syslog_dump();
    EXPECT_EQ(files(), names{});
    // Armed once, by the commit: a new time would have asked for a later purge.
    EXPECT_EQ(count_messages("kestrel triggering clean-up in "), 1u) << ks_test_syslog_dump();
}

// Nothing kept, nothing compressed: the core image goes at the snapshot's
// commit as before.
TEST_F(Compression, NothingToCompressWithoutAKeptCoreImage)
{
    tree();
    wrap_client();
    configure("snapshot.commit = unlink\nsend.commit = archive\nsnapshot.compress = zstd\n"
              "snapshot.compress.client = " + client + "\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    crash_with("small", small_core);
    ASSERT_TRUE(ks_test_wait_until([&] { return processed("small"); })) << ks_test_syslog_dump();
    EXPECT_EQ(files(), names({"committed/snapshot/small", "assets/small"}));
    EXPECT_EQ(ks_test_read_file(calls).find("compress"), std::string::npos);
}

// A compression that fails, whatever the way, leaves the plain image as it
// was, with one warning, and the crash is processed all the same.
TEST_F(Compression, FailedCompressionLeavesThePlainImage)
{
    struct failure {
        std::string base, lines, warning;
    };
    std::vector<failure> cases = {
        {"z-kill", "", "killed by signal 9"},
        {"z-hang", "send.timeout = 2s\n", "timeout"},
        // The real client, kept from writing.
        {"quota", "", "the filesystem would fall below dump.quota"},
    };
    if (ks_test_is_root() && ks_test_can_mount())
        cases.push_back({"z-ro", "", "cannot create the compressed image: Read-only file system"});

    for (const auto &c : cases) {
        SCOPED_TRACE(c.base);
        ks_test_syslog_start();
        system(("rm -rf " + root).c_str());
        tree();
        wrap_client();
        configure("snapshot.commit = archive\nsnapshot.compress = zstd\nsnapshot.compress.client = " + client + "\n" +
                      c.lines,
                  c.base == "quota" ? "dump.quota = 100%\n" : "");
        ASSERT_TRUE(start()) << ks_test_syslog_dump();
        file_state before = crash_with(c.base, small_core);
        ASSERT_TRUE(ks_test_wait_until([&] { return processed(c.base); })) << ks_test_syslog_dump();
        stop();
        EXPECT_TRUE(ks_test_syslog_has(LOG_WARNING, "warning: core image of " + c.base + " left uncompressed: " +
                                                        c.warning + "\n"))
            << ks_test_syslog_dump();
        EXPECT_EQ(count_messages("warning: "), 1u) << ks_test_syslog_dump();
        EXPECT_EQ(files(), names({"committed/coredump/" + c.base, "assets/" + c.base}));
        file_state now = examine(kept(c.base));
        EXPECT_EQ(now.st.st_ino, before.st.st_ino);
        EXPECT_TRUE(now.data == before.data);
        EXPECT_EQ(now.st.st_mtim.tv_nsec, before.st.st_mtim.tv_nsec);
        std::string log = ks_test_read_file(calls);
        EXPECT_EQ(log.substr(log.find("compress ")), "compress " + c.base + "\n") << "tried once, never again";
        // A crash of the compression would come back as a crash to compress.
        EXPECT_EQ(ks_test_read_file(dir / "limits"), "Max core file size 1 1 bytes \n");
        unlink(calls.c_str());
    }
}

// A compression takes one place of the send pool and the loop goes on: while
// a 200 MiB image, mostly noise, waits to be compressed and then is, other
// crashes go through their whole pipeline. The noise stays plain.
TEST_F(Compression, OtherCrashesGoOnWhileALargeImageCompresses)
{
    tree();
    wrap_client();
    configure("snapshot.commit = archive\nsnapshot.compress = zstd\nsnapshot.compress.client = " + client + "\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    file_state big = {};
    crash_with("big", [&](const std::string &path) {
        sparse_write(path, {{0, noise(190 << 20, 3)}}, 200 << 20);
    });
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(dir / "pid-big"); })) << ks_test_syslog_dump();
    std::vector<std::string> others = {"f1", "f2", "f3", "f4", "f5", "f6"};
    for (const auto &f : others)
        crash_with(f, small_core);
    ASSERT_TRUE(ks_test_wait_until([&] {
        return std::all_of(others.begin(), others.end(), [&](const std::string &f) { return processed(f); });
    })) << ks_test_syslog_dump();
    EXPECT_FALSE(processed("big")) << "its compression has not even begun";
    for (const auto &f : others)
        EXPECT_TRUE(compressed(ks_test_read_file(kept(f)))) << f;

    struct stat st;
    ASSERT_EQ(stat(kept("big").c_str(), &st), 0);
    ks_test_write_file(dir / "release", "");
    ASSERT_TRUE(ks_test_wait_until([&] { return processed("big"); }, 120000)) << ks_test_syslog_dump();
    struct stat now;
    ASSERT_EQ(stat(kept("big").c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, st.st_ino) << "noise is left plain";
    EXPECT_EQ(now.st_mtim.tv_nsec, st.st_mtim.tv_nsec);
    EXPECT_EQ(count_messages("core image of big: left plain"), 1u) << ks_test_syslog_dump();
    EXPECT_EQ(count_messages("warning: "), 0u) << ks_test_syslog_dump();
}

// A daemon killed while a compression runs takes the compression with it:
// the plain image stays, and what interrupted compressions left under their
// private names is removed at the next start, unless a compression still
// holds it.
TEST_F(Compression, KilledDaemonKeepsThePlainImage)
{
    tree();
    wrap_client();
    std::string committed = root + "/committed/coredump";
    ks_test_write_file(committed + "/.compress-stale", "half a frame");
    ks_test_write_file(committed + "/.compress-held", "a frame being written");
    ks_test_write_file(committed + "/.hidden", "");
    int held = open((committed + "/.compress-held").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    configure("snapshot.commit = archive\nsnapshot.compress = zstd\nsnapshot.compress.client = " + client + "\n");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_syslog_has(LOG_INFO, "kestrel removed " + committed +
                                                 "/.compress-stale, left by an interrupted compression\n"))
        << ks_test_syslog_dump();
    close(held);

    file_state before = crash_with("z-slow", small_core);
    ASSERT_TRUE(ks_test_wait_until([&] { return ks_test_exists(dir / "pid-z-slow"); })) << ks_test_syslog_dump();
    pid_t compression = static_cast<pid_t>(atol(ks_test_read_file(dir / "pid-z-slow").c_str()));
    stop();
    EXPECT_TRUE(ks_test_process_ends(compression)) << "the compression outlived the daemon";
    EXPECT_EQ(files(), names({"committed/coredump/z-slow", "committed/coredump/.compress-held",
                              "committed/coredump/.hidden", "assets/z-slow"}));
    file_state now = examine(kept("z-slow"));
    EXPECT_EQ(now.st.st_ino, before.st.st_ino);

    // Committed already: the restarted daemon does not take it up again.
    ks_test_write_file(dir / "release", "");
    ASSERT_TRUE(start()) << ks_test_syslog_dump();
    EXPECT_TRUE(ks_test_syslog_has(LOG_INFO, "kestrel removed " + committed +
                                                 "/.compress-held, left by an interrupted compression\n"))
        << ks_test_syslog_dump();
    crash_with("after", small_core);
    ASSERT_TRUE(ks_test_wait_until([&] { return processed("after"); })) << ks_test_syslog_dump();
    EXPECT_EQ(ks_test_read_file(calls).find("compress z-slow\ncompress z-slow"), std::string::npos);
    EXPECT_EQ(files(), names({"committed/coredump/z-slow", "committed/coredump/after", "committed/coredump/.hidden",
                              "assets/z-slow", "assets/after"}));
}

// The settings are checked at start-up: an unknown method, and a client
// that cannot be run, stop the daemon with one message before it touches
// anything.
TEST_F(Compression, SettingsAreCheckedAtStartUp)
{
    struct {
        std::string lines, err, logged;
    } cases[] = {
        {"snapshot.compress = gzip\n", "error: unknown compression at line 10: gzip\n", ""},
        {"snapshot.compress = zstd\nsnapshot.compress.client = " + bin + "/missing\n", "",
         "error: cannot run " + bin + "/missing for snapshot.compress: No such file or directory"},
        {"snapshot.compress.client = " + bin + "/missing\n", "", ""},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.lines);
        ks_test_syslog_start();
        system(("rm -rf " + root).c_str());
        configure(c.lines);
        // Without compression the client is never looked for: the daemon runs.
        ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-f", "-c", conf}, {"KS_TEST_SYSLOG_ALONE=1"}, "",
                                       c.err.empty() && c.logged.empty() ? 2 : 60);
        if (c.err.empty() && c.logged.empty()) {
            EXPECT_TRUE(WIFSIGNALED(r.status)) << ks_test_status_text(r.status) << r.err;
            continue;
        }
        EXPECT_EQ(ks_test_status_text(r.status), "exit 1");
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err);
        }
        if (!c.logged.empty()) {
            EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, c.logged)) << ks_test_syslog_dump();
        }
        EXPECT_FALSE(ks_test_exists(root)) << "nothing touched";
    }

    // The client runs as the archive user, who must be able to read the
    // configuration: a file it cannot read stops the daemon once it has
    // become that user, before any crash.
    if (!ks_test_is_root())
        return;
    ks_test_syslog_start();
    configure("snapshot.compress = zstd\n", "dump.user = nobody\ndump.group = nogroup\n");
    ASSERT_EQ(chmod(conf.c_str(), 0600), 0);
    ks_test_result r = ks_test_run({KS_TEST_KESTRELD, "-f", "-c", conf}, {"KS_TEST_SYSLOG_ALONE=1"});
    EXPECT_EQ(ks_test_status_text(r.status), "exit 1");
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "error: cannot read " + conf + " for snapshot.compress: Permission denied"))
        << ks_test_syslog_dump();
}
