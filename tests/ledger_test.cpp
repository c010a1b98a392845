// The crash ledger as archivers use it: many processes at once, each with
// its own connection, against a real database file in a temporary tree,
// while the file is deleted, locked, damaged or made read-only.

#include "support.h"

#include "common/ledger.h"
#include "common/storm.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <pwd.h>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const time_t hour = 3600;

TEST(Storm, DecisionsAndTheirLogLines)
{
    struct {
        const char *what;
        struct ks_storm_limits limits;
        struct ks_storm_counts counts;
        bool has_signature;
        ks_storm_verdict verdict;
        unsigned long skipped;
        bool log;
    } scenarios[] = {
        {"off", {0, 1, 1}, {9, 9, 9, 9}, true, KS_STORM_STORE, 0, false},
        {"room left", {hour, 5, 30}, {4, 29, 0, 0}, true, KS_STORM_STORE, 0, false},
        {"signature full", {hour, 5, 30}, {5, 5, 0, 0}, true, KS_STORM_SIGNATURE, 1, true},
        {"signature full, 2nd skip", {hour, 5, 30}, {5, 5, 1, 1}, true, KS_STORM_SIGNATURE, 2, false},
        {"signature full, 10th skip", {hour, 5, 30}, {5, 9, 9, 9}, true, KS_STORM_SIGNATURE, 10, true},
        {"user full", {hour, 5, 30}, {0, 30, 0, 99}, true, KS_STORM_USER, 100, true},
        {"both full: the signature's", {hour, 5, 30}, {5, 30, 0, 7}, true, KS_STORM_SIGNATURE, 1, true},
        {"no signature: the user's limit only", {hour, 5, 30}, {5, 29, 0, 0}, false, KS_STORM_STORE, 0, false},
        {"no signature limit", {hour, 0, 30}, {500, 29, 0, 0}, true, KS_STORM_STORE, 0, false},
        {"no user limit", {hour, 5, 0}, {0, 5000, 0, 0}, true, KS_STORM_STORE, 0, false},
    };
    for (auto &s : scenarios) {
        SCOPED_TRACE(s.what);
        struct ks_storm_decision d;
        ks_storm_decide(&s.limits, &s.counts, s.has_signature, &d);
        EXPECT_EQ(d.verdict, s.verdict);
        EXPECT_EQ(d.skipped, s.skipped);
        EXPECT_EQ(d.log, s.log);
    }
    std::vector<unsigned long> logged;
    for (unsigned long n = 0; n <= 100000; n++)
        if (ks_storm_log_due(n))
            logged.push_back(n);
    EXPECT_EQ(logged, (std::vector<unsigned long>{1, 10, 100, 1000, 10000, 100000}));
}

struct outcome_counts {
    std::map<std::string, unsigned> outcomes; // by outcome word
    unsigned rows = 0;
};

bool count_row(const struct ks_ledger_row *row, void *cl)
{
    auto *c = static_cast<outcome_counts *>(cl);
    c->outcomes[row->outcome]++;
    c->rows++;
    return true;
}

outcome_counts ledger_counts(const std::string &root)
{
    outcome_counts c;
    struct ks_ledger *l;
    const char *error = "";

    if (!ks_ledger_open_read(&l, root.c_str(), &error)) {
        ADD_FAILURE() << "open: " << error;
        return c;
    }
    EXPECT_TRUE(ks_ledger_history(l, 0, count_row, &c, &error)) << error;
    ks_ledger_close(l);
    return c;
}

