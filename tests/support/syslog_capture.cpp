// Stands in for the C library's syslog family, since no syslog daemon runs
// where the tests do. Linked into test binaries it replaces syslog in-process;
// built as a shared library it is preloaded into the real programs.
//
// Every call appends one record to the file named by KS_TEST_SYSLOG, in one
// write so that records of concurrent processes never interleave:
//   "M <priority> <length>\n<text>\n"             a message
//   "O <option> <facility> <length>\n<ident>\n"   an openlog call
// Without KS_TEST_SYSLOG, messages go to standard error for debugging.
// openlog's LOG_PERROR and setlogmask are not imitated: every message is
// captured whatever the level, and none goes to standard error. Tests of
// the level and of LOG_PERROR run the daemon without the stand-in and read
// its standard error.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static void append_record(const char *header, const char *body, size_t length)
{
    const char *path = getenv("KS_TEST_SYSLOG");
    size_t header_length = strlen(header);
    size_t total = header_length + length + 1;
    char *record = static_cast<char *>(malloc(total));
    int saved = errno;

    if (record == nullptr)
        return;
    memcpy(record, header, header_length);
    memcpy(record + header_length, body, length);
    record[total - 1] = '\n';

    int fd = path != nullptr ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : 2;
    if (fd != -1) {
        ssize_t ignored = write(fd, record, total);
        (void)ignored;
        if (fd != 2)
            close(fd);
    }
    free(record);
    errno = saved;
}

static void capture(int priority, const char *format, va_list ap)
{
    char *text = nullptr;
    char header[64];

    int length = vasprintf(&text, format, ap);
    if (length < 0)
        return;
    snprintf(header, sizeof header, "M %d %d\n", priority, length);
    append_record(header, text, static_cast<size_t>(length));
    free(text);
}

// With KS_TEST_SYSLOG_ALONE set, the stand-in stays with the process it was
// preloaded into, and the programs that process starts run without it.
__attribute__((constructor)) static void preload_alone(void)
{
    if (getenv("KS_TEST_SYSLOG_ALONE") == nullptr)
        return;
    unsetenv("KS_TEST_SYSLOG_ALONE");
    unsetenv("LD_PRELOAD");
}

extern "C" {

void openlog(const char *ident, int option, int facility)
{
    char header[64];
    const char *name = ident != nullptr ? ident : "";

    snprintf(header, sizeof header, "O %d %d %zu\n", option, facility, strlen(name));
    append_record(header, name, strlen(name));
}

void closelog(void) {}

void vsyslog(int priority, const char *format, va_list ap) { capture(priority, format, ap); }

void syslog(int priority, const char *format, ...)
{
    va_list ap;

    va_start(ap, format);
    capture(priority, format, ap);
    va_end(ap);
}

// Fortified builds call these instead.
void __vsyslog_chk(int priority, int, const char *format, va_list ap)
{
    capture(priority, format, ap);
}

void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list ap;

    va_start(ap, format);
    capture(priority, format, ap);
    va_end(ap);
}
}
