#ifndef KS_TESTS_CLIENT_SUPPORT_H
#define KS_TESTS_CLIENT_SUPPORT_H

// What the client's tests share: archive trees in temporary directories,
// assets from our own writer, a stand-in for gdb, and users made for one
// test.

#include "common/ledger.h"
#include "common/tar.h"
#include "support.h"

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

inline const char *const client_directories[] = {
    "staging", "pending", "sending", "assets", "failed", "failed/pending", "failed/sending", "committed",
    "committed/coredump", "committed/snapshot",
};

inline int exit_code(const ks_test_result &r) { return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1; }

inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream in(text);

    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

// ctime's text of a file's status-change time, for a child run with TZ=UTC.
inline std::string when(const std::string &path)
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

    // archive: more lines for the [archive] block (dump.user, dump.group).
    explicit tree(bool create = true, const std::string &daemon = "snapshot.command = /bin/true %c\n"
                                                                  "send.command = /bin/true %S\n",
                  const std::string &archive = "")
    {
        ks_test_write_file(conf, "[archive]\ndump.root = " + root + "\n" + archive + "[daemon]\n" + daemon);
        if (!create)
            return;
        mkdir(root.c_str(), 0755);
        for (const char *d : client_directories)
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

    ks_test_result kestrel(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) const
    {
        std::vector<std::string> argv = {KS_TEST_KESTREL, "-c", conf};
        std::vector<std::string> environment = {"TZ=UTC"};
        argv.insert(argv.end(), args.begin(), args.end());
        environment.insert(environment.end(), env.begin(), env.end());
        return ks_test_run(argv, environment);
    }
};

// An asset written by our own writer: a file entry, then the executable link.
inline void asset_own(const std::string &path, const std::string &executable)
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

struct member {
    std::string name;
    std::string content; // file data, or the link target
    bool link;
};

// An asset with these entries, from our own writer.
inline void asset_members(const std::string &path, const std::vector<member> &members)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_NE(fd, -1);
    ks_tar_t *tar = ks_tar_fdopen(fd);
    for (const member &m : members) {
        if (m.link) {
            ASSERT_TRUE(ks_tar_symlink(tar, m.name.c_str(), m.content.c_str(), time(nullptr)));
            continue;
        }
        ks_tar_begin(tar, m.name.c_str(), static_cast<unsigned int>(m.name.size()));
        ASSERT_TRUE(ks_tar_metadata_commit(tar)) << ks_tar_error(tar);
        ASSERT_EQ(write(fd, m.content.data(), m.content.size()), static_cast<ssize_t>(m.content.size()));
        ASSERT_TRUE(ks_tar_end(tar, m.content.size())) << ks_tar_error(tar);
    }
    ASSERT_TRUE(ks_tar_commit(tar));
    ks_tar_destroy(tar);
    close(fd);
}

// One row of a crash ledger, as an archiver would have written it; empty
// texts are unknown.
struct ledger_row {
    time_t when;
    pid_t pid;
    uid_t uid;
    std::string executable;
    int signal;
    std::string signature;
    ks_ledger_outcome outcome;
    std::string name;
    std::string module;
    bool has_offset;
    uint64_t offset;
};

// Adds the rows to the ledger at root, making it when there is none, with
// the ledger's own writer.
inline void ledger_fill(const std::string &root, const std::vector<ledger_row> &rows)
{
    struct ks_ledger *ledger;
    const char *error = "";
    int64_t id;

    ASSERT_TRUE(ks_ledger_open(&ledger, root.c_str(), 0640, &error)) << error;
    auto text = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
    for (const ledger_row &r : rows) {
        struct ks_ledger_crash c = {r.when, r.pid, r.uid, text(r.executable), r.signal, text(r.signature),
                                    text(r.module), r.has_offset, r.offset, text(r.name)};
        EXPECT_TRUE(ks_ledger_add(ledger, &c, r.outcome, &id, &error)) << error;
    }
    ks_ledger_close(ledger);
}

