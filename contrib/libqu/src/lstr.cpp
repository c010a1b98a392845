#include "libqu/src/lstr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

bool qu_lstr_eql(const char *lstr1, size_t lstr1_len, const char *lstr2, size_t lstr2_len)
{
    return lstr1_len == lstr2_len && (lstr1_len == 0 || memcmp(lstr1, lstr2, lstr1_len) == 0);
}

char *qu_lstr_dup(const char *lstr, size_t lstr_len)
{
    char *copy = lstr_len == SIZE_MAX ? nullptr : static_cast<char *>(malloc(lstr_len + 1));

    if (copy == nullptr)
        return nullptr;
    if (lstr_len != 0)
        memcpy(copy, lstr, lstr_len);
    copy[lstr_len] = '\0';
    return copy;
}

bool qu_lstr_starts_with(const char *haystack, size_t haystack_len, const char *needle,
                         size_t needle_len)
{
    return needle_len <= haystack_len && qu_lstr_eql(haystack, needle_len, needle, needle_len);
}

bool qu_lstr_ends_with(const char *haystack, size_t haystack_len, const char *needle,
                       size_t needle_len)
{
    return needle_len <= haystack_len &&
           qu_lstr_eql(haystack + haystack_len - needle_len, needle_len, needle, needle_len);
}
