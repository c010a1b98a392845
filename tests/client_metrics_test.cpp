// kestrel metrics for monitoring, and the help of every command.

#include "client_support.h"

#include <map>

// The samples of the exposition, "name{labels}" to value; comments are
// checked to come in HELP, TYPE pairs before their family's samples.
static std::map<std::string, std::string> samples(const std::string &text)
{
    std::map<std::string, std::string> found;
    std::string family;

    for (const auto &line : lines(text)) {
        if (line.starts_with("# HELP ")) {
            family = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.starts_with("# TYPE ")) {
            EXPECT_EQ(line, "# TYPE " + family + " gauge");
            continue;
        }
        EXPECT_TRUE(line.starts_with(family)) << line;
        size_t blank = line.rfind(' ');
        EXPECT_TRUE(found.emplace(line.substr(0, blank), line.substr(blank + 1)).second) << "twice: " << line;
    }
    return found;
}

TEST(ClientMetrics, ThePipelinesStatePerDirectory)
{
    tree t;
    const struct {
        std::string directory, name;
        size_t size;
    } files[] = {
        {"staging", "s1", 10},         {"pending", "p1", 100},        {"pending", "p2", 200},
        {"sending", "p2", 7},          {"failed/pending", "f1", 1000}, {"failed/sending", "f1", 5},
        {"failed/sending", "f2", 5},   {"committed/coredump", "c1", 3}, {"committed/snapshot", "c1", 4},
        {"committed/snapshot", "c2", 4},
    };
    time_t before = time(nullptr);
    for (const auto &f : files)
        t.file(f.directory, f.name, f.size);
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "p1"), "/usr/bin/app"));
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "p2"), "/usr/sbin/app"));
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "f1"), "/opt/daemon"));
    // Not a crash's file: links and directories are not counted.
    ASSERT_EQ(symlink("/etc/passwd", t.at("pending", "link").c_str()), 0);
    ASSERT_EQ(mkdir(t.at("pending", "directory").c_str(), 0755), 0);

    ks_test_result r = t.kestrel({"metrics"});
    time_t after = time(nullptr);
    EXPECT_EQ(exit_code(r), 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::map<std::string, std::string> got = samples(r.out);
    const std::map<std::string, std::string> want = {
        {"kestrel_directory_files{directory=\"staging\"}", "1"},
        {"kestrel_directory_files{directory=\"pending\"}", "2"},
        {"kestrel_directory_files{directory=\"sending\"}", "1"},
        {"kestrel_directory_files{directory=\"failed/pending\"}", "1"},
        {"kestrel_directory_files{directory=\"failed/sending\"}", "2"},
        {"kestrel_directory_files{directory=\"committed/coredump\"}", "1"},
        {"kestrel_directory_files{directory=\"committed/snapshot\"}", "2"},
        {"kestrel_directory_files{directory=\"assets\"}", "3"},
        {"kestrel_directory_bytes{directory=\"staging\"}", "10"},
        {"kestrel_directory_bytes{directory=\"pending\"}", "300"},
        {"kestrel_directory_bytes{directory=\"sending\"}", "7"},
        {"kestrel_directory_bytes{directory=\"failed/pending\"}", "1000"},
        {"kestrel_directory_bytes{directory=\"failed/sending\"}", "10"},
        {"kestrel_directory_bytes{directory=\"committed/coredump\"}", "3"},
        {"kestrel_directory_bytes{directory=\"committed/snapshot\"}", "8"},
        {"kestrel_directory_bytes{directory=\"assets\"}", got["kestrel_directory_bytes{directory=\"assets\"}"]},
        {"kestrel_committed_crashes", "2"},
        {"kestrel_failed_crashes", "2"},
        // As the listing shows them: the pending p2 is the sending one.
        {"kestrel_application_crashes{application=\"app\"}", "2"},
        {"kestrel_application_crashes{application=\"daemon\"}", "1"},
        {"kestrel_application_others", "0"},
    };
    for (const auto &[key, value] : want)
        EXPECT_EQ(got[key], value) << key;
    for (const char *d : {"staging", "pending", "sending", "failed/pending", "failed/sending", "committed/coredump",
                          "committed/snapshot", "assets"}) {
        std::string key = std::string("kestrel_directory_oldest_age_seconds{directory=\"") + d + "\"}";
        ASSERT_EQ(got.count(key), 1u) << key;
        EXPECT_LE(std::stol(got[key]), after - before + 1) << key;
    }
    EXPECT_EQ(got.size(), want.size() + 8);

    // No tree yet: everything is zero, nothing fails.
    tree missing(false);
    r = missing.kestrel({"metrics"});
    EXPECT_EQ(exit_code(r), 0);
    for (const auto &[key, value] : samples(r.out))
        EXPECT_EQ(value, "0") << key;
}

