// kestrel history and kestrel signatures: the crash ledger read through the
// real program, from ledgers written with the ledger's own writer, hostile
// texts included, and from ledgers that are missing, empty or damaged.

#include "client_support.h"

#include <map>
#include <sqlite3.h>
#include <sys/stat.h>

namespace {

const time_t t0 = 1700000000; // 2023-11-14 22:13:20 UTC

// A time as the tables show it under TZ=UTC.
std::string shown(time_t when)
{
    struct tm tm;
    char text[64];
    gmtime_r(&when, &tm);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string iso(time_t when)
{
    struct tm tm;
    char text[64];
    gmtime_r(&when, &tm);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

bool have_python(void) { return access("/usr/bin/python3", X_OK) == 0; }

// Every line parsed by Python's json module and written back with sorted
// keys and only ASCII, so that each can be compared as text.
std::vector<std::string> parsed(const std::string &json_lines)
{
    static const char script[] = "import json, sys\n"
                                 "for line in sys.stdin.buffer.read().decode('utf-8').split('\\n')[:-1]:\n"
                                 "    print(json.dumps(json.loads(line), sort_keys=True))\n";
    ks_test_result r = ks_test_run({"/usr/bin/python3", "-c", script}, {}, json_lines);
    EXPECT_EQ(exit_code(r), 0) << r.err;
    return lines(r.out);
}

// Nothing of the crash's texts reaches the terminal as a control
// character or as bytes that are not UTF-8.
void expect_printable(const std::string &text)
{
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7f && c != 0xff)) << "byte " << static_cast<int>(c) << " at " << i;
    }
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos);
}

const std::string hostile_executable = "/tmp/\x1b[2Jevil\nline\xff";
const std::string hostile_signature = "\x1b]0;pwned\x07";

std::vector<ledger_row> history_rows()
{
    return {
        {t0 + 1, 101, 0, "/usr/bin/server", 11, "0123456789abcdef", KS_LEDGER_STORED, "crash-a",
         "/usr/lib/libfoo.so.1", true, 0x1139},
        {t0 + 2, 102, 4000000, "/usr/bin/server", 6, "fedcba9876543210", KS_LEDGER_STORED, "crash-b",
         "/usr/bin/server", true, 0x2a},
        {t0 + 3, 103, 0, hostile_executable, 34, hostile_signature, KS_LEDGER_STORM, "", "", false, 0},
        {t0 + 4, 104, 0, "", 0, "", KS_LEDGER_LIMIT_0, "", "", false, 0},
        {t0 + 5, 105, 0, "/usr/sbin/daemon", 7, "00000000000000aa", KS_LEDGER_CUT, "crash-c", "", true, 0x10},
        // The same second: the later row comes first.
        {t0 + 5, 106, 0, "/opt/caf\xc3\xa9/app", 11, "00000000000000bb", KS_LEDGER_STORED, "../crash-a", "", false, 0},
        {t0 + 6, 107, 0, "/usr/bin/server", 11, "0123456789abcdef", KS_LEDGER_QUOTA, "crash-d", "", false, 0},
    };
}

