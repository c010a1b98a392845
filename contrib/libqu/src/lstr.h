#ifndef QU_LSTR_H
#define QU_LSTR_H

#include <cstddef>

// Strings given as pointer and length, not necessarily NUL-terminated.
bool qu_lstr_eql(const char *lstr1, size_t lstr1_len, const char *lstr2, size_t lstr2_len);
char *qu_lstr_dup(const char *lstr, size_t lstr_len);
bool qu_lstr_starts_with(const char *haystack, size_t haystack_len, const char *needle,
                         size_t needle_len);
bool qu_lstr_ends_with(const char *haystack, size_t haystack_len, const char *needle,
                       size_t needle_len);

#endif
