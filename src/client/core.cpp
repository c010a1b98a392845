#include "client/core.h"

#include "client/text.h"
#include "common/fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

static const unsigned char magic[4] = {0x28, 0xb5, 0x2f, 0xfd};

// Holes are made a page at a time.
static constexpr size_t page = 4096;

bool ks_core_examine(int fd, struct ks_core_format *format)
{
    unsigned char header[sizeof(magic)];
    ssize_t got = pread(fd, header, sizeof(header), 0);

    *format = {};
    if (got == -1)
        return false;
    format->compressed = got == sizeof(magic) && memcmp(header, magic, sizeof(magic)) == 0;
    return true;
}

// The headers of every frame, which a writer may have split the image into:
// one read of a few bytes per block, never the compressed data.
bool ks_core_original_size(int fd, uint64_t *size)
{
    struct stat st;

    if (fstat(fd, &st) == -1 || st.st_size <= 0)
        return false;
    void *map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return false;
    const auto *data = static_cast<const char *>(map);
    size_t length = static_cast<size_t>(st.st_size), offset = 0;
    uint64_t total = 0;
    bool known = true;
    while (known && offset < length) {
        unsigned long long content = ZSTD_getFrameContentSize(data + offset, length - offset);
        size_t frame = ZSTD_findFrameCompressedSize(data + offset, length - offset);
        known = content != ZSTD_CONTENTSIZE_UNKNOWN && content != ZSTD_CONTENTSIZE_ERROR && !ZSTD_isError(frame);
        total += known ? content : 0;
        offset += known ? frame : 0;
    }
    (void) munmap(map, length);
    if (known)
        *size = total;
    return known;
}

static int temporary(const char **where)
{
    const char *directory = getenv("TMPDIR");

    if (directory == nullptr || *directory == '\0')
        directory = "/var/tmp";
    *where = directory;
    int fd = open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd != -1 || (errno != EOPNOTSUPP && errno != EISDIR))
        return fd;
    // A filesystem without unnamed files: a name for an instant, mode 0600.
    char path[4096];
    if (snprintf(path, sizeof(path), "%s/kestrel-core-XXXXXX", directory) >= static_cast<int>(sizeof(path))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    fd = mkostemp(path, O_CLOEXEC);
    if (fd != -1)
        (void) unlink(path);
    return fd;
}

static bool zero(const char *data, size_t length)
{
    static const char zeros[page] = {};

    return memcmp(data, zeros, length) == 0;
}

// Writes what the decoder produced; whole zero pages are skipped over.
static bool put(int fd, const char *data, size_t length, off_t *offset)
{
    for (size_t done = 0; done < length;) {
        size_t n = length - done < page ? length - done : page;
        if (n == page && zero(data + done, n)) {
            done += n;
            *offset += static_cast<off_t>(n);
            continue;
        }
        if (ks_fd_pwrite(fd, data + done, n, *offset) != static_cast<ssize_t>(n))
            return false;
        done += n;
        *offset += static_cast<off_t>(n);
    }
    return true;
}

static int fail(const char *shown, const char *what, const char *why)
{
    fputs("error: cannot decompress ", stderr);
    ks_text_put_safe_str(stderr, shown);
    fprintf(stderr, ": %s: %s\n", what, why);
    return -1;
}

