#include "server/listener.h"

#include "common/fd.h"
#include "support.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

// Tests that run the loop do so in a child process (ks_io_enter never
// returns), which reports through a pipe and ends with _exit.

namespace {

int report_fd = -1;

__attribute__((format(printf, 1, 2))) void say(const char *format, ...)
{
    char line[512];
    va_list ap;

    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n > 0)
        (void) ks_fd_write(report_fd, line, std::min<size_t>(n, sizeof line - 1));
}

[[noreturn]] void child_fail(int line, const char *what)
{
    say("FAIL line %d: %s\n", line, what);
    _exit(1);
}

#define CHECK(c) ((c) ? (void) 0 : child_fail(__LINE__, #c))

// Everything the child wrote, with a note when it did not end cleanly.
std::string run_child(const std::function<void()> &body)
{
    int p[2];
    std::string out;
    int status = 0;

    if (pipe2(p, O_CLOEXEC) == -1)
        return "<pipe>";
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        report_fd = p[1];
        body();
        say("FAIL: the body returned\n");
        _exit(2);
    }
    close(p[1]);
    for (;;) {
        struct pollfd waiting = {p[0], POLLIN, 0};
        char buffer[4096];
        if (poll(&waiting, 1, 30000) != 1) {
            out += "<timeout>\n";
            kill(pid, SIGKILL);
            break;
        }
        ssize_t n = read(p[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    close(p[0]);
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out += "<status " + std::to_string(status) + ">\n";
    return out;
}

int option(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;

    if (getsockopt(fd, level, name, &value, &length) == -1)
        return -1;
    return value;
}

bool nonblocking(int fd) { return fcntl(fd, F_GETFL) & O_NONBLOCK; }
bool cloexec(int fd) { return fcntl(fd, F_GETFD) & FD_CLOEXEC; }

int unix_connect(const std::string &path)
{
    struct sockaddr_un address = {};
    int fd = ks_io_socket(0, AF_UNIX, SOCK_STREAM, 0);

    CHECK(fd != -1);
    address.sun_family = AF_UNIX;
    CHECK(path.size() < sizeof address.sun_path);
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    CHECK(ks_io_connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0);
    return fd;
}

// A path of exactly length characters inside dir, or "" when dir is too long.
std::string path_of_length(const ks_test_dir &dir, size_t length)
{
    std::string prefix = dir.path + "/";

    if (prefix.size() + 1 > length)
        return "";
    return prefix + std::string(length - prefix.size(), 's');
}

// Listeners have no release operation; the tests take theirs apart.
void release_listener(ks_listener *listener)
{
    ks_io_fd_close(listener->fd);
    if (listener->protocol == KS_LISTENER_UNIX)
        free(listener->pd.local.path);
    free(listener);
}

struct {
    ks_io_t *io;
    int accepted;
    int closure;
    std::string report[2];
} g;

} // namespace

TEST(ListenerUnix, RelativePathIsRefusedSilently)
{
    ks_test_syslog_start();
    EXPECT_EQ(ks_listener_unix("relative/socket", 5), nullptr);
    EXPECT_EQ(ks_test_syslog_dump(), "");
}

TEST(ListenerUnix, PathOf107CharactersIsAcceptedAnd108Refused)
{
    ks_test_dir dir;
    std::string fits = path_of_length(dir, 107), over = path_of_length(dir, 108);

    if (fits.empty())
        GTEST_SKIP() << "temporary directory path too long";
    ks_test_syslog_start();
    ks_listener *listener = ks_listener_unix(fits.c_str(), 5);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->protocol, KS_LISTENER_UNIX);
    EXPECT_EQ(std::string(listener->pd.local.path), fits);
    int fd = ks_listener_fd(listener);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
    EXPECT_TRUE(nonblocking(fd));
    EXPECT_TRUE(cloexec(fd));
    struct sockaddr_un bound = {};
    socklen_t length = sizeof bound;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr *>(&bound), &length), 0);
    EXPECT_EQ(std::string(bound.sun_path), fits);

    EXPECT_EQ(ks_listener_unix(over.c_str(), 5), nullptr);
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "[" + over + "] UNIX socket path is too long.\n"))
        << ks_test_syslog_dump();
    EXPECT_FALSE(ks_test_exists(over));
    release_listener(listener);
}

