#include "common/fd.h"

#include <cerrno>
#include <sys/time.h>
#include <unistd.h>

int ks_fd_dup2(int a, int b)
{
    int r;

    do
        r = dup2(a, b);
    while (r == -1 && errno == EINTR);
    return r;
}

void ks_fd_close(int fd)
{
    while (close(fd) == -1 && errno == EINTR)
        ;
}

bool ks_fd_utime(int fd, time_t tm)
{
    struct timeval tv[2] = {{time(nullptr), 0}, {tm, 0}};

    return futimes(fd, tv) == 0;
}

// Shared loop of the three transfers; step moves at most n bytes at offset d.
template <typename Step> static ssize_t transfer(size_t length, Step step)
{
    size_t d = 0;

    for (;;) {
        ssize_t r = step(d, length - d);
        if (r == 0)
            return static_cast<ssize_t>(d);
        if (r > 0) {
            d += static_cast<size_t>(r);
            if (d == length)
                return static_cast<ssize_t>(d);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (d == 0)
            return -1;
        return errno == EAGAIN ? static_cast<ssize_t>(d) : -1;
    }
}

ssize_t ks_fd_write(int fd, const void *buffer, size_t length)
{
    const char *p = static_cast<const char *>(buffer);

    return transfer(length, [&](size_t d, size_t n) { return write(fd, p + d, n); });
}

ssize_t ks_fd_pwrite(int fd, const void *buffer, size_t length, off_t offset)
{
    const char *p = static_cast<const char *>(buffer);

    return transfer(length, [&](size_t d, size_t n) {
        return pwrite(fd, p + d, n, offset + static_cast<off_t>(d));
    });
}

ssize_t ks_fd_read(int fd, void *buffer, size_t length)
{
    char *p = static_cast<char *>(buffer);

    return transfer(length, [&](size_t d, size_t n) { return read(fd, p + d, n); });
}
