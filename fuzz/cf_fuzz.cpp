// Loads any text as the configuration file. The loader ends the process on
// every error; here exit() is replaced for the fuzzing run so that an error
// jumps back to the input's start and the next input runs in this process.
// The loader holds nothing that needs unwinding when it exits.

#include "common/cf.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

static struct {
    jmp_buf *exit_jump; // set while an input loads
    int fd;             // memory file holding the input
    char path[64];
    FILE *null;
} fuzz;

extern "C" {

void exit(int status)
{
    if (fuzz.exit_jump != nullptr)
        longjmp(*fuzz.exit_jump, 1);
    auto real = reinterpret_cast<void (*)(int)>(dlsym(RTLD_NEXT, "exit"));
    real(status);
    _exit(status);
}

// No syslog daemon here.
void openlog(const char *, int, int) {}
void syslog(int, const char *, ...) {}
void vsyslog(int, const char *, va_list) {}
void __syslog_chk(int, int, const char *, ...) {}
void __vsyslog_chk(int, int, const char *, va_list) {}
}

static char *executable(char value, const char *prefix, const char *suffix, void *cl)
{
    (void) cl;
    if (value != 'e')
        return nullptr;
    size_t length = strlen(prefix) + strlen("/usr/bin/python3") + strlen(suffix) + 1;
    char *text = static_cast<char *>(malloc(length));
    if (text != nullptr)
        snprintf(text, length, "%s/usr/bin/python3%s", prefix, suffix);
    return text;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void) argc;
    (void) argv;
    fuzz.fd = memfd_create("cf_fuzz", MFD_CLOEXEC);
    if (fuzz.fd == -1)
        abort();
    snprintf(fuzz.path, sizeof fuzz.path, "/proc/self/fd/%d", fuzz.fd);
    fuzz.null = fopen("/dev/null", "w");
    return 0;
}

// glibc's regcomp copies the subexpression of every "+" and every bound, so
// stacked or nested repetitions ("a++++", "((a+)+)+", "(...){30000}") cost
// time and memory exponential in the rule's length, inside the C library
// and not the loader. Such inputs are skipped.
static bool costly_expression(const uint8_t *data, size_t size)
{
    size_t plus = 0, brace = 0, digits = 0;

    for (size_t i = 0; i < size; i++) {
        plus += data[i] == '+';
        brace += data[i] == '{';
        digits = data[i] >= '0' && data[i] <= '9' ? digits + 1 : 0;
        if (brace > 0 && digits >= 3)
            return true;
    }
    return plus > 8 || brace > 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    jmp_buf jump;

    if (costly_expression(data, size))
        return 0;
    if (ftruncate(fuzz.fd, 0) == -1 || pwrite(fuzz.fd, data, size, 0) != static_cast<ssize_t>(size))
        abort();

    FILE *saved = stderr;
    stderr = fuzz.null;
    ks_cf_init();
    if (setjmp(jump) == 0) {
        fuzz.exit_jump = &jump;
        ks_cf_load(fuzz.path);
        fuzz.exit_jump = nullptr;

        // What a loaded configuration serves.
        const char *error = nullptr;
        (void) ks_cf_ensure(0, &error);
        for (char position = '0'; position <= '9'; position++)
            if (ks_cf_format_match(position, executable, nullptr) == nullptr)
                abort();
        (void) ks_cf_archive_ignore("/usr/bin/python3 -c pass");
        if (strcmp(ks_cf_path_get(), fuzz.path) != 0)
            abort();
    }
    fuzz.exit_jump = nullptr;
    stderr = saved;
    ks_cf_deinit();
    return 0;
}