TEST(ListenerUnix, StaleSocketFileIsReplaced)
{
    ks_test_dir dir;
    std::string path = dir / "socket";
    struct sockaddr_un address = {};

    // A socket file whose socket is gone.
    int stale = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_NE(stale, -1);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
    close(stale);

    ks_listener *listener = ks_listener_unix(path.c_str(), 5);
    ASSERT_NE(listener, nullptr);
    int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
    int accepted = accept4(ks_listener_fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_NE(accepted, -1);
    close(accepted);
    close(client);
    release_listener(listener);
}

TEST(ListenerUnix, OtherFileAtThePathIsKept)
{
    ks_test_dir dir;
    std::string path = dir / "data";

    ks_test_write_file(path, "precious");
    ks_test_syslog_start();
    EXPECT_EQ(ks_listener_unix(path.c_str(), 5), nullptr);
    EXPECT_EQ(ks_test_read_file(path), "precious");
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "unlink: File exists")) << ks_test_syslog_dump();
}

TEST(ListenerUnix, ConnectionsWaitingBeforeTheLoopAreAllAcceptedInOneReport)
{
    ks_test_dir dir;
    std::string path = dir / "socket";

    std::string out = run_child([&] {
        CHECK(ks_io_init(&g.io, -1));
        ks_listener *listener = ks_listener_unix(path.c_str(), 5);
        CHECK(listener != nullptr);
        g.closure = 42;
        CHECK(ks_listen(g.io, listener, 0,
                        +[](int fd, void *closure) {
                            CHECK(closure == &g.closure);
                            CHECK(nonblocking(fd) && cloexec(fd));
                            g.accepted++;
                        },
                        &g.closure));
        for (int i = 0; i < 3; i++)
            unix_connect(path);
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            say("%d\n", g.accepted);
            _exit(0);
        });
        ks_io_enter(g.io);
    });
    EXPECT_EQ(out, "3\n");
}

TEST(ListenerUnix, ListeningTwiceFailsWithAMessage)
{
    ks_test_dir dir;
    std::string path = dir / "socket";

    ks_test_syslog_start();
    // In a child: the first accept event lives for good.
    std::string out = run_child([&] {
        CHECK(ks_io_init(&g.io, -1));
        ks_listener *listener = ks_listener_unix(path.c_str(), 5);
        CHECK(listener != nullptr);
        auto ignore = +[](int fd, void *) { close(fd); };
        CHECK(ks_listen(g.io, listener, 0, ignore, nullptr));
        CHECK(!ks_listen(g.io, listener, 0, ignore, nullptr));
        _exit(0);
    });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(ks_test_syslog_has(LOG_ERR, "ks_io_event_add: File exists"))
        << ks_test_syslog_dump();
}

TEST(ListenerUnix, AcceptFailureEndsThePassWithAMessage)
{
    ks_test_dir dir;
    std::string path = dir / "socket";

    std::string out = run_child([&] {
        CHECK(ks_io_init(&g.io, -1));
        ks_listener *listener = ks_listener_unix(path.c_str(), 5);
        CHECK(listener != nullptr);
        CHECK(ks_listen(g.io, listener, 0, +[](int, void *) { g.accepted++; }, nullptr));
        unix_connect(path);
        unix_connect(path);
        // No descriptor left for accept; the log goes to the report
        // through standard error, as it cannot open a file either.
        unsetenv("KS_TEST_SYSLOG");
        CHECK(dup2(report_fd, 2) == 2);
        struct rlimit low = {64, 64};
        CHECK(setrlimit(RLIMIT_NOFILE, &low) == 0);
        while (dup(0) != -1)
            ;
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            say("accepted %d\n", g.accepted);
            _exit(0);
        });
        ks_io_enter(g.io);
    });
    EXPECT_NE(out.find("\naccept: Too many open files\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("accept: Too many open files"), out.rfind("accept: Too many open files"))
        << out;
    EXPECT_NE(out.find("accepted 0\n"), std::string::npos) << out;
}

TEST(ListenerTcp, ListensOnTheFirstResolvedAddressOnly)
{
    struct addrinfo hints = {}, *result = nullptr;

    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    ASSERT_EQ(getaddrinfo("localhost", "0", &hints, &result), 0);
    int family = result->ai_family;
    freeaddrinfo(result);

    ks_listener *listener = ks_listener_tcp("localhost", "0", 5);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->protocol, KS_LISTENER_TCP);
    EXPECT_EQ(listener->pd.tcp.address, nullptr);
    int fd = ks_listener_fd(listener);
    struct sockaddr_storage bound = {};
    socklen_t length = sizeof bound;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr *>(&bound), &length), 0);
    EXPECT_EQ(bound.ss_family, family);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_GE(option(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT), 1);
    EXPECT_TRUE(nonblocking(fd));
    EXPECT_TRUE(cloexec(fd));
    release_listener(listener);
}

