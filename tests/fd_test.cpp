#include "common/fd.h"
#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile sig_atomic_t interruptions;

static void count_signal(int) { interruptions = interruptions + 1; }

// SIGUSR1 interrupts blocking calls (no SA_RESTART) for the duration of a test.
struct interrupting_signal {
    struct sigaction previous;
    interrupting_signal()
    {
        struct sigaction sa = {};
        sa.sa_handler = count_signal;
        sigaction(SIGUSR1, &sa, &previous);
        interruptions = 0;
    }
    ~interrupting_signal() { sigaction(SIGUSR1, &previous, nullptr); }
};

// Whether pid sleeps in the kernel in a function whose name holds what.
static bool blocked_in(pid_t pid, const char *what)
{
    std::string wchan = ks_test_read_file("/proc/" + std::to_string(pid) + "/wchan");
    if (wchan.empty() || wchan == "0") {
        std::string stat = ks_test_read_file("/proc/" + std::to_string(pid) + "/stat");
        return stat.find(") S ") != std::string::npos;
    }
    return wchan.find(what) != std::string::npos;
}

TEST(FdTransfer, ReadStopsAtEndOfFile)
{
    int p[2];
    char buffer[100];

    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "0123456789", 10), 10);
    close(p[1]);
    EXPECT_EQ(ks_fd_read(p[0], buffer, sizeof buffer), 10);
    EXPECT_EQ(memcmp(buffer, "0123456789", 10), 0);
    EXPECT_EQ(ks_fd_read(p[0], buffer, sizeof buffer), 0);
    EXPECT_EQ(ks_fd_read(p[0], buffer, 0), 0);
    close(p[0]);

    errno = 0;
    EXPECT_EQ(ks_fd_read(-1, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(FdTransfer, NonBlockingWritesReturnThePartWritten)
{
    int p[2];
    std::string data(1 << 20, 'x');

    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    ssize_t written = ks_fd_write(p[1], data.data(), data.size());
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<ssize_t>(data.size()));

    errno = 0;
    EXPECT_EQ(ks_fd_write(p[1], data.data(), data.size()), -1);
    EXPECT_EQ(errno, EAGAIN);

    // The reader sees exactly what was reported as written.
    std::string drained(data.size(), '\0');
    EXPECT_EQ(ks_fd_read(p[0], drained.data(), drained.size()), written);
    close(p[0]);
    close(p[1]);
}

TEST(FdTransfer, ReadSurvivesASignalMidway)
{
    interrupting_signal sig;
    int p[2];
    char buffer[100];

    ASSERT_EQ(pipe(p), 0);
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        close(p[0]);
        if (write(p[1], "01234", 5) != 5)
            _exit(1);
        ks_test_wait_until([&] { return blocked_in(parent, "pipe_read"); });
        kill(parent, SIGUSR1);
        ks_test_wait_until([&] { return blocked_in(parent, "pipe_read"); });
        if (write(p[1], "56789", 5) != 5)
            _exit(1);
        _exit(0);
    }
    close(p[1]);
    EXPECT_EQ(ks_fd_read(p[0], buffer, sizeof buffer), 10);
    EXPECT_EQ(memcmp(buffer, "0123456789", 10), 0);
    EXPECT_GE(interruptions, 1);
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    close(p[0]);
}

TEST(FdTransfer, WriteSurvivesASignalMidway)
{
    interrupting_signal sig;
    int p[2];
    std::string data(256 * 1024, 'w');

    ASSERT_EQ(pipe(p), 0);
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        close(p[1]);
        ks_test_wait_until([&] { return blocked_in(parent, "pipe_write"); });
        kill(parent, SIGUSR1);
        char buffer[4096];
        size_t total = 0;
        ssize_t n;
        while ((n = read(p[0], buffer, sizeof buffer)) > 0)
            total += static_cast<size_t>(n);
        _exit(total == 256 * 1024 ? 0 : 1);
    }
    close(p[0]);
    EXPECT_EQ(ks_fd_write(p[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    EXPECT_GE(interruptions, 1);
    close(p[1]);
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST(FdTransfer, PositionedWritesLeaveThePositionAlone)
{
    ks_test_dir dir;
    int fd = open((dir / "f").c_str(), O_RDWR | O_CREAT, 0600);

    ASSERT_NE(fd, -1);
    ASSERT_EQ(ks_fd_write(fd, "abc", 3), 3);
    ASSERT_EQ(ks_fd_pwrite(fd, "XYZ", 3, 10), 3);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
    ASSERT_EQ(ks_fd_write(fd, "d", 1), 1);
    close(fd);
    EXPECT_EQ(ks_test_read_file(dir / "f"), std::string("abcd\0\0\0\0\0\0XYZ", 13));
}

TEST(FdHelpers, UtimeDup2AndClose)
{
    ks_test_dir dir;
    int fd = open((dir / "f").c_str(), O_RDWR | O_CREAT, 0600);
    struct stat st;

    ASSERT_NE(fd, -1);
    ASSERT_TRUE(ks_fd_utime(fd, 1000000000));
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_GE(st.st_atime, time(nullptr) - 60);

    int copy = ks_fd_dup2(fd, 100);
    EXPECT_EQ(copy, 100);
    ks_fd_close(fd);
    ks_fd_close(copy);
    EXPECT_EQ(fcntl(copy, F_GETFD), -1);
    EXPECT_FALSE(ks_fd_utime(copy, 0));
}
