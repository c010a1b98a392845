#include "libqu/src/error.h"

#include <cstdlib>

const char *qu_error_str(qu_error err)
{
    static const char *const messages[] = {
        "no error",       "unknown error",     "system resources unavailable",
        "out of memory",  "file system",       "access denied",
        "file not found", "invalid executable", "is directory",
        "file is busy",   "too big",           "invalid environ",
        "not found",      "bad file descriptor", "invalid encoding",
        "invalid state",
    };
    auto index = static_cast<unsigned int>(err);

    if (index >= sizeof messages / sizeof messages[0])
        abort();
    return messages[index];
}
