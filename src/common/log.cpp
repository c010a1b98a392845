#include "common/log.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

static struct {
    int mask;         // setlogmask's; 0 until a level is chosen
    char ident[32];   // "kestrel[<pid>]": syslog keeps the pointer
} state;

void ks_log(int level, const char *format, ...)
{
    va_list ap;

    va_start(ap, format);
    vsyslog(level, format, ap);
    va_end(ap);
}

void ks_perror(const char *format, ...)
{
    char buffer[1024];
    int saved = errno;
    va_list ap;

    va_start(ap, format);
    int length = vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    if (length < 0)
        return;

    if (static_cast<size_t>(length) < sizeof buffer)
        snprintf(buffer + length, sizeof buffer - length, ": %s", strerror(saved));
    buffer[sizeof buffer - 1] = '\0';
    syslog(LOG_ERR, "%s", buffer);
    errno = saved;
}

int ks_vfprintf(FILE *file, const char *format, va_list ap)
{
    va_list copy;

    va_copy(copy, ap);
    int length = vsnprintf(nullptr, 0, format, ap);
    if (length < 0) {
        va_end(copy);
        return -1;
    }

    int written = vfprintf(file, format, copy);
    va_end(copy);
    return written < length ? -1 : length;
}

int ks_fprintf(FILE *file, const char *format, ...)
{
    va_list ap;

    va_start(ap, format);
    int result = ks_vfprintf(file, format, ap);
    va_end(ap);
    return result;
}

void ks_log_level_set(int priority)
{
    state.mask = LOG_UPTO(priority);
    (void) setlogmask(state.mask);
}

bool ks_log_wants(int priority)
{
    return state.mask == 0 || (LOG_MASK(LOG_PRI(priority)) & state.mask) != 0;
}

void ks_log_open(bool to_stderr)
{
    snprintf(state.ident, sizeof state.ident, "kestrel[%ld]", static_cast<long>(getpid()));
    openlog(state.ident, to_stderr ? LOG_PERROR : 0, LOG_DAEMON);
}