// What an archiver does with the ledger for one crash; the exit status
// says how it went: 0 stored, 1 over a limit, 2 a ledger error, 3 a call
// that took longer than a hang would.
[[noreturn]] void archiver(const std::string &root, const struct ks_ledger_crash &crash,
                           const struct ks_storm_limits &limits)
{
    struct ks_ledger *l;
    struct ks_storm_decision d;
    const char *error = "";
    int64_t row;
    time_t start = time(nullptr);

    if (!ks_ledger_open(&l, root.c_str(), 0640, &error))
        _exit(time(nullptr) - start > 5 ? 3 : 2);
    bool ok = ks_ledger_admit(l, &crash, &limits, &d, &row, &error);
    if (ok && d.verdict == KS_STORM_STORE)
        ok = ks_ledger_finish(l, row, KS_LEDGER_STORED, "0000-name", &error);
    ks_ledger_close(l);
    if (time(nullptr) - start > 5)
        _exit(3);
    _exit(!ok ? 2 : d.verdict == KS_STORM_STORE ? 0 : 1);
}

// Archivers started at once: each waits for the starting pipe to close.
struct storm {
    std::vector<pid_t> pids;
    int gate[2] = {-1, -1};

    storm() { EXPECT_EQ(pipe2(gate, O_CLOEXEC), 0); }

    void add(const std::string &root, const struct ks_ledger_crash &crash, const struct ks_storm_limits &limits)
    {
        pid_t pid = fork();
        if (pid == 0) {
            char c;
            close(gate[1]);
            (void) !read(gate[0], &c, 1);
            archiver(root, crash, limits);
        }
        pids.push_back(pid);
    }

    void start() { close(gate[1]); }

    // Exit statuses by value; a child killed by a signal counts as 9.
    std::map<int, unsigned> finish()
    {
        std::map<int, unsigned> statuses;
        if (gate[1] != -1)
            close(gate[1]);
        gate[1] = -1;
        for (pid_t pid : pids) {
            int status;
            if (waitpid(pid, &status, 0) == pid)
                statuses[WIFEXITED(status) ? WEXITSTATUS(status) : 9]++;
        }
        close(gate[0]);
        return statuses;
    }
};

struct ks_ledger_crash crash_of(uid_t uid, const char *signature, pid_t pid = 100)
{
    struct ks_ledger_crash c = {};
    c.when = time(nullptr);
    c.pid = pid;
    c.uid = uid;
    c.executable = "/usr/bin/victim";
    c.signal = 11;
    c.signature = signature;
    c.module = "/usr/bin/victim";
    c.has_offset = true;
    c.offset = 0x1139;
    return c;
}

std::vector<std::string> signatures(size_t n)
{
    std::vector<std::string> s;
    char text[32];
    for (size_t i = 0; i < n; i++) {
        snprintf(text, sizeof text, "%016zx", 0xab00 + i);
        s.push_back(text);
    }
    return s;
}

TEST(Ledger, TwoHundredArchiversAtOnceStoreExactlyTheLimit)
{
    const auto many = signatures(200);
    struct {
        const char *what;
        struct ks_storm_limits limits;
        bool distinct;     // every crash its own signature
        unsigned uids;     // crashes spread over this many users
        unsigned stored;
    } scenarios[] = {
        {"one signature", {hour, 5, 30}, false, 1, 5},
        {"many signatures of one user", {hour, 5, 30}, true, 1, 30},
        {"one signature, two users: a budget each", {hour, 5, 30}, false, 2, 10},
        {"storm control off", {0, 5, 30}, false, 1, 200},
    };
    for (auto &s : scenarios) {
        SCOPED_TRACE(s.what);
        ks_test_dir dir; // no ledger yet: the first archivers race to create it
        struct storm st;
        for (size_t i = 0; i < 200; i++) {
            auto c = crash_of(1000 + static_cast<uid_t>(i % s.uids), s.distinct ? many[i].c_str() : many[0].c_str(),
                              static_cast<pid_t>(1000 + i));
            st.add(dir.path, c, s.limits);
        }
        st.start();
        auto statuses = st.finish();
        EXPECT_EQ(statuses[0], s.stored);
        EXPECT_EQ(statuses[1], 200 - s.stored);
        EXPECT_EQ(statuses[0] + statuses[1], 200u) << "errors " << statuses[2] << ", hangs " << statuses[3];
        auto counts = ledger_counts(dir.path);
        EXPECT_EQ(counts.rows, 200u);
        EXPECT_EQ(counts.outcomes["stored"], s.stored);
        EXPECT_EQ(counts.outcomes["storm"], 200 - s.stored);
    }
}

