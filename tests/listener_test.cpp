#include "server/listener.h"

#include "support.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

// Tests that run the loop do so in a child process (ks_io_enter never
// returns), which reports through a pipe and ends with _exit.

namespace {

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

    KS_TEST_CHECK(fd != -1);
    address.sun_family = AF_UNIX;
    KS_TEST_CHECK(path.size() < sizeof address.sun_path);
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    auto *named = reinterpret_cast<struct sockaddr *>(&address);
    KS_TEST_CHECK(ks_io_connect(fd, named, sizeof address) == 0);
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

// In a child: a loop in g.io and a listener on the UNIX socket at path.
ks_listener *unix_listener_in_loop(const std::string &path)
{
    KS_TEST_CHECK(ks_io_init(&g.io, -1));
    ks_listener *listener = ks_listener_unix(path.c_str(), 5);
    KS_TEST_CHECK(listener != nullptr);
    return listener;
}

// Ends the child after the first pass, reporting how many were accepted.
void report_accepted_after_first_pass(void)
{
    ks_io_cb_add(g.io, +[](ks_io_t *) {
        ks_test_say("accepted %d\n", g.accepted);
        _exit(0);
    });
}

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

    std::string out = ks_test_run_child([&] {
        ks_listener *listener = unix_listener_in_loop(path);
        g.closure = 42;
        KS_TEST_CHECK(ks_listen(g.io, listener, 0,
                                +[](int fd, void *closure) {
                                    KS_TEST_CHECK(closure == &g.closure);
                                    KS_TEST_CHECK(nonblocking(fd) && cloexec(fd));
                                    g.accepted++;
                                },
                                &g.closure));
        for (int i = 0; i < 3; i++)
            unix_connect(path);
        report_accepted_after_first_pass();
        ks_io_enter(g.io);
    });
    EXPECT_EQ(out, "accepted 3\n");
}

TEST(ListenerUnix, ListeningTwiceFailsWithAMessage)
{
    ks_test_dir dir;
    std::string path = dir / "socket";

    ks_test_syslog_start();
    // In a child: the first accept event lives for good.
    std::string out = ks_test_run_child([&] {
        ks_listener *listener = unix_listener_in_loop(path);
        auto ignore = +[](int fd, void *) { close(fd); };
        KS_TEST_CHECK(ks_listen(g.io, listener, 0, ignore, nullptr));
        KS_TEST_CHECK(!ks_listen(g.io, listener, 0, ignore, nullptr));
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

    std::string out = ks_test_run_child([&] {
        ks_listener *listener = unix_listener_in_loop(path);
        KS_TEST_CHECK(ks_listen(g.io, listener, 0, +[](int, void *) { g.accepted++; }, nullptr));
        unix_connect(path);
        unix_connect(path);
        // No descriptor left for accept; its log reaches the report.
        ks_test_child_use_up_descriptors();
        report_accepted_after_first_pass();
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
    std::string out = ks_test_run_child([] {
        KS_TEST_CHECK(ks_io_init(&g.io, -1));
        static int index[2] = {0, 1};
        for (int i = 0; i < 2; i++) {
            ks_listener *listener = ks_listener_tcp("127.0.0.1", "0", 5);
            KS_TEST_CHECK(listener != nullptr);
            auto prepared = +[](int fd, void *closure) {
                int i = *static_cast<int *>(closure);
                g.report[i] = std::to_string(nonblocking(fd)) + " " + std::to_string(cloexec(fd)) +
                              " " + std::to_string(option(fd, IPPROTO_TCP, TCP_NODELAY));
                if (i == 0)
                    g.report[i] += " " + std::to_string(option(fd, SOL_SOCKET, SO_KEEPALIVE));
                g.accepted++;
            };
            int workload = i == 0 ? KS_IO_WORKLOAD_DEFER_ACCEPT : 0;
            KS_TEST_CHECK(ks_listen(g.io, listener, workload, prepared, &index[i]));
            struct sockaddr_in address = {};
            socklen_t length = sizeof address;
            auto *named = reinterpret_cast<struct sockaddr *>(&address);
            KS_TEST_CHECK(getsockname(ks_listener_fd(listener), named, &length) == 0);
            int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            KS_TEST_CHECK(client != -1);
            KS_TEST_CHECK(connect(client, named, length) == 0);
            // The listening socket defers accepting until data arrives.
            KS_TEST_CHECK(write(client, "x", 1) == 1);
        }
        ks_io_cb_add(g.io, +[](ks_io_t *) {
            if (g.accepted == 2) {
                ks_test_say("%s\n%s\n", g.report[0].c_str(), g.report[1].c_str());
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
