#ifndef KS_TESTS_SUPPORT_H
#define KS_TESTS_SUPPORT_H

// Shared helpers of the tests: syslog capture, temporary directories, and
// running the real programs as child processes.

#include <functional>
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

// Runs f in a forked child and returns what it returned, so that code which
// exits, changes credentials or mount namespaces stays out of the test process.
// A child that ends without returning gives "exit <status>" or "signal <n>".
std::string ks_test_in_child(const std::function<std::string()> &f);

// Whether the tests run as root (some need it and skip themselves otherwise).
bool ks_test_is_root(void);
// Whether this process may make a private mount namespace and bind-mount in
// it (root without that capability, as in some containers, may not).
bool ks_test_can_mount(void);

#endif