// Executables and names are whatever the crashed program chose: the file
// stays valid for the monitoring system's parser whatever they hold, and
// only so many applications are named.
TEST(ClientMetrics, HostileNamesCannotBreakTheFile)
{
    tree t;
    const std::vector<std::string> hostile = {
        "/tmp/quote\"d",        "/tmp/back\\slash",     "/tmp/new\nline} 1\nkestrel_failed_crashes 99",
        "/tmp/\x1b[2J\x07",     "/tmp/\xc2\x9b" "31m",  "/tmp/\xff\xfe\xc0\xaf",
        "/tmp/\xe2\x80\xa8sep", "/tmp/",                "noslash\"{x=\"y\"}",
    };
    // Each twice, so that they come before the many applications below.
    for (size_t i = 0; i < 2 * hostile.size(); i++) {
        std::string name = "crash\n\"" + std::to_string(i);
        t.file("pending", name);
        ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", name), hostile[i % hostile.size()]));
    }
    for (int i = 0; i < 25; i++) {
        t.file("failed/pending", "many-" + std::to_string(i));
        ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "many-" + std::to_string(i)), "/usr/bin/app-" + std::to_string(i)));
    }

    // The ledger's texts are the crashed programs' too.
    time_t now = time(nullptr);
    std::vector<ledger_row> rows;
    for (size_t i = 0; i < hostile.size(); i++)
        rows.push_back({now - 10, 100, 1000, hostile[i], 11, "sig\"" + std::to_string(i) + "\\\n\x1b[2J\xff}",
                        KS_LEDGER_STORM, "", "", false, 0});
    ASSERT_NO_FATAL_FAILURE(ledger_fill(t.root, rows));

    ks_test_result r = t.kestrel({"metrics"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    std::map<std::string, std::string> got = samples(r.out);
    EXPECT_EQ(got["kestrel_failed_crashes"], "25");
    EXPECT_EQ(got["kestrel_ledger_crashes_last_hour{outcome=\"storm\"}"], std::to_string(hostile.size()));
    EXPECT_EQ(got["kestrel_ledger_signature_crashes_last_hour{signature=\"sig\\\"0\\\\??[2J?}\",executable=\"/tmp/"
                  "quote\\\"d\"}"],
              "1");
    EXPECT_EQ(got["kestrel_ledger_signature_crashes_last_hour{signature=\"sig\\\"2\\\\??[2J?}\",executable=\"/tmp/"
                  "new?line} 1?kestrel_failed_crashes 99\"}"],
              "1");
    EXPECT_EQ(got["kestrel_application_crashes{application=\"quote\\\"d\"}"], "2");
    EXPECT_EQ(got["kestrel_application_crashes{application=\"back\\\\slash\"}"], "2");
    EXPECT_EQ(got["kestrel_application_crashes{application=\"?[2J?\"}"], "2");
    EXPECT_EQ(got["kestrel_application_crashes{application=\"????\"}"], "2");
    // "/tmp/" names no application; the rest beyond 20 are counted.
    EXPECT_EQ(got["kestrel_application_others"], std::to_string(hostile.size() - 1 + 25 - 20));
    for (unsigned char c : r.out)
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7f)) << static_cast<int>(c);
    EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos);
    EXPECT_EQ(r.out.find("\xff"), std::string::npos);

    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "no promtool (Debian package prometheus) to check the format";
    ks_test_result checked = ks_test_run({"/usr/bin/promtool", "check", "metrics"}, {}, r.out);
    EXPECT_EQ(exit_code(checked), 0) << checked.out << checked.err;
    EXPECT_EQ(checked.out + checked.err, "");
}

// Every command's -h names every option; the first lines stay as scripts
// may know them.
TEST(ClientHelp, EveryCommandListsItsOptions)
{
    tree t;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string first;
        std::vector<std::string> mentions;
    } cases[] = {
        {{"-h"}, 0, "Usage: kestrel [-c <configuration file>] <command> [<arguments>]",
         {"list", "retry", "info", "debug", "metrics", "history", "signatures", "-c, --cf <file>", "-h, --help",
          "-v, --version"}},
        {{"list", "-h"}, 1, "Usage: list [-a <application>] [-s <creation | application>]",
         {"-a <application>", "-s creation|c", "-s application|a", "-f ", "-j ", "-h "}},
        {{"info", "-h"}, 1, "Usage: info [-j] <object>", {"-j ", "-h "}},
        {{"retry", "-h"}, 1, "Usage: retry <object> ...", {"retry all", "-h "}},
        {{"debug", "-h"}, 1, "Usage: debug <object> [-- <gdb arguments>]",
         {"--core <file>", "--asset <file>", "--executable <path>", "set source open on", "-h "}},
        {{"metrics", "-h"}, 1, "Usage: metrics", {"Prometheus", "ledger", "-h "}},
        {{"history", "-h"}, 1, "Usage: history [-j] [-n <count>]", {"-n <count>", "0 for all", "-j ", "-h "}},
        {{"signatures", "-h"}, 1, "Usage: signatures [-j] [--since <seconds>]",
         {"--since <seconds>", "86400", "-j ", "-h "}},
        {{"signatures", "--help"}, 1, "Usage: signatures [-j] [--since <seconds>]", {"--since <seconds>"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        ks_test_result r = c.args[0] == "-h" ? ks_test_run({KS_TEST_KESTREL, "-h"}) : t.kestrel(c.args);
        EXPECT_EQ(exit_code(r), c.status);
        const std::string &text = c.status == 0 ? r.out : r.err;
        EXPECT_EQ(lines(text).at(0), c.first);
        for (const auto &m : c.mentions)
            EXPECT_NE(text.find(m), std::string::npos) << m << " in\n" << text;
    }
    // Mistakes get the usage line alone.
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"metrics", "extra"}, {"list", "-x"}, {"history", "-x"}, {"signatures", "--until", "5"}}) {
        ks_test_result r = t.kestrel(args);
        EXPECT_EQ(exit_code(r), 1);
        EXPECT_EQ(lines(r.err).back().substr(0, 6), "Usage:") << r.err;
    }
}