int ks_core_decompress(int fd, const char *shown)
{
    const char *directory;
    int out = temporary(&directory);

    if (out == -1) {
        char what[4200];
        snprintf(what, sizeof(what), "no temporary file in %s", directory);
        return fail(shown, what, strerror(errno));
    }
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    size_t in_size = ZSTD_DStreamInSize(), out_size = ZSTD_DStreamOutSize();
    std::unique_ptr<char[]> in(new (std::nothrow) char[in_size]), buffer(new (std::nothrow) char[out_size]);
    const char *why = nullptr;
    size_t left = 1; // 0 once the frame in hand is complete
    off_t offset = 0, position = 0;

    if (context == nullptr || in == nullptr || buffer == nullptr) {
        ks_fd_close(out);
        return fail(shown, "decompression", strerror(ENOMEM));
    }
    for (;;) {
        ssize_t got = pread(fd, in.get(), in_size, position);
        if (got == -1 && errno == EINTR)
            continue;
        if (got == -1) {
            why = strerror(errno);
            break;
        }
        if (got == 0) {
            if (left != 0)
                why = "the image ends within a frame";
            break;
        }
        position += got;
        ZSTD_inBuffer input = {in.get(), static_cast<size_t>(got), 0};
        while (input.pos < input.size && why == nullptr) {
            ZSTD_outBuffer output = {buffer.get(), out_size, 0};
            left = ZSTD_decompressStream(context.get(), &output, &input);
            if (ZSTD_isError(left))
                why = ZSTD_getErrorName(left);
            else if (!put(out, buffer.get(), output.pos, &offset))
                why = strerror(errno);
        }
        // The decoder may hold output back until it is asked again.
        while (why == nullptr && left != 0) {
            ZSTD_outBuffer output = {buffer.get(), out_size, 0};
            left = ZSTD_decompressStream(context.get(), &output, &input);
            if (ZSTD_isError(left))
                why = ZSTD_getErrorName(left);
            else if (!put(out, buffer.get(), output.pos, &offset))
                why = strerror(errno);
            if (output.pos < out_size)
                break;
        }
        if (why != nullptr)
            break;
    }
    // A trailing hole needs the file's length set.
    if (why == nullptr && ftruncate(out, offset) == -1)
        why = strerror(errno);
    if (why != nullptr) {
        ks_fd_close(out);
        return fail(shown, "zstd", why);
    }
    return out;
}

// Read in large pieces: a kept image is read once, start to end.
static constexpr size_t compress_read = 1 << 20;

enum ks_core_compress_end ks_core_compress(int fd, uint64_t size, int out, int level, uint64_t limit,
                                           const char **why)
{
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    size_t out_size = ZSTD_CStreamOutSize();
    std::unique_ptr<char[]> in(new (std::nothrow) char[compress_read]), buffer(new (std::nothrow) char[out_size]);
    ZSTD_CCtx *c = context.get();
    uint64_t written = 0;
    off_t position = 0;

    if (c == nullptr || in == nullptr || buffer == nullptr) {
        *why = strerror(ENOMEM);
        return KS_CORE_FAILED;
    }
    // The size in the frame's header is what info shows as the original
    // size, and what makes the library refuse an image that changed length.
    size_t rc = ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_setPledgedSrcSize(c, size);
    if (ZSTD_isError(rc)) {
        *why = ZSTD_getErrorName(rc);
        return KS_CORE_FAILED;
    }
    (void) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        ssize_t got = pread(fd, in.get(), compress_read, position);
        if (got == -1 && errno == EINTR)
            continue;
        if (got == -1) {
            *why = strerror(errno);
            return KS_CORE_FAILED;
        }
        position += got;
        ZSTD_EndDirective mode = got == 0 ? ZSTD_e_end : ZSTD_e_continue;
        ZSTD_inBuffer input = {in.get(), static_cast<size_t>(got), 0};
        size_t left;
        do {
            ZSTD_outBuffer output = {buffer.get(), out_size, 0};
            left = ZSTD_compressStream2(c, &output, &input, mode);
            if (ZSTD_isError(left)) {
                *why = ZSTD_getErrorName(left);
                return KS_CORE_FAILED;
            }
            written += output.pos;
            if (written > limit)
                return KS_CORE_LIMIT;
            errno = 0;
            if (ks_fd_write(out, buffer.get(), output.pos) != static_cast<ssize_t>(output.pos)) {
                *why = strerror(errno != 0 ? errno : EIO);
                return KS_CORE_FAILED;
            }
        } while (mode == ZSTD_e_end ? left != 0 : input.pos < input.size);
        // What was read once is not read again: it need not crowd out the
        // page cache of the programs that crash.
        (void) posix_fadvise(fd, position - got, got, POSIX_FADV_DONTNEED);
        if (got == 0)
            return KS_CORE_COMPRESSED;
    }
}