TEST(ClientHistory, TableNewestFirstWithTheFilesThatAreLeft)
{
    tree t;
    ASSERT_NO_FATAL_FAILURE(ledger_fill(t.root, history_rows()));
    t.file("pending", "crash-a");
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "crash-a"), "/usr/bin/server"));
    t.file("committed/coredump", "crash-c");
    t.file("committed/snapshot", "crash-c");
    // Not a crash's file: a link where its core image would be.
    ASSERT_EQ(symlink("/etc/passwd", t.at("pending", "crash-d").c_str()), 0);

    ks_test_result r = t.kestrel({"history"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> want = {
        "TIME                 PID  USER      SIGNAL      OUTCOME  FILES  SIGNATURE         EXECUTABLE",
        shown(t0 + 6) + "  107  0 (root)  SIGSEGV     quota    ---    0123456789abcdef  /usr/bin/server",
        shown(t0 + 5) + "  106  0 (root)  SIGSEGV     stored   -      00000000000000bb  /opt/caf\xc3\xa9/app",
        shown(t0 + 5) + "  105  0 (root)  SIGBUS      cut      cs-    00000000000000aa  /usr/sbin/daemon",
        shown(t0 + 4) + "  104  0 (root)  -           limit-0  -      -                 -",
        shown(t0 + 3) + "  103  0 (root)  SIGRTMIN+0  storm    -      ?]0;pwned?        /tmp/?[2Jevil?line?",
        shown(t0 + 2) + "  102  4000000   SIGABRT     stored   ---    fedcba9876543210  /usr/bin/server",
        shown(t0 + 1) + "  101  0 (root)  SIGSEGV     stored   c-a    0123456789abcdef  /usr/bin/server",
    };
    EXPECT_EQ(lines(r.out), want) << r.out;
    expect_printable(r.out);
}

TEST(ClientHistory, JsonLinesParseBack)
{
    if (!have_python())
        GTEST_SKIP() << "no /usr/bin/python3";
    tree t;
    ASSERT_NO_FATAL_FAILURE(ledger_fill(t.root, history_rows()));
    t.file("pending", "crash-a");
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "crash-a"), "/usr/bin/server"));
    t.file("committed/coredump", "crash-c");
    t.file("committed/snapshot", "crash-c");

    ks_test_result r = t.kestrel({"history", "-j"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    expect_printable(r.out);
    auto member = [](time_t when) {
        return "\"time\": " + std::to_string(when) + ", \"time_utc\": \"" + iso(when) + "\"";
    };
    const std::vector<std::string> want = {
        R"({"executable": "/usr/bin/server", "files": [], "module": null, "name": "crash-d", "offset": null, )"
        R"("outcome": "quota", "pid": 107, "signal": 11, "signal_name": "SIGSEGV", "signature": "0123456789abcdef", )" +
            member(t0 + 6) + R"(, "uid": 0, "user": "root"})",
        R"({"executable": "/opt/caf\u00e9/app", "files": [], "module": null, "name": "../crash-a", "offset": null, )"
        R"("outcome": "stored", "pid": 106, "signal": 11, "signal_name": "SIGSEGV", "signature": "00000000000000bb", )" +
            member(t0 + 5) + R"(, "uid": 0, "user": "root"})",
        R"({"executable": "/usr/sbin/daemon", "files": ["core", "snapshot"], "module": null, "name": "crash-c", )"
        R"("offset": "0x10", "outcome": "cut", "pid": 105, "signal": 7, "signal_name": "SIGBUS", )"
        R"("signature": "00000000000000aa", )" +
            member(t0 + 5) + R"(, "uid": 0, "user": "root"})",
        R"({"executable": null, "files": [], "module": null, "name": null, "offset": null, "outcome": "limit-0", )"
        R"("pid": 104, "signal": null, "signal_name": null, "signature": null, )" +
            member(t0 + 4) + R"(, "uid": 0, "user": "root"})",
        R"({"executable": "/tmp/\u001b[2Jevil\nline\ufffd", "files": [], "module": null, "name": null, )"
        R"("offset": null, "outcome": "storm", "pid": 103, "signal": 34, "signal_name": "SIGRTMIN+0", )"
        R"("signature": "\u001b]0;pwned\u0007", )" +
            member(t0 + 3) + R"(, "uid": 0, "user": "root"})",
        R"({"executable": "/usr/bin/server", "files": [], "module": "/usr/bin/server", "name": "crash-b", )"
        R"("offset": "0x2a", "outcome": "stored", "pid": 102, "signal": 6, "signal_name": "SIGABRT", )"
        R"("signature": "fedcba9876543210", )" +
            member(t0 + 2) + R"(, "uid": 4000000, "user": null})",
        R"({"executable": "/usr/bin/server", "files": ["core", "asset"], "module": "/usr/lib/libfoo.so.1", )"
        R"("name": "crash-a", "offset": "0x1139", "outcome": "stored", "pid": 101, "signal": 11, )"
        R"("signal_name": "SIGSEGV", "signature": "0123456789abcdef", )" +
            member(t0 + 1) + R"(, "uid": 0, "user": "root"})",
    };
    EXPECT_EQ(parsed(r.out), want);
}

TEST(ClientHistory, CountOfRows)
{
    tree t;
    std::vector<ledger_row> rows;
    for (int i = 0; i < 60; i++)
        rows.push_back({t0 + i, 1000 + i, 0, "/usr/bin/app", 11, "00000000000000cc", KS_LEDGER_STORED, "", "", false, 0});
    ASSERT_NO_FATAL_FAILURE(ledger_fill(t.root, rows));

    const struct {
        std::vector<std::string> args;
        size_t rows;   // newest first, from pid 1059 down
        bool json;
    } cases[] = {
        {{"history"}, 50, false},
        {{"history", "-n", "3"}, 3, false},
        {{"history", "-n", "0"}, 60, false},
        {{"history", "-n", "100"}, 60, false},
        {{"history", "-j"}, 50, true},
        {{"history", "-j", "-n", "2"}, 2, true},
        {{"history", "-n0", "-j"}, 60, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        ks_test_result r = t.kestrel(c.args);
        EXPECT_EQ(exit_code(r), 0) << r.err;
        auto got = lines(r.out);
        ASSERT_EQ(got.size(), c.rows + (c.json ? 0 : 1));
        for (size_t i = 0; i < c.rows; i++) {
            std::string pid = std::to_string(1059 - i);
            const std::string &line = got[i + (c.json ? 0 : 1)];
            EXPECT_NE(line.find(c.json ? "\"pid\":" + pid + "," : "  " + pid + "  "), std::string::npos) << line;
        }
    }
    // Mistakes get the usage line alone.
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"history", "-n", "-1"}, {"history", "-n", "5x"}, {"history", "-n", ""}, {"history", "-n"},
             {"history", "extra"}, {"history", "-x"}, {"history", "-n", "99999999999999999999999"}}) {
        ks_test_result r = t.kestrel(args);
        EXPECT_EQ(exit_code(r), 1) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(lines(r.err).back(), "Usage: history [-j] [-n <count>]") << r.err;
    }
}

