#ifndef KS_ARCHIVE_CORE_H
#define KS_ARCHIVE_CORE_H

// Copies a core image from the kernel's pipe into a file, leaving all-zero
// blocks as holes.

#include <cstddef>
#include <cstdint>

typedef enum ks_core_status {
    KS_CORE_COMPLETE = 0,     // the whole image was stored
    KS_CORE_CUT = 1,          // stored up to the size limit; the rest was left unread
    KS_CORE_QUOTA = 2,        // refused: the filesystem would keep less than the quota free
    KS_CORE_READ_FAILED = 3,  // error holds the reason
    KS_CORE_WRITE_FAILED = 4, // error holds the reason (ENOSPC when the disk filled)
} ks_core_status;

struct ks_core_result {
    ks_core_status status;
    uint64_t length; // bytes of the image kept in the file
    uint64_t data;   // of those, bytes written as data; the rest are holes
    int error;
};

// No limit on the length of the image.
static constexpr uint64_t KS_CORE_UNLIMITED = UINT64_MAX;

// Writes the prefix_length bytes of the image already read from in (its
// notes), then reads in until its end or limit bytes, writing into out from
// offset 0. quota is the fraction of out's filesystem that must stay free
// (0: none).
void ks_core_copy(int in, int out, uint64_t limit, double quota, const unsigned char *prefix, size_t prefix_length,
                  struct ks_core_result *result);
// Whether length more bytes on fd's filesystem keep the quota free.
bool ks_core_quota_allows(int fd, double quota, uint64_t length);

#endif