// The crash ledger's series: the last hour's crashes by outcome and by
// signature, only so many signatures named; older crashes are not in them.
TEST(ClientMetrics, TheLedgersLastHour)
{
    tree t;
    time_t now = time(nullptr);
    std::vector<ledger_row> rows;
    auto crash = [&](time_t age, const std::string &signature, ks_ledger_outcome outcome,
                     const std::string &executable = "/usr/bin/app") {
        rows.push_back({now - age, 100, 1000, executable, 11, signature, outcome, "", "", false, 0});
    };
    for (int i = 0; i < 5; i++)
        crash(2 * 3600 + i, "00000000000000f0", KS_LEDGER_STORED); // too old
    crash(900, "0000000000000001", KS_LEDGER_STORED, "/usr/bin/older");
    crash(800, "0000000000000001", KS_LEDGER_STORED, "/usr/bin/server");
    for (int i = 0; i < 3; i++)
        crash(700 - i, "0000000000000001", KS_LEDGER_STORM, "/usr/bin/server");
    crash(600, "0000000000000002", KS_LEDGER_CUT);
    crash(600, "0000000000000002", KS_LEDGER_CUT);
    for (int i = 0; i < 23; i++) {
        char signature[32];
        snprintf(signature, sizeof signature, "%016x", 0x100 + i);
        crash(500, signature, KS_LEDGER_LIMIT_0);
    }
    crash(100, "", KS_LEDGER_FAILED); // no signature
    ASSERT_NO_FATAL_FAILURE(ledger_fill(t.root, rows));

    ks_test_result r = t.kestrel({"metrics"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::map<std::string, std::string> got = samples(r.out);
    std::map<std::string, std::string> want = {
        {"stored", "2"}, {"cut", "2"}, {"ignored", "0"}, {"limit-0", "23"},
        {"quota", "0"},  {"disk-full", "0"}, {"storm", "3"}, {"failed", "1"},
    };
    for (const auto &[outcome, value] : want) {
        std::string key = "kestrel_ledger_crashes_last_hour{outcome=\"" + outcome + "\"}";
        EXPECT_EQ(got.count(key), 1u) << key;
        EXPECT_EQ(got[key], value) << key;
    }
    // The most frequent first; equal counts by signature: 0x100 to 0x111
    // fill the 20, 0x112 to 0x116 are the others.
    std::vector<std::string> named;
    for (const auto &line : lines(r.out))
        if (line.starts_with("kestrel_ledger_signature_crashes_last_hour{"))
            named.push_back(line);
    ASSERT_EQ(named.size(), 20u);
    EXPECT_EQ(named[0],
              "kestrel_ledger_signature_crashes_last_hour{signature=\"0000000000000001\",executable=\"/usr/bin/server\"} 5");
    EXPECT_EQ(named[1], "kestrel_ledger_signature_crashes_last_hour{signature=\"0000000000000002\",executable=\"/usr/bin/app\"} 2");
    EXPECT_EQ(named[2], "kestrel_ledger_signature_crashes_last_hour{signature=\"0000000000000100\",executable=\"/usr/bin/app\"} 1");
    EXPECT_EQ(named[19], "kestrel_ledger_signature_crashes_last_hour{signature=\"0000000000000111\",executable=\"/usr/bin/app\"} 1");
    EXPECT_EQ(got["kestrel_ledger_signature_others_last_hour"], "5");
    EXPECT_EQ(r.out.find("00000000000000f0"), std::string::npos);

    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "no promtool (Debian package prometheus) to check the format";
    ks_test_result checked = ks_test_run({"/usr/bin/promtool", "check", "metrics"}, {}, r.out);
    EXPECT_EQ(exit_code(checked), 0) << checked.out << checked.err;
    EXPECT_EQ(checked.out + checked.err, "");
}