// Past a thousand crashes the tree's directories are read whole rather than
// looked up crash by crash: the files found are the same either way.
TEST(ClientHistory, ManyCrashesTheirFilesFoundAllTheSame)
{
    tree t;
    std::vector<ledger_row> rows;
    for (int i = 0; i < 1200; i++)
        rows.push_back({t0 + i, 10000 + i, 0, "/usr/bin/app", 11, "00000000000000cc", KS_LEDGER_STORED,
                        "crash-" + std::to_string(i), "", false, 0});
    ASSERT_NO_FATAL_FAILURE(ledger_fill(t.root, rows));
    // Newest first: 1199 is the first looked up, 0 among the last.
    std::map<int, std::string> want;
    for (int i : {1199, 1150, 150, 0}) {
        std::string name = "crash-" + std::to_string(i);
        t.file(i % 100 == 0 ? "committed/coredump" : "pending", name);
        t.file("assets", name);
        want[i] = i == 150 ? "c--" : "c-a";
    }
    for (int i : {1198, 149}) {
        t.file("failed/sending", "crash-" + std::to_string(i));
        want[i] = "-s-";
    }
    for (int i : {1197, 148}) {
        ASSERT_EQ(symlink("/etc/passwd", t.at("pending", "crash-" + std::to_string(i)).c_str()), 0);
        want[i] = "---";
    }
    ASSERT_EQ(unlink(t.at("assets", "crash-150").c_str()), 0);

    ks_test_result r = t.kestrel({"history", "-n", "0"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    auto got = lines(r.out);
    ASSERT_EQ(got.size(), 1201u);
    for (int i = 0; i < 1200; i++) {
        const std::string &line = got[static_cast<size_t>(1200 - i)];
        std::string files = want.count(i) != 0 ? want[i] : "---";
        EXPECT_NE(line.find("  " + std::to_string(10000 + i) + "  0 (root)  SIGSEGV  stored   " + files + "  "),
                  std::string::npos)
            << line;
    }
}

// Crashes relative to now, for the window.
std::vector<ledger_row> signature_rows(time_t now)
{
    const time_t hour = 3600;
    return {
        {now - 2 * 86400, 1, 1000, "/usr/bin/server", 6, "aaaaaaaaaaaaaaaa", KS_LEDGER_STORED, "", "/usr/bin/server", true, 0x99},
        {now - 300, 2, 1000, "/usr/bin/server", 6, "aaaaaaaaaaaaaaaa", KS_LEDGER_STORED, "", "/usr/bin/server", true, 0x99},
        {now - 200, 3, 1000, "/usr/bin/server", 6, "aaaaaaaaaaaaaaaa", KS_LEDGER_STORM, "", "/usr/bin/server", true, 0x99},
        {now - 100, 4, 1000, "/usr/bin/server", 6, "aaaaaaaaaaaaaaaa", KS_LEDGER_CUT, "",
         "/usr/lib/x86_64-linux-gnu/libc.so.6", true, 0x8a9fc},
        {now - 30 * hour, 5, 1000, "/usr/bin/other", 11, "bbbbbbbbbbbbbbbb", KS_LEDGER_STORED, "", "", false, 0},
        {now - 50, 6, 1000, "/tmp/x\ny", 11, "\x1b[31mred\xc2\x9b", KS_LEDGER_STORM, "", "/tmp/\xff.so", true, 0x10},
        {now - 10, 7, 1000, "/usr/bin/unsigned", 11, "", KS_LEDGER_STORED, "", "", false, 0},
        // A call through a null pointer: no module, the offset alone.
        {now - 400, 8, 1000, "/usr/bin/jumper", 11, "eeeeeeeeeeeeeeee", KS_LEDGER_STORED, "", "", true, 0},
    };
}

TEST(ClientSignatures, OneLinePerSignatureTheOneSeenLastFirst)
{
    tree t;
    time_t now = time(nullptr);
    ASSERT_NO_FATAL_FAILURE(ledger_fill(t.root, signature_rows(now)));
    const time_t hour = 3600;

    // Window counts of the signatures in table order: the hostile one, a, e, b.
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> window;
    } cases[] = {
        {{"signatures"}, {"1", "3", "1", "0"}},
        {{"signatures", "--since", "1000"}, {"1", "3", "1", "0"}},
        {{"signatures", "--since", "250"}, {"1", "2", "0", "0"}},
        {{"signatures", "--since=200000"}, {"1", "4", "1", "1"}},
        {{"signatures", "--since", "0"}, {"0", "0", "0", "0"}},
        {{"signatures", "--since", "99999999999"}, {"1", "4", "1", "1"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        ks_test_result r = t.kestrel(c.args);
        EXPECT_EQ(exit_code(r), 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::vector<std::string> want = {
            "SIGNATURE         WINDOW  TOTAL  STORED  FIRST SEEN           LAST SEEN            SIGNAL   "
            "LOCATION           EXECUTABLE",
            "?[31mred?              " + c.window[0] + "      1       0  " + shown(now - 50) + "  " + shown(now - 50) +
                "  SIGSEGV  ?.so+0x10          /tmp/x?y",
            "aaaaaaaaaaaaaaaa       " + c.window[1] + "      4       3  " + shown(now - 2 * 86400) + "  " +
                shown(now - 100) + "  SIGABRT  libc.so.6+0x8a9fc  /usr/bin/server",
            "eeeeeeeeeeeeeeee       " + c.window[2] + "      1       1  " + shown(now - 400) + "  " + shown(now - 400) +
                "  SIGSEGV  0x0                /usr/bin/jumper",
            "bbbbbbbbbbbbbbbb       " + c.window[3] + "      1       1  " + shown(now - 30 * hour) + "  " +
                shown(now - 30 * hour) + "  SIGSEGV  -                  /usr/bin/other",
        };
        EXPECT_EQ(lines(r.out), want) << r.out;
        expect_printable(r.out);
    }
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"signatures", "--since"}, {"signatures", "--since", "-5"}, {"signatures", "--since", "1h"},
             {"signatures", "-n", "3"}, {"signatures", "extra"}}) {
        ks_test_result r = t.kestrel(args);
        EXPECT_EQ(exit_code(r), 1) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(lines(r.err).back(), "Usage: signatures [-j] [--since <seconds>]") << r.err;
    }
}

TEST(ClientSignatures, JsonLinesParseBack)
{
    if (!have_python())
        GTEST_SKIP() << "no /usr/bin/python3";
    tree t;
    time_t now = time(nullptr);
    ASSERT_NO_FATAL_FAILURE(ledger_fill(t.root, signature_rows(now)));

    ks_test_result r = t.kestrel({"signatures", "-j", "--since", "1000"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    expect_printable(r.out);
    auto times = [](time_t first, time_t last) {
        return "\"first\": " + std::to_string(first) + ", \"first_utc\": \"" + iso(first) + "\", \"last\": " +
               std::to_string(last) + ", \"last_utc\": \"" + iso(last) + "\"";
    };
    const std::vector<std::string> want = {
        R"({"executable": "/tmp/x\ny", )" + times(now - 50, now - 50) +
            R"(, "module": "/tmp/\ufffd.so", "offset": "0x10", "recent": 1, "signal": 11, "signal_name": "SIGSEGV", )"
            R"("signature": "\u001b[31mred\u009b", "stored": 0, "total": 1, "window": 1000})",
        R"({"executable": "/usr/bin/server", )" + times(now - 2 * 86400, now - 100) +
            R"(, "module": "/usr/lib/x86_64-linux-gnu/libc.so.6", "offset": "0x8a9fc", "recent": 3, "signal": 6, )"
            R"("signal_name": "SIGABRT", "signature": "aaaaaaaaaaaaaaaa", "stored": 3, "total": 4, "window": 1000})",
        R"({"executable": "/usr/bin/jumper", )" + times(now - 400, now - 400) +
            R"(, "module": null, "offset": "0x0", "recent": 1, "signal": 11, "signal_name": "SIGSEGV", )"
            R"("signature": "eeeeeeeeeeeeeeee", "stored": 1, "total": 1, "window": 1000})",
        R"({"executable": "/usr/bin/other", )" + times(now - 30 * 3600, now - 30 * 3600) +
            R"(, "module": null, "offset": null, "recent": 0, "signal": 11, "signal_name": "SIGSEGV", )"
            R"("signature": "bbbbbbbbbbbbbbbb", "stored": 1, "total": 1, "window": 1000})",
    };
    EXPECT_EQ(parsed(r.out), want);
}

std::string file_bytes(const std::string &path) { return ks_test_exists(path) ? ks_test_read_file(path) : "<none>"; }

std::vector<std::string> entries(const std::string &directory)
{
    ks_test_result r = ks_test_run({"/bin/ls", "-A", directory});
    return lines(r.out);
}

void overwrite(const std::string &path, off_t offset, size_t length)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    std::string junk(length, '\xa5');
    ASSERT_NE(fd, -1);
    ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), offset), static_cast<ssize_t>(junk.size()));
    close(fd);
}

