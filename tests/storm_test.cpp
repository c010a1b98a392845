// Storm control through the real archiver: hundreds of archivers started at
// once, as the kernel starts them for a crash loop, store exactly the
// configured number of cores, and the ledger records every crash. A ledger
// in trouble never costs a crash.

#include "common/ledger.h"

#include "images.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace ks_test_image;

const char unlimited[] = "18446744073709551615";

// A crash at pc in the second mapping of a program.
std::string crash_image(uint64_t pc)
{
    return image(prstatus(42, 11, pc, 0x7ffc0000) + siginfo(11, 1, 0x10) +
                 files(2, {"/usr/bin/victim", "/usr/lib/libvictim.so.1"}));
}

size_t files_in(const std::string &dir)
{
    size_t n = 0;
    DIR *d = opendir(dir.c_str());

    if (d == nullptr)
        return 0;
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

struct Storm : ::testing::Test {
    ks_test_dir dir;
    std::string root = dir / "root", conf = dir / "kestrel.conf";
    pid_t victim = -1;

    void SetUp() override
    {
        if (!ks_test_is_root() || !ks_test_can_mount())
            GTEST_SKIP() << "the archiver reads a dumping process as root: needs root with a private mount namespace";
        ks_test_syslog_start();
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
        victim = ks_test_spawn({"/usr/bin/tail", "-f", "/dev/null"});
        ASSERT_TRUE(ks_test_wait_until([&] {
            return ks_test_read_file("/proc/" + std::to_string(victim) + "/cmdline").starts_with("/usr/bin/tail");
        }));
    }

    void TearDown() override
    {
        if (victim > 0)
            ks_test_stop(victim);
    }

    void configure(const std::string &lines)
    {
        ks_test_write_file(conf, "[archive]\ndump.root = " + root + "\narchive.disabled = true\ndump.quota = 0%\n" +
                                     lines + "[daemon]\nsnapshot.command = true\nsend.command = true\n");
    }

    // One archiver per image, all started at once in one namespace where
    // the stand-in is dumping; true when every one exited 0.
    bool storm(const std::vector<std::string> &images)
    {
        for (size_t i = 0; i < images.size(); i++)
            ks_test_write_file(dir / ("image." + std::to_string(i)), images[i]);
        std::string script = "n=$1; images=$2; shift 2; i=0; pids=; "
                             "while [ $i -lt $n ]; do \"$@\" <\"$images.$i\" & pids=\"$pids $!\"; i=$((i + 1)); done; "
                             "rc=0; for p in $pids; do wait $p || rc=1; done; exit $rc";
        std::vector<std::string> args = {"/bin/sh", "-c", script, "storm", std::to_string(images.size()),
                                         dir / "image", KS_TEST_ARCHIVE, "-c", conf,
                                         "-p" + std::to_string(victim), "-P" + std::to_string(victim),
                                         "-l" + std::string(unlimited)};
        ks_test_result r = ks_test_run(ks_test_as_dumping(victim, dir.path, args), {}, "", 300);
        return WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0;
    }

    // Rows of the ledger by outcome.
    std::map<std::string, size_t> outcomes(void)
    {
        std::map<std::string, size_t> counts;
        struct ks_ledger *ledger;
        const char *error = "";

        if (!ks_ledger_open_read(&ledger, root.c_str(), &error)) {
            ADD_FAILURE() << "ledger: " << error;
            return counts;
        }
        ks_ledger_history(
            ledger, 0,
            [](const struct ks_ledger_row *row, void *cl) {
                (*static_cast<std::map<std::string, size_t> *>(cl))[row->outcome]++;
                return true;
            },
            &counts, &error);
        ks_ledger_close(ledger);
        return counts;
    }

    size_t messages(const std::string &part)
    {
        size_t n = 0;
        for (const auto &log : ks_test_syslog_read())
            n += log.text.find(part) != std::string::npos;
        return n;
    }
};

} // namespace

