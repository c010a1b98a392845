#ifndef KS_TESTS_SUPPORT_H
#define KS_TESTS_SUPPORT_H

// Shared helpers of the tests: syslog capture, temporary directories, and
// running the real programs as child processes.

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct ks_test_log {
    int priority; // as passed to syslog, facility bits included
    std::string text;
};

struct ks_test_openlog {
    std::string ident;
    int option;
    int facility;
};

// Starts a fresh capture file for this process and every child it starts.
void ks_test_syslog_start(void);
std::string ks_test_syslog_path(void);
std::vector<ks_test_log> ks_test_syslog_read(void);
std::vector<ks_test_openlog> ks_test_syslog_openlogs(void);
// Whether a message with exactly this priority (LOG_PRI) and text was logged.
bool ks_test_syslog_has(int priority, const std::string &text);
// Every captured message, one per line, for assertion failure output.
std::string ks_test_syslog_dump(void);

// A temporary directory removed with its contents when it goes out of scope.
struct ks_test_dir {
    std::string path;
    ks_test_dir();
    ~ks_test_dir();
    ks_test_dir(const ks_test_dir &) = delete;
    ks_test_dir &operator=(const ks_test_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string ks_test_read_file(const std::string &path);
void ks_test_write_file(const std::string &path, const std::string &content);
bool ks_test_exists(const std::string &path);

struct ks_test_result {
    int status; // raw wait status; -1 when the program could not be run
    std::string out;
    std::string err;
};

// Runs a program to its end with the syslog shim preloaded, feeding input on
// its standard input. A program still running after timeout seconds is killed.
ks_test_result ks_test_run(const std::vector<std::string> &argv,
                           const std::vector<std::string> &env = {}, const std::string &input = "",
                           int timeout = 60);
// Environment for a child: ours, plus the shim, plus the given NAME=value entries.
std::vector<std::string> ks_test_environment(const std::vector<std::string> &extra = {});

// Starts a program in the background with the shim preloaded; its standard
// output and error go to the given files (empty: /dev/null).
pid_t ks_test_spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                    const std::string &out = "", const std::string &err = "");
// Sends SIGKILL if still running, then reaps; returns the wait status.
int ks_test_stop(pid_t pid);

// Polls the condition every few milliseconds until it holds or timeout_ms pass.
bool ks_test_wait_until(const std::function<bool()> &condition, int timeout_ms = 30000);

// Waits until the process that has this pid now ends: its entry is gone, it
// is a zombie, or the pid belongs to a later process (pids are reused
// quickly under load). True at once when there is no such process.
bool ks_test_process_ends(pid_t pid, int timeout_ms = 30000);

// A wait status in words: "exit 3", "signal 11", "signal 6 core".
std::string ks_test_status_text(int status);

// Code that never returns (the event loop) or must stay out of the test
// process runs in a forked child, which reports through a close-on-exec pipe
// and ends with _exit: _exit(0) once it has seen what it needs.
struct ks_test_child {
    pid_t pid = -1;
    int fd = -1;         // the read end of the report
    std::string pending; // read, not yet returned
    ks_test_child() = default;
    ks_test_child(ks_test_child &&other) noexcept;
    ks_test_child &operator=(ks_test_child &&) = delete;
    // A child not ended yet (an assertion returned early) is killed and reaped.
    ~ks_test_child();
};

// Runs body in a new child; a body that returns is reported as a failure.
ks_test_child ks_test_child_start(const std::function<void()> &body);
// The child's next line, "<eof>" at the end of its report, "<timeout>" when
// it stays silent for timeout_ms.
std::string ks_test_child_line(ks_test_child &child, int timeout_ms = 30000);
// The rest of the report once the child has ended, followed by a line
// "<exit N>" or "<signal N>" unless it ended with status 0. A child silent
// for timeout_ms is killed, after a line "<timeout>".
std::string ks_test_child_end(ks_test_child &child, int timeout_ms = 30000);
// ks_test_child_start, then ks_test_child_end.
std::string ks_test_run_child(const std::function<void()> &body);

// In such a child: add text, or formatted text, to the report.
void ks_test_report(const std::string &text);
__attribute__((format(printf, 1, 2))) void ks_test_say(const char *format, ...);
// Reports "FAIL line <line>: <what>" and ends the child with status 1.
[[noreturn]] void ks_test_child_fail(int line, const char *what);
#define KS_TEST_CHECK(c) ((c) ? (void) 0 : ks_test_child_fail(__LINE__, #c))
// Leaves no descriptor free under a limit of 64. Log messages go to the
// report through standard error, as the capture file would need one.
void ks_test_child_use_up_descriptors(void);

// Runs f in a child and returns what it returned, so that code which exits,
// changes credentials or mount namespaces stays out of the test process.
// A child that ends otherwise adds a line as ks_test_child_end does.
std::string ks_test_in_child(const std::function<std::string()> &f);

// Whether the tests run as root (some need it and skip themselves otherwise).
bool ks_test_is_root(void);
// Whether this process may make a private mount namespace and bind-mount in
// it (root without that capability, as in some containers, may not).
bool ks_test_can_mount(void);

// The kernel shows "CoreDumping: 1" in a process's status only while it
// writes its core, and the archiver reads nothing else of a process. For a
// stand-in process, a copy of its status that says so (written into
// scratch_dir) is bound over its own in a private mount namespace, where
// args then run. Needs root and ks_test_can_mount().
std::vector<std::string> ks_test_as_dumping(pid_t pid, const std::string &scratch_dir,
                                            const std::vector<std::string> &args);

// n bytes from a fixed seed, never a zero byte (so that no block of it can
// be taken for a hole).
std::string ks_test_random_bytes(size_t n, unsigned seed);
// The target of a symbolic link, or "" when it is none.
std::string ks_test_link_target(const std::string &path);
// Every key of a facts text with its value unescaped.
std::map<std::string, std::string> ks_test_facts(const std::string &text);

// A system user with a group of its own name, made for one test and removed
// with it (needs root). The name is the prefix and this process's id.
struct ks_test_user {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    bool made = false;
    explicit ks_test_user(const std::string &prefix);
    ~ks_test_user();
    ks_test_user(const ks_test_user &) = delete;
    ks_test_user &operator=(const ks_test_user &) = delete;
};

// Whether the user could open path with flags (0 when it could, else the
// errno), tried in a child that has become the user. Directories are opened
// with O_DIRECTORY added when flags ask for it.
int ks_test_open_as(uid_t uid, gid_t gid, const std::string &path, int flags);

#endif