// Whatever lies at the ledger's place, the two commands say in one line
// why they cannot show it, metrics goes on without its series, and nothing
// there is changed.
TEST(ClientLedger, MissingEmptyDamagedOrNoLedgerAtAll)
{
    const ledger_row one = {t0, 1, 0, "/usr/bin/app", 11, "00000000000000dd", KS_LEDGER_STORED, "", "", false, 0};
    const struct {
        const char *what;
        bool has_tree;
        std::function<void(const tree &)> prepare;
        int status;
        std::string error; // after the ledger's path; "" for no error
        bool series;       // metrics shows the ledger's series
    } scenarios[] = {
        {"no archive tree", false, [](const tree &) {}, 1, "no crash has been recorded yet", false},
        {"a tree without a ledger", true, [](const tree &) {}, 1, "no crash has been recorded yet", false},
        {"an empty ledger", true, [](const tree &t) { ledger_fill(t.root, {}); }, 0, "", true},
        {"a ledger whose header is overwritten", true,
         [&](const tree &t) {
             ledger_fill(t.root, {one});
             overwrite(t.root + "/ledger.db", 0, 100);
         },
         1, ": the ledger is damaged", false},
        {"a ledger whose pages are overwritten", true,
         [&](const tree &t) {
             ledger_fill(t.root, std::vector<ledger_row>(200, one));
             struct stat st;
             ASSERT_EQ(stat((t.root + "/ledger.db").c_str(), &st), 0);
             overwrite(t.root + "/ledger.db", 4096, static_cast<size_t>(st.st_size) - 4096);
         },
         1, ": database disk image is malformed", false},
        {"another program's database", true,
         [](const tree &t) {
             sqlite3 *db;
             ASSERT_EQ(sqlite3_open((t.root + "/ledger.db").c_str(), &db), SQLITE_OK);
             EXPECT_EQ(sqlite3_exec(db, "CREATE TABLE crashes (x); INSERT INTO crashes VALUES (1);", nullptr, nullptr,
                                    nullptr),
                       SQLITE_OK);
             sqlite3_close(db);
         },
         1, ": the ledger is damaged", false},
        {"a directory", true, [](const tree &t) { ASSERT_EQ(mkdir((t.root + "/ledger.db").c_str(), 0755), 0); }, 1,
         ": not a regular file", false},
        {"a link", true,
         [](const tree &t) {
             ledger_fill(t.root + "/staging", {{t0, 1, 0, "", 11, "", KS_LEDGER_STORED, "", "", false, 0}});
             ASSERT_EQ(symlink("staging/ledger.db", (t.root + "/ledger.db").c_str()), 0);
         },
         1, " is a symbolic link: the archive tree is never read through links", false},
        {"a ledger set aside as damaged", true,
         [&](const tree &t) {
             ledger_fill(t.root, {one});
             ASSERT_EQ(rename((t.root + "/ledger.db").c_str(), (t.root + "/ledger.db.damaged").c_str()), 0);
         },
         1, "set aside", false},
    };
    for (const auto &s : scenarios) {
        SCOPED_TRACE(s.what);
        tree t(s.has_tree);
        ASSERT_NO_FATAL_FAILURE(s.prepare(t));
        std::string path = t.root + "/ledger.db";
        auto before = s.has_tree ? entries(t.root) : std::vector<std::string>{};
        std::string db = file_bytes(path), wal = file_bytes(path + "-wal");

        for (const auto &args : std::vector<std::vector<std::string>>{
                 {"history"}, {"history", "-j"}, {"signatures"}, {"signatures", "-j"}}) {
            SCOPED_TRACE(args.back());
            ks_test_result r = t.kestrel(args);
            EXPECT_EQ(exit_code(r), s.status) << r.err;
            EXPECT_EQ(r.out, "");
            if (s.error.empty()) {
                EXPECT_EQ(r.err, "");
            } else if (s.error.starts_with("no crash")) {
                EXPECT_EQ(r.err, "no crash has been recorded yet in " + t.root + "\n");
            } else if (s.error == "set aside") {
                EXPECT_EQ(r.err, "error: the crash ledger was damaged and has been set aside as " + t.root +
                                     "/ledger.db.damaged; a new one begins with the next crash\n");
            } else if (s.error.starts_with(" is")) {
                EXPECT_EQ(r.err, "error: " + path + s.error + "\n");
            } else {
                EXPECT_EQ(r.err, "error: cannot read the crash ledger: " + path + s.error + "\n");
            }
        }
        ks_test_result m = t.kestrel({"metrics"});
        EXPECT_EQ(exit_code(m), 0);
        EXPECT_EQ(m.err, "");
        EXPECT_EQ(m.out.find("kestrel_ledger_crashes_last_hour{outcome=\"stored\"} 0\n") != std::string::npos, s.series)
            << m.out;
        EXPECT_EQ(m.out.find("kestrel_ledger_") != std::string::npos, s.series);

        // The client opened everything read-only: the damaged ledger is
        // not moved aside, repaired or joined by new files.
        EXPECT_EQ(file_bytes(path), db);
        EXPECT_EQ(file_bytes(path + "-wal"), wal);
        if (s.has_tree) {
            EXPECT_EQ(entries(t.root), before);
        }
    }
}