std::string sqlite_path(const std::string &root) { return root + "/" KS_LEDGER_FILE; }

void overwrite(const std::string &path, off_t offset, size_t length)
{
    int fd = open(path.c_str(), O_WRONLY);
    std::string junk(length, '\xa5');
    ASSERT_NE(fd, -1);
    ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), offset), static_cast<ssize_t>(junk.size()));
    close(fd);
}

// Another process holding the write lock until it is killed.
pid_t locker(const std::string &root)
{
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        sqlite3 *db;
        close(ready[0]);
        if (sqlite3_open(sqlite_path(root).c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK)
            _exit(1);
        (void) !write(ready[1], "x", 1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    return pid;
}

TEST(Ledger, ArchiversGoOnWhenTheLedgerFailsMidStorm)
{
    struct {
        const char *what;
        // Done once some archivers have written; returns what to undo.
        std::function<std::function<void()>(const std::string &root)> disturb;
        bool errors_allowed;   // archivers may meet an error (and go on without)
        bool damaged_kept;     // the damaged file is kept aside
    } scenarios[] = {
        {"deleted", [](const std::string &root) {
             (void) unlink(sqlite_path(root).c_str());
             return std::function<void()>([] {});
         }, true, false},
        {"header overwritten", [](const std::string &root) {
             overwrite(sqlite_path(root), 0, 100);
             return std::function<void()>([] {});
         }, true, true},
        {"pages overwritten", [](const std::string &root) {
             struct stat st;
             stat(sqlite_path(root).c_str(), &st);
             overwrite(sqlite_path(root), 4096, static_cast<size_t>(st.st_size) - 4096);
             overwrite(sqlite_path(root) + "-wal", 0, 4096 * 4);
             return std::function<void()>([] {});
         }, true, true},
        {"locked by another process", [](const std::string &root) {
             pid_t pid = locker(root);
             return std::function<void()>([pid] { ks_test_stop(pid); });
         }, true, false},
    };
    for (auto &s : scenarios) {
        SCOPED_TRACE(s.what);
        ks_test_dir dir;
        struct ks_storm_limits limits = {hour, 1000, 1000};
        struct storm before;
        for (int i = 0; i < 20; i++)
            before.add(dir.path, crash_of(1000, "00000000000000aa"), limits);
        before.start();
        EXPECT_EQ(before.finish()[0], 20u);

        auto undo = s.disturb(dir.path);
        struct storm during;
        for (int i = 0; i < 40; i++)
            during.add(dir.path, crash_of(1000, "00000000000000aa"), limits);
        during.start();
        auto statuses = during.finish();
        undo();
        EXPECT_EQ(statuses[3], 0u) << "a call took longer than it may";
        EXPECT_EQ(statuses[9], 0u) << "an archiver died";
        EXPECT_EQ(statuses[0] + statuses[2], 40u);
        if (!s.errors_allowed) {
            EXPECT_EQ(statuses[2], 0u);
        }
        EXPECT_EQ(ks_test_exists(dir / KS_LEDGER_FILE ".damaged"), s.damaged_kept);

        // Afterwards the ledger is sound again and takes every crash.
        struct storm after;
        for (int i = 0; i < 10; i++)
            after.add(dir.path, crash_of(1000, "00000000000000bb"), limits);
        after.start();
        EXPECT_EQ(after.finish()[0], 10u);
        EXPECT_GE(ledger_counts(dir.path).outcomes["stored"], 10u);
    }
}

// A child as an unprivileged user: the ledger as an archive owner that is
// not root meets a read-only file or directory.
TEST(Ledger, ReadOnlyFileOrDirectoryIsAnErrorAndNothingIsMoved)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to switch users";
    const uid_t nobody = 65534;
    struct {
        const char *what;
        bool create_first;
        mode_t file_mode;
        mode_t dir_mode;
    } scenarios[] = {
        {"read-only file", true, 0440, 0755},
        {"read-only directory, no ledger yet", false, 0640, 0555},
    };
    for (auto &s : scenarios) {
        SCOPED_TRACE(s.what);
        ks_test_dir dir;
        std::string root = dir / "root";
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(chown(root.c_str(), nobody, nobody), 0);
        auto as_nobody = [&](const std::function<std::string()> &f) {
            return ks_test_in_child([&] {
                if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
                    return std::string("setuid");
                return f();
            });
        };
        auto one_crash = [&] {
            struct ks_ledger *l;
            const char *error = "";
            struct ks_storm_decision d;
            int64_t row;
            auto c = crash_of(nobody, "00000000000000cc");
            struct ks_storm_limits limits = {hour, 5, 30};
            time_t start = time(nullptr);
            bool ok = ks_ledger_open(&l, root.c_str(), 0640, &error) &&
                      ks_ledger_admit(l, &c, &limits, &d, &row, &error);
            ks_ledger_close(l);
            return std::string(ok ? "ok" : "error") + (time(nullptr) - start > 5 ? " slow" : "");
        };
        if (s.create_first) {
            ASSERT_EQ(as_nobody([&] { return one_crash(); }), "ok");
        }
        struct stat before = {}, after = {};
        (void) stat((root + "/" KS_LEDGER_FILE).c_str(), &before);
        ASSERT_EQ(chmod(root.c_str(), s.dir_mode), 0);
        if (s.create_first) {
            ASSERT_EQ(chmod((root + "/" KS_LEDGER_FILE).c_str(), s.file_mode), 0);
        }
        EXPECT_EQ(as_nobody([&] { return one_crash(); }), "error");
        (void) stat((root + "/" KS_LEDGER_FILE).c_str(), &after);
        EXPECT_EQ(before.st_ino, after.st_ino);
        EXPECT_FALSE(ks_test_exists(root + "/" KS_LEDGER_FILE ".damaged"));
    }
}

bool keep_row(const struct ks_ledger_row *row, void *cl)
{
    static_cast<std::vector<std::string> *>(cl)->push_back(std::to_string(row->pid) + " " + row->outcome + " " +
                                                            (row->name != nullptr ? row->name : "-"));
    return true;
}

bool keep_summary(const struct ks_ledger_summary *s, void *cl)
{
    char text[256];
    snprintf(text, sizeof text, "%s recent=%lu total=%lu stored=%lu signal=%d %s+0x%llx", s->signature, s->recent,
             s->total, s->stored, s->signal, s->module, static_cast<unsigned long long>(s->offset));
    static_cast<std::vector<std::string> *>(cl)->push_back(text);
    return true;
}

TEST(Ledger, HistorySummariesAndPruning)
{
    ks_test_dir dir;
    struct ks_ledger *l;
    const char *error = "";
    int64_t row;
    struct ks_storm_decision d;
    time_t now = time(nullptr);
    struct ks_storm_limits limits = {hour, 2, 30};

    ASSERT_TRUE(ks_ledger_open(&l, dir.path.c_str(), 0640, &error)) << error;
    // 6000 crashes a hundred days ago, then today's.
    auto old = crash_of(1000, "00000000000000dd", 1);
    old.when = now - 100 * 86400;
    for (int i = 0; i < 6000; i++)
        ASSERT_TRUE(ks_ledger_add(l, &old, KS_LEDGER_STORED, &row, &error)) << error;
    struct {
        pid_t pid;
        const char *signature;
        time_t age;
        ks_ledger_outcome outcome; // for the ones not admitted
    } crashes[] = {
        {10, "00000000000000ee", 7200, KS_LEDGER_STORED}, {11, "00000000000000ee", 60, KS_LEDGER_STORED},
        {12, "00000000000000ee", 50, KS_LEDGER_STORED},   {13, "00000000000000ee", 40, KS_LEDGER_STORED},
        {14, nullptr, 30, KS_LEDGER_LIMIT_0},             {15, "00000000000000ff", 20, KS_LEDGER_IGNORED},
    };
    for (auto &c : crashes) {
        auto crash = crash_of(1000, c.signature, c.pid);
        crash.when = now - c.age;
        if (c.outcome == KS_LEDGER_STORED) {
            ASSERT_TRUE(ks_ledger_admit(l, &crash, &limits, &d, &row, &error)) << error;
            if (d.verdict == KS_STORM_STORE) {
                ASSERT_TRUE(ks_ledger_finish(l, row, c.pid == 12 ? KS_LEDGER_CUT : KS_LEDGER_STORED, "name", &error));
            }
        } else {
            ASSERT_TRUE(ks_ledger_add(l, &crash, c.outcome, &row, &error)) << error;
        }
    }

    std::vector<std::string> history;
    ASSERT_TRUE(ks_ledger_history(l, 5, keep_row, &history, &error)) << error;
    EXPECT_EQ(history, (std::vector<std::string>{"15 ignored -", "14 limit-0 -", "13 storm -", "12 cut name",
                                                 "11 stored name"}));
    std::vector<std::string> summaries;
    ASSERT_TRUE(ks_ledger_signatures(l, now - hour, keep_summary, &summaries, &error)) << error;
    EXPECT_EQ(summaries, (std::vector<std::string>{
                             "00000000000000ff recent=1 total=1 stored=0 signal=11 /usr/bin/victim+0x1139",
                             "00000000000000ee recent=3 total=4 stored=3 signal=11 /usr/bin/victim+0x1139",
                             "00000000000000dd recent=0 total=6000 stored=6000 signal=11 /usr/bin/victim+0x1139",
                         }));

    // Old rows go a batch at a time; nothing old is cheap and changes nothing.
    ASSERT_TRUE(ks_ledger_prune(l, now - KS_LEDGER_AGE_DEFAULT, &error)) << error;
    ks_ledger_close(l);
    EXPECT_EQ(ledger_counts(dir.path).rows, 1000u + 6);
    ASSERT_TRUE(ks_ledger_open(&l, dir.path.c_str(), 0640, &error)) << error;
    ASSERT_TRUE(ks_ledger_prune(l, now - KS_LEDGER_AGE_DEFAULT, &error)) << error;
    ASSERT_TRUE(ks_ledger_prune(l, now - KS_LEDGER_AGE_DEFAULT, &error)) << error;
    ks_ledger_close(l);
    EXPECT_EQ(ledger_counts(dir.path).rows, 6u);
}

// The root named through a link above it, as a configured path may be: the
// ledger is written and read all the same; only a ledger that is itself a
// link is refused to a reader.
TEST(Ledger, RootReachedThroughALink)
{
    ks_test_dir dir;
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "real/root").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);
    std::string root = dir / "link/root";
    struct ks_ledger *l;
    const char *error = "";
    int64_t row;
    std::vector<std::string> rows;

    ASSERT_TRUE(ks_ledger_open(&l, root.c_str(), 0640, &error)) << error;
    auto crash = crash_of(1000, "0000000000000022", 30);
    EXPECT_TRUE(ks_ledger_add(l, &crash, KS_LEDGER_STORED, &row, &error)) << error;
    ks_ledger_close(l);
    EXPECT_TRUE(ks_test_exists(dir / "real/root/" KS_LEDGER_FILE));
    ASSERT_TRUE(ks_ledger_open_read(&l, root.c_str(), &error)) << error;
    EXPECT_TRUE(ks_ledger_history(l, 0, keep_row, &rows, &error)) << error;
    ks_ledger_close(l);
    EXPECT_EQ(rows, std::vector<std::string>{"30 stored -"});

    ASSERT_EQ(mkdir((dir / "other").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "real/root/" KS_LEDGER_FILE).c_str(), (dir / "other/" KS_LEDGER_FILE).c_str()), 0);
    EXPECT_FALSE(ks_ledger_open_read(&l, (dir / "other").c_str(), &error));
}

