// Compiles any text as a command template and renders it, checking what
// the rendering must always hold.

#include "common/parse.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
// No syslog daemon here; rendering failures log.
void openlog(const char *, int, int) {}
void syslog(int, const char *, ...) {}
void vsyslog(int, const char *, va_list) {}
void __syslog_chk(int, int, const char *, ...) {}
void __vsyslog_chk(int, int, const char *, va_list) {}
}

namespace {

struct closure {
    size_t calls;
};

// Values with blanks and percent signs; no value for "P" and the digits.
char *value_of(char value, const char *literal, const char *suffix, void *cl)
{
    static const char *const values[] = {"/usr/bin/app", "core 1", "", "%e %%", "a b  c"};
    auto *c = static_cast<struct closure *>(cl);

    c->calls++;
    if (value == 'P' || (value >= '0' && value <= '9'))
        return nullptr;
    std::string text = std::string(literal) + values[static_cast<unsigned char>(value) % 5] + suffix;
    return strdup(text.c_str());
}

std::string joined(char **argv)
{
    std::string text;

    for (char **p = argv; *p != nullptr; p++)
        text += (p == argv ? "" : " ") + std::string(*p);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *null = fopen("/dev/null", "w");
    std::string text(reinterpret_cast<const char *>(data), size);
    ks_format_t *format = nullptr;
    const char *error = nullptr;

    if (!ks_format_create(&format, text.c_str(), "ceaPSB", &error)) {
        if (format != nullptr || error == nullptr)
            abort();
        return 0;
    }
    if (format->length == 0 || format->length > format->capacity)
        abort();

    struct closure cl = {0};
    size_t argc = SIZE_MAX;
    char **argv = ks_format_argv(format, value_of, &cl, &argc);
    if (argv != nullptr) {
        size_t n = 0;
        while (argv[n] != nullptr)
            n++;
        if (n != argc || argc == 0)
            abort();
        ks_format_argv_fprint(null, argv);
        // Without placeholders, rendering only splits the text after its
        // leading white space at blanks: joining gives it back.
        if (strchr(text.c_str(), '%') == nullptr) {
            const char *start = ks_ltrim(text.c_str());
            if (joined(argv) != start || format->length != 1)
                abort();
        }
        // A compiled template renders the same every time.
        char **again = ks_format_argv(format, value_of, &cl, nullptr);
        if (again == nullptr || joined(again) != joined(argv))
            abort();
        ks_format_argv_free(again);
    } else if (cl.calls == 0) {
        abort(); // only a value the callback lacks fails here
    }
    ks_format_argv_free(argv);
    ks_format_free(format);
    return 0;
}