// The owner of the tree writes the ledger (files 0640, WAL mode) and keeps
// it open; root reads it as the archive user, a member of the archive
// group who is not its owner reads it too, and a ledger only its owner may
// read is refused to the member in one line.
TEST(ClientLedger, TheArchiveUserAndAGroupMemberReadIt)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to make users";
    test_user owner("ledger-owner"), member("ledger-member");
    if (owner.busy || member.busy)
        GTEST_SKIP() << "the machine's global lock is held by another job";
    ASSERT_TRUE(owner.made && member.made);
    tree t(true, "snapshot.command = /bin/true %c\nsend.command = /bin/true %S\n",
           "dump.user = " + owner.name + "\ndump.group = " + owner.name + "\n");
    ASSERT_EQ(chmod(t.dir.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(t.conf.c_str(), 0644), 0);
    ks_test_result r = ks_test_run({"/bin/chown", "-R", owner.name + ":" + owner.name, t.root});
    ASSERT_EQ(exit_code(r), 0) << r.err;
    r = ks_test_run({"/usr/bin/find", t.root, "-type", "d", "-exec", "chmod", "0750", "{}", "+"});
    ASSERT_EQ(exit_code(r), 0) << r.err;

    // The owner's writer, open until told to end.
    int written[2], done[2];
    ASSERT_EQ(pipe2(written, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    pid_t writer = fork();
    if (writer == 0) {
        struct ks_ledger *l;
        const char *error = "";
        int64_t id;
        char c;
        close(done[1]);
        close(written[0]);
        umask(027);
        if (setgroups(0, nullptr) != 0 || setgid(owner.gid) != 0 || setuid(owner.uid) != 0 ||
            !ks_ledger_open(&l, t.root.c_str(), 0640, &error))
            _exit(1);
        for (int i = 0; i < 3; i++) {
            struct ks_ledger_crash crash = {t0 + i, 500 + i, owner.uid, "/usr/bin/app", 11, "00000000000000ee",
                                            nullptr, false, 0, nullptr};
            if (!ks_ledger_add(l, &crash, KS_LEDGER_STORED, &id, &error))
                _exit(2);
        }
        (void) !write(written[1], "x", 1);
        (void) !read(done[0], &c, 1);
        ks_ledger_close(l);
        _exit(0);
    }
    close(written[1]);
    close(done[0]);
    char c;
    EXPECT_EQ(read(written[0], &c, 1), 1);
    close(written[0]);

    const std::string group = std::to_string(owner.gid);
    auto check = [&](const char *when) {
        SCOPED_TRACE(when);
        for (const auto &args : std::vector<std::vector<std::string>>{{"history", "-j"}, {"signatures", "-j"}}) {
            SCOPED_TRACE(args[0]);
            std::vector<std::string> argv = {KS_TEST_KESTREL, "-c", t.conf};
            argv.insert(argv.end(), args.begin(), args.end());
            // Root, who reads as the archive user, and the member.
            for (const auto &run : {argv, member.as(argv, group)}) {
                ks_test_result got = ks_test_run(run, {"TZ=UTC"});
                EXPECT_EQ(exit_code(got), 0) << got.err;
                EXPECT_EQ(lines(got.out).size(), args[0] == "history" ? 3u : 1u) << got.out;
            }
        }
    };
    check("while the owner has it open");
    close(done[1]);
    int status;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_EQ(ks_test_status_text(status), "exit 0");
    check("after the owner closed it");

    ASSERT_EQ(chmod((t.root + "/ledger.db").c_str(), 0600), 0);
    r = ks_test_run(member.as({KS_TEST_KESTREL, "-c", t.conf, "history"}, group));
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: cannot read the crash ledger: " + t.root + "/ledger.db: only its owner and the group " +
                         owner.name + " may read it\n");
    ks_test_result m = ks_test_run(member.as({KS_TEST_KESTREL, "-c", t.conf, "metrics"}, group));
    EXPECT_EQ(exit_code(m), 0);
    EXPECT_EQ(m.err, "");
    EXPECT_EQ(m.out.find("kestrel_ledger_"), std::string::npos);
}

} // namespace