TEST(ListenerTcp, UnresolvableServiceGivesNullWithoutAMessage)
{
    ks_test_syslog_start();
    EXPECT_EQ(ks_listener_tcp("127.0.0.1", "no-such-service-here", 5), nullptr);
    EXPECT_EQ(ks_test_syslog_dump(), "");
}

TEST(ListenerTcp, AcceptedConnectionsArePrepared)
{
    // Listener 0 with the deferred-accept workload, listener 1 without.
    std::string out = run_child([] {
        CHECK(ks_io_init(&g.io, -1));
        static int index[2] = {0, 1};
        for (int i = 0; i < 2; i++) {
            ks_listener *listener = ks_listener_tcp("127.0.0.1", "0", 5);
            CHECK(listener != nullptr);
            CHECK(ks_listen(g.io, listener, i == 0 ? KS_IO_WORKLOAD_DEFER_ACCEPT : 0,
                            +[](int fd, void *closure) {
                                int i = *static_cast<int *>(closure);
                                g.report[i] = std::to_string(nonblocking(fd)) + " " +
                                              std::to_string(cloexec(fd)) + " " +
                                              std::to_string(option(fd, IPPROTO_TCP, TCP_NODELAY));
                                if (i == 0)
                                    g.report[i] += " " + std::to_string(option(fd, SOL_SOCKET,
                                                                               SO_KEEPALIVE));
                                g.accepted++;
                            },
                            &index[i]));
            struct sockaddr_in address = {};
            socklen_t length = sizeof address;
            auto *named = reinterpret_cast<struct sockaddr *>(&address);
            CHECK(getsockname(ks_listener_fd(listener), named, &length) == 0);
            int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            CHECK(client != -1);
            CHECK(connect(client, reinterpret_cast<struct sockaddr *>(&address), length) == 0);
            // The listening socket defers accepting until data arrives.
            CHECK(write(client, "x", 1) == 1);
        }
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            if (g.accepted == 2) {
                say("%s\n%s\n", g.report[0].c_str(), g.report[1].c_str());
                _exit(0);
            }
        });
        ks_io_enter(g.io);
    });
    EXPECT_EQ(out, "1 1 1 1\n1 1 1\n");
}

TEST(IoSocket, HelpersPrepareTheirSockets)
{
    int fd = ks_io_socket(0, AF_UNIX, SOCK_STREAM, 0);
    ASSERT_NE(fd, -1);
    EXPECT_TRUE(nonblocking(fd));
    EXPECT_TRUE(cloexec(fd));

    struct sockaddr_un missing = {};
    missing.sun_family = AF_UNIX;
    strcpy(missing.sun_path, "/nonexistent/kestrel/socket");
    errno = 0;
    EXPECT_EQ(ks_io_connect(fd, reinterpret_cast<struct sockaddr *>(&missing), sizeof missing), -1);
    EXPECT_EQ(errno, ENOENT);
    close(fd);

    fd = ks_io_socket(KS_IO_WORKLOAD_DEFER_ACCEPT, AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_TRUE(cloexec(fd));
    close(fd);

    fd = ks_io_socket(0, AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
    close(fd);

    EXPECT_EQ(ks_io_socket(0, -1, SOCK_STREAM, 0), -1);

    // TCP options on a datagram socket: the preparation fails and says why.
    ks_test_syslog_start();
    EXPECT_EQ(ks_io_socket(0, AF_INET, SOCK_DGRAM, 0), -1);
    bool logged = false;
    for (const auto &log : ks_test_syslog_read())
        logged |= log.text.starts_with("setsockopt(TCP_NODELAY): ");
    EXPECT_TRUE(logged) << ks_test_syslog_dump();
}