// A stand-in for gdb that records its parent, its user, its groups and its
// arguments, NUL after each, copies every file it is given as
// /proc/self/fd/N into record.N, and ends with status 7.
struct fake_gdb {
    ks_test_dir dir;
    std::string record = dir / "record";

    fake_gdb()
    {
        ks_test_write_file(dir / "gdb", "#!/bin/sh\n"
                                        "PATH=/usr/bin:/bin\n"
                                        "{ printf '%s\\0' \"$PPID\" \"$(id -u)\" \"$(id -G)\"; printf '%s\\0' \"$@\"; } > '" +
                                            record + "'\n"
                                                     "for a; do case $a in /proc/self/fd/*) cat \"$a\" > '" +
                                            record + "'.\"${a##*/}\";; esac; done\n"
                                                     "exit 7\n");
        chmod((dir / "gdb").c_str(), 0755);
        chmod(dir.path.c_str(), 0755);
    }

    // Parent, user, groups, then the arguments.
    std::vector<std::string> arguments() const
    {
        std::vector<std::string> args;
        std::string text = ks_test_read_file(record);
        for (size_t start = 0, nul; (nul = text.find('\0', start)) != std::string::npos; start = nul + 1)
            args.push_back(text.substr(start, nul - start));
        return args;
    }

    // What gdb read through /proc/self/fd/N.
    std::string given(const std::string &argument) const
    {
        size_t slash = argument.rfind('/');
        return ks_test_read_file(record + "." + argument.substr(slash + 1));
    }
};

inline ks_test_result debug(const tree &t, const std::string &path, const std::vector<std::string> &args,
                            const std::vector<std::string> &env = {})
{
    std::vector<std::string> argv = {KS_TEST_KESTREL, "-c", t.conf, "debug"};
    std::vector<std::string> environment = {"PATH=" + path};
    argv.insert(argv.end(), args.begin(), args.end());
    environment.insert(environment.end(), env.begin(), env.end());
    return ks_test_run(argv, environment);
}

// A system user with its own group, made for one test and removed on every
// way out of it; its name is unique to this process. Users are made and
// removed under the machine's global lock, which another job may hold for
// minutes: a test that cannot have it in time skips itself (busy).
struct test_user {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    bool made = false;
    bool busy = false;

    explicit test_user(const std::string &word) : name("kstest-" + word + "-" + std::to_string(getpid()))
    {
        ks_test_result r;
        // The user database's own lock may be held a moment by anyone.
        made = ks_test_wait_until([&] {
            r = ks_test_run({"/usr/bin/flock", "-E", "75", "-w", "100", "/tmp/kestrel-global.lock", "/usr/sbin/useradd",
                             "--system", "--user-group", "--no-create-home", "--shell", "/usr/sbin/nologin", name},
                            {}, "", 110);
            busy = exit_code(r) == 75;
            return exit_code(r) == 0 || busy;
        }, 10000) && !busy;
        if (!made && !busy)
            ADD_FAILURE() << "useradd " << name << ": " << r.err;
        struct passwd *pw = made ? getpwnam(name.c_str()) : nullptr;
        if (pw != nullptr) {
            uid = pw->pw_uid;
            gid = pw->pw_gid;
        }
        made = pw != nullptr;
    }
    ~test_user()
    {
        if (!made)
            return;
        ks_test_result r = ks_test_run({"/usr/bin/flock", "-w", "250", "/tmp/kestrel-global.lock", "/usr/sbin/userdel", name},
                                       {}, "", 260);
        if (exit_code(r) != 0)
            ADD_FAILURE() << "userdel " << name << " failed; remove it by hand: " << r.err;
    }
    test_user(const test_user &) = delete;
    test_user &operator=(const test_user &) = delete;

    // The command line that runs argv as this user, with only its own group
    // or with these groups.
    std::vector<std::string> as(const std::vector<std::string> &argv, const std::string &groups = "") const
    {
        std::vector<std::string> all = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                                        "--regid=" + std::to_string(gid)};
        all.push_back(groups.empty() ? "--clear-groups" : "--groups=" + groups);
        all.insert(all.end(), argv.begin(), argv.end());
        return all;
    }
};

#endif
