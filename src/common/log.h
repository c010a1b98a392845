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

#endif
