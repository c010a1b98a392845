#ifndef KS_CLIENT_CORE_H
#define KS_CLIENT_CORE_H

// Core images as the pipeline keeps them: plain, or compressed with zstd
// under the same name, told apart by the frame's magic number (28 b5 2f fd),
// never by a suffix.

#include <cstdint>

struct ks_core_format {
    bool compressed;
    bool original_known;    // every frame's header records its size
    uint64_t original_size; // of the image once decompressed
};

// Reads the start of an open image.
// False with errno when it cannot be read.
bool ks_core_examine(int fd, struct ks_core_format *format);
// The size of a compressed image once decompressed, as the headers of its
// frames tell it: false when one of them does not.
bool ks_core_original_size(int fd, uint64_t *size);

// Decompresses the image into a private unnamed file (O_TMPFILE in $TMPDIR,
// else /var/tmp; mode 0600), which disappears with its last descriptor;
// zero blocks stay holes. Returns its descriptor, opened close-on-exec, or
// -1 after one line on standard error that names the image as shown.
int ks_core_decompress(int fd, const char *shown);

// How a compression ended.
enum ks_core_compress_end {
    KS_CORE_COMPRESSED = 0, // the whole image is in the output
    KS_CORE_LIMIT = 1,      // the output would have grown past the limit
    KS_CORE_FAILED = 2,     // *why says why
};

// Compresses the plain image in fd, size bytes from its start, into out as
// one zstd frame at level that records the image's size and a checksum.
// Stops before writing more than limit bytes. An image that does not have
// size bytes fails.
enum ks_core_compress_end ks_core_compress(int fd, uint64_t size, int out, int level, uint64_t limit,
                                           const char **why);

#endif
