#ifndef KS_COMMON_FD_H
#define KS_COMMON_FD_H

#include <ctime>
#include <sys/types.h>

// dup2 and close, repeated while interrupted by a signal.
int ks_fd_dup2(int a, int b);
void ks_fd_close(int fd);

// Sets the access time to now and the modification time to tm.
bool ks_fd_utime(int fd, time_t tm);

// Transfer all of length bytes. A zero-byte transfer ends early with the
// count so far; EAGAIN after a partial transfer returns the partial count;
// any other failure returns -1 with errno as the failing call left it.
ssize_t ks_fd_write(int fd, const void *buffer, size_t length);
ssize_t ks_fd_pwrite(int fd, const void *buffer, size_t length, off_t offset);
ssize_t ks_fd_read(int fd, void *buffer, size_t length);

#endif
