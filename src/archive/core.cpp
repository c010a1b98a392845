#include "archive/core.h"

#include "common/fd.h"
#include "common/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static constexpr size_t buffer_size = 256u << 10;
// Holes are made in units of the page size: cores are written page by page,
// and a smaller unit would rarely free a filesystem block.
static constexpr size_t block_size = 4096;

static bool block_is_zero(const unsigned char *p, size_t n)
{
    uint64_t any = 0;
    size_t words = n / sizeof(uint64_t);

    for (size_t i = 0; i < words; i++) {
        uint64_t w;
        memcpy(&w, p + i * sizeof w, sizeof w);
        any |= w;
    }
    for (size_t i = words * sizeof(uint64_t); i < n; i++)
        any |= p[i];
    return any == 0;
}

// Bytes that may still be written before the filesystem keeps less than the
// quota free. The filesystem itself is the reservation that every archiver
// running at once shares: each looks again before every transfer, so
// together they pass the quota by at most one transfer each.
static constexpr uint64_t refresh_bytes = buffer_size;

struct quota_state {
    double quota;
    uint64_t budget;
};

static bool quota_allows(int fd, struct quota_state *q, size_t length)
{
    if (q->quota <= 0)
        return true;
    if (length <= q->budget)
        return true;
    q->budget = std::min(ks_fs_room(fd, q->quota), refresh_bytes);
    return length <= q->budget;
}

bool ks_core_quota_allows(int fd, double quota, uint64_t length)
{
    return quota <= 0 || length <= ks_fs_room(fd, quota);
}

// The bytes from at to the next block boundary of the file (a buffer may
// start anywhere in it: after the notes, after a short read).
static size_t block_from(uint64_t offset, size_t at, size_t length)
{
    size_t to_boundary = block_size - static_cast<size_t>((offset + at) % block_size);

    return std::min(to_boundary, length - at);
}

// Writes the non-zero runs of blocks of one buffer at offset.
static bool buffer_store(int fd, const unsigned char *buffer, size_t length, uint64_t offset,
                         struct quota_state *quota, struct ks_core_result *result)
{
    size_t at = 0;

    while (at < length) {
        size_t n = block_from(offset, at, length);
        if (block_is_zero(buffer + at, n)) {
            at += n;
            continue;
        }
        size_t end = at + n;
        while (end < length) {
            size_t m = block_from(offset, end, length);
            if (block_is_zero(buffer + end, m))
                break;
            end += m;
        }
        size_t run = end - at;
        if (!quota_allows(fd, quota, run)) {
            result->status = KS_CORE_QUOTA;
            return false;
        }
        ssize_t w = ks_fd_pwrite(fd, buffer + at, run, static_cast<off_t>(offset + at));
        if (w < 0 || static_cast<size_t>(w) != run) {
            result->status = KS_CORE_WRITE_FAILED;
            result->error = w < 0 ? errno : ENOSPC;
            return false;
        }
        result->data += run;
        if (quota->budget >= run)
            quota->budget -= run;
        at = end;
    }
    return true;
}

// The image's first bytes, already read: stored as far as the limit allows.
// False when the copy ends with them.
static bool prefix_store(int out, const unsigned char *prefix, size_t length, uint64_t limit,
                         struct quota_state *quota, struct ks_core_result *result)
{
    size_t kept = static_cast<size_t>(std::min<uint64_t>(length, limit));

    if (kept > 0 && !buffer_store(out, prefix, kept, 0, quota, result))
        return false;
    result->length = kept;
    if (kept < length) {
        result->status = KS_CORE_CUT;
        return false;
    }
    return true;
}

void ks_core_copy(int in, int out, uint64_t limit, double quota, const unsigned char *prefix, size_t prefix_length,
                  struct ks_core_result *result)
{
    // Page-aligned, so that the blocks tested for zeros are whole pages of the image.
    auto *buffer = static_cast<unsigned char *>(aligned_alloc(block_size, buffer_size));

    struct quota_state q = {quota, 0};

    memset(result, 0, sizeof *result);
    if (buffer == nullptr) {
        result->status = KS_CORE_READ_FAILED;
        result->error = ENOMEM;
        return;
    }
    bool more = prefix_store(out, prefix, prefix_length, limit, &q, result);
    while (more) {
        uint64_t room = limit - result->length;
        // Data lands at the same place in a page of the buffer as in a page
        // of the file: after the notes, the blocks tested and written stay
        // aligned in memory.
        size_t skew = static_cast<size_t>(result->length % block_size);
        // At the limit one more byte tells a cut image from one that fits exactly.
        size_t want = room == 0 ? 1 : static_cast<size_t>(std::min<uint64_t>(room, buffer_size - skew));
        ssize_t n = ks_fd_read(in, buffer + skew, want);
        if (n < 0) {
            result->status = KS_CORE_READ_FAILED;
            result->error = errno;
            break;
        }
        if (n == 0) {
            result->status = KS_CORE_COMPLETE;
            break;
        }
        if (room == 0) {
            result->status = KS_CORE_CUT;
            break;
        }
        if (!buffer_store(out, buffer + skew, static_cast<size_t>(n), result->length, &q, result))
            break;
        result->length += static_cast<uint64_t>(n);
    }
    // A trailing hole has no block to end it: the length is set explicitly.
    if ((result->status == KS_CORE_COMPLETE || result->status == KS_CORE_CUT) &&
        ftruncate(out, static_cast<off_t>(result->length)) == -1) {
        result->status = KS_CORE_WRITE_FAILED;
        result->error = errno;
    }
    free(buffer);
}
