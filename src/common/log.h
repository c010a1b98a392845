#ifndef KS_COMMON_LOG_H
#define KS_COMMON_LOG_H

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

// Logs through the syslog connection opened by ks_cf_init.
void ks_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Logs the formatted text, ": " and the text of errno at LOG_ERR.
void ks_perror(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Return the characters formatted, or -1 when not all of them were written.
int ks_vfprintf(FILE *file, const char *format, va_list ap) __attribute__((format(printf, 2, 0)));
int ks_fprintf(FILE *file, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Messages less urgent than priority (LOG_DEBUG, LOG_INFO, ...) are dropped
// before anything is formatted or sent. Until the first call every message goes.
void ks_log_level_set(int priority);
// Whether a message of this priority goes out: for messages that cost work
// to put together.
bool ks_log_wants(int priority);
// Reopens the connection for a long-running process: its id is written into
// the ident once, instead of asked of the kernel at every message, and with
// to_stderr every message is also written to standard error. Call it again
// in a process that a fork made.
void ks_log_open(bool to_stderr);

#endif
