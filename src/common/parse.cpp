#include "common/parse.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

bool ks_parse_age(time_t *r, const char *p, const char **error)
{
    static const struct {
        char suffix;
        time_t seconds;
    } units[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 604800}, {'M', 2592000}};
    char *end;

    unsigned long value = strtoul(p, &end, 10);
    if (value == 0 || value == ULONG_MAX) {
        *error = "out of range";
        return false;
    }
    for (const auto &unit : units) {
        if (*end != unit.suffix)
            continue;
        // A count that would wrap time_t is as wrong as no count at all.
        if (value > static_cast<unsigned long>(std::numeric_limits<time_t>::max() / unit.seconds)) {
            *error = "out of range";
            return false;
        }
        *r = static_cast<time_t>(value) * unit.seconds;
        return true;
    }
    *error = "invalid age suffix specified";
    return false;
}

double ks_parse_bytes(const char **u, unsigned long long value)
{
    static const struct {
        const char *unit;
        unsigned long long threshold;
    } units[] = {{"gB", 1ULL << 30}, {"mB", 1ULL << 20}, {"kB", 1ULL << 10}};

    for (const auto &row : units) {
        if (value > row.threshold) {
            *u = row.unit;
            return static_cast<double>(value) / static_cast<double>(row.threshold);
        }
    }
    *u = "B";
    return static_cast<double>(value);
}

// Shared rule of the decimal parsers: no overflow, no error with a zero
// result, at least one character consumed.
template <typename T, typename Convert> static bool parse_decimal(T *out, const char *s, Convert convert)
{
    char *end;

    errno = 0;
    auto value = convert(s, &end, 10);
    if (errno == ERANGE || (errno != 0 && value == 0) || end == s)
        return false;
    *out = static_cast<T>(value);
    return true;
}

bool ks_parse_size(size_t *t, const char *s) { return parse_decimal(t, s, strtoull); }

bool ks_parse_timestamp(time_t *t, const char *s) { return parse_decimal(t, s, strtoll); }

bool ks_parse_pid(pid_t *pid, const char *s) { return parse_decimal(pid, s, strtoll); }

const char *ks_ltrim(const char *r)
{
    while (isspace(static_cast<unsigned char>(*r)))
        r++;
    return r;
}