// A member of the archive's group who is not its owner reads the ledger
// (files 0640, directory 0750) while the owner has it open in WAL mode and
// after.
TEST(Ledger, GroupMemberReadsHistory)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to create a user";
    std::string user = "kstest-ledger-" + std::to_string(getpid());
    // Others' end-to-end runs may hold the machine-wide lock for minutes.
    auto added = ks_test_run({"/usr/bin/flock", "/tmp/kestrel-global.lock", "/usr/sbin/useradd", "-M", "-U", "-s",
                              "/usr/sbin/nologin", user},
                             {}, "", 900);
    ASSERT_EQ(added.status, 0) << added.err;
    struct cleanup {
        std::string user;
        ~cleanup() { ks_test_run({"/usr/bin/flock", "/tmp/kestrel-global.lock", "/usr/sbin/userdel", user}, {}, "", 900); }
    } remove_user{user};
    struct passwd *pw = getpwnam(user.c_str());
    ASSERT_NE(pw, nullptr);
    uid_t reader_uid = pw->pw_uid;
    gid_t group = pw->pw_gid;

    ks_test_dir dir;
    std::string root = dir / "root";
    ASSERT_EQ(mkdir(root.c_str(), 0750), 0);
    ASSERT_EQ(chown(root.c_str(), 0, group), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);

    auto read_as_member = [&] {
        return ks_test_in_child([&] {
            gid_t groups[] = {group};
            if (setgroups(1, groups) != 0 || setgid(group) != 0 || setuid(reader_uid) != 0)
                return std::string("setuid");
            struct ks_ledger *l;
            const char *error = "";
            std::vector<std::string> rows;
            if (!ks_ledger_open_read(&l, root.c_str(), &error))
                return std::string("open: ") + error;
            bool ok = ks_ledger_history(l, 0, keep_row, &rows, &error);
            ks_ledger_close(l);
            return ok ? std::to_string(rows.size()) + " rows" : std::string("history: ") + error;
        });
    };

    // The owner writes with the archive's group, and keeps the ledger open
    // until done closes.
    int written[2], done[2];
    ASSERT_EQ(pipe(written), 0);
    ASSERT_EQ(pipe(done), 0);
    struct owner_stop {
        pid_t pid = -1;
        int *done;
        ~owner_stop()
        {
            if (done[1] != -1)
                close(done[1]);
            if (pid > 0)
                ks_test_stop(pid);
        }
    } stop{-1, done};
    pid_t owner = fork();
    if (owner == 0) {
        struct ks_ledger *l;
        const char *error = "";
        int64_t row;
        char c;
        close(done[1]);
        close(written[0]);
        umask(027);
        if (setgid(group) != 0 || !ks_ledger_open(&l, root.c_str(), 0640, &error))
            _exit(1);
        for (int i = 0; i < 3; i++) {
            auto crash = crash_of(0, "0000000000000011", 20 + i);
            if (!ks_ledger_add(l, &crash, KS_LEDGER_STORED, &row, &error))
                _exit(2);
        }
        (void) !write(written[1], "x", 1);
        (void) !read(done[0], &c, 1);
        ks_ledger_close(l);
        _exit(0);
    }
    stop.pid = owner;
    close(written[1]);
    close(done[0]);
    char c;
    ASSERT_EQ(read(written[0], &c, 1), 1);
    close(written[0]);
    EXPECT_EQ(read_as_member(), "3 rows");
    close(done[1]);
    done[1] = -1;
    int status;
    ASSERT_EQ(waitpid(owner, &status, 0), owner);
    stop.pid = -1;
    EXPECT_EQ(ks_test_status_text(status), "exit 0");
    EXPECT_EQ(read_as_member(), "3 rows");

    struct stat st;
    ASSERT_EQ(stat((root + "/" KS_LEDGER_FILE).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_gid, group);
}

} // namespace