// A crash loop of one program, a user whose every crash is different, and
// storm control turned off.
TEST_F(Storm, ExactlyTheLimitIsStoredAndEveryCrashRecorded)
{
    std::vector<std::string> same(200, crash_image(0x500123)), different;
    for (uint64_t i = 0; i < 200; i++)
        different.push_back(crash_image(0x500000 + 16 * i));
    const struct {
        const char *name;
        std::string lines;
        const std::vector<std::string> *images;
        size_t stored;
        size_t logged; // storm lines: the 1st, 10th, 100th... skipped crash
    } scenarios[] = {
        {"one signature", "dump.storm.window = 1h\ndump.storm.signature = 5\n", &same, 5, 3},
        {"many signatures of one user", "dump.storm.window = 3600\ndump.storm.signature = 5\ndump.storm.user = 30\n",
         &different, 30, 3},
        {"storm control off", "dump.storm.signature = 5\n", &same, 200, 0},
    };

    for (const auto &s : scenarios) {
        SCOPED_TRACE(s.name);
        ks_test_syslog_start();
        ks_test_run({"/bin/rm", "-rf", root});
        configure(s.lines);
        ASSERT_TRUE(storm(*s.images)) << ks_test_syslog_dump();
        EXPECT_EQ(files_in(root + "/pending"), s.stored);
        EXPECT_EQ(files_in(root + "/assets"), s.stored);
        auto rows = outcomes();
        EXPECT_EQ(rows["stored"], s.stored);
        EXPECT_EQ(rows["storm"], s.images->size() - s.stored);
        EXPECT_EQ(rows["stored"] + rows["storm"], s.images->size()) << ::testing::PrintToString(rows);
        EXPECT_EQ(messages("crash storm"), s.logged) << ks_test_syslog_dump();
        EXPECT_EQ(messages("the crash ledger"), 0u) << ks_test_syslog_dump();
    }
}

// A ledger deleted, damaged, locked for long or made read-only between two
// waves of a storm: no crash is lost. A missing or damaged ledger is made
// anew (and the damaged one kept aside); one that cannot be written leaves
// every crash stored as without storm control, with one line each.
TEST_F(Storm, ALedgerInTroubleCostsNoCrash)
{
    ks_test_user owner("kst-stm");
    ASSERT_TRUE(owner.made) << "useradd";
    std::vector<std::string> wave(20, crash_image(0x500123));
    const std::string ledger = root + "/ledger.db";
    const struct {
        const char *name;
        std::string trouble; // shell, in the archive root
        size_t stored;       // of the second wave
        bool warned;         // every archiver says the ledger is unavailable
    } scenarios[] = {
        {"deleted", "rm -f ledger.db ledger.db-wal ledger.db-shm", 5, false},
        {"damaged", "head -c 65536 /dev/urandom >ledger.db; rm -f ledger.db-wal ledger.db-shm", 5, false},
        {"locked", "", 20, true},
        {"read-only", "chmod 0440 ledger.db ledger.db-wal ledger.db-shm", 20, true},
    };

    for (const auto &s : scenarios) {
        SCOPED_TRACE(s.name);
        ks_test_run({"/bin/rm", "-rf", root});
        configure("dump.user = " + owner.name + "\ndump.group = " + owner.name +
                  "\ndump.storm.window = 1h\ndump.storm.signature = 5\n");
        ASSERT_TRUE(storm(wave)) << ks_test_syslog_dump();
        ASSERT_EQ(files_in(root + "/pending"), 5u);

        ks_test_syslog_start();
        pid_t holder = -1;
        if (std::string(s.name) == "locked") {
            // Another process holds the writers' lock and does not let go.
            // One process that takes the lock and holds it until it is killed.
            holder = ks_test_spawn(
                {"/bin/sh", "-c", "exec 9>>\"$0\" && flock 9 && exec sleep 120", root + "/ledger.lock"});
            ASSERT_TRUE(ks_test_wait_until([&] {
                return ks_test_run({"/usr/bin/flock", "-n", root + "/ledger.lock", "/bin/true"}).status != 0;
            }));
        } else {
            ASSERT_EQ(ks_test_run({"/bin/sh", "-c", "cd \"$0\" && " + s.trouble, root}).status, 0);
        }
        ASSERT_TRUE(storm(wave)) << ks_test_syslog_dump();
        if (holder > 0)
            ks_test_stop(holder);
        EXPECT_EQ(files_in(root + "/pending"), 5 + s.stored) << ks_test_syslog_dump();
        EXPECT_EQ(messages("the crash ledger is unavailable"), s.warned ? wave.size() : 0u) << ks_test_syslog_dump();
        if (std::string(s.name) == "damaged") {
            EXPECT_TRUE(ks_test_exists(ledger + ".damaged"));
            EXPECT_EQ(outcomes()["stored"], 5u);
        }
    }
}
