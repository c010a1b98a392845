#include "s3/upload.h"

#include "common/sha256.h"
#include "s3/sigv4.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

static const size_t read_size = 1 << 20;
// S3 takes at most 10,000 parts; a margin is left for the few bytes zstd
// adds to data it cannot compress.
static const uint64_t parts_planned = 9000;
static const unsigned parts_max = 10000;
static const unsigned char zstd_magic[4] = {0x28, 0xb5, 0x2f, 0xfd};

static bool hash_file(int fd, uint64_t length, char hex[KS_SHA256_HEX_SIZE])
{
    unsigned char buffer[64 * 1024], digest[KS_SHA256_SIZE];
    struct ks_sha256 s;
    uint64_t done = 0;

    ks_sha256_init(&s);
    while (done < length) {
        size_t want = length - done < sizeof buffer ? static_cast<size_t>(length - done) : sizeof buffer;
        ssize_t got = pread(fd, buffer, want, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // A file that became shorter is no failed read.
            if (got == 0)
                errno = 0;
            return false;
        }
        ks_sha256_update(&s, buffer, static_cast<size_t>(got));
        done += static_cast<uint64_t>(got);
    }
    ks_sha256_final(&s, digest);
    ks_sha256_hex(digest, sizeof digest, hex);
    return true;
}

bool ks_s3_upload_file(struct ks_s3_http *h, const char *bucket, const char *key, const char *path,
                       const char *content_type, struct ks_s3_upload_stats *stats)
{
    char hex[KS_SHA256_HEX_SIZE];
    struct stat st;

    *stats = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ks_s3_http_fail(h, "cannot open %s: %s", path, strerror(errno));
    if (fstat(fd, &st) != 0 || !hash_file(fd, static_cast<uint64_t>(st.st_size), hex)) {
        ks_s3_http_fail(h, "cannot read %s: %s", path, errno != 0 ? strerror(errno) : "it became shorter");
        close(fd);
        return false;
    }
    const struct ks_s3_http_body body = {fd, nullptr, static_cast<size_t>(st.st_size), hex, content_type};
    bool ok = ks_s3_http_send(h, "PUT", bucket, key, nullptr, &body);
    close(fd);
    if (ok)
        stats->read = stats->stored = static_cast<uint64_t>(st.st_size);
    return ok;
}

// The compressing reader runs in its own thread and fills two part buffers
// in turn, so that the next part is made while the last one is sent: the
// memory used is two parts and zstd's own, whatever the image's size.
struct core_stream {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int fd;
    bool compress;
    int level;
    unsigned threads;
    size_t part_size;
    unsigned char *buffer[2];
    size_t length[2];
    unsigned head;   // the buffer the sender takes next
    unsigned filled; // buffers ready for the sender
    bool finished;   // nothing follows the buffers ready
    bool cancelled;  // the sender gave up
    bool failed;
    char error[256];
    uint64_t read;
};

// Fills buf with the next bytes of the stream; *end when the stream ends
// within them. Runs without the lock: nobody else touches buf meanwhile.
static bool fill(struct core_stream *s, ZSTD_CCtx *cctx, unsigned char *input, ZSTD_inBuffer *in, bool *input_ended,
                 unsigned char *buf, size_t *length, bool *end)
{
    ZSTD_outBuffer out = {buf, s->part_size, 0};

    *end = false;
    while (out.pos < out.size) {
        if (in->pos == in->size && !*input_ended) {
            ssize_t got = read(s->fd, input, read_size);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                snprintf(s->error, sizeof s->error, "cannot read the core image: %s", strerror(errno));
                return false;
            }
            *in = {input, static_cast<size_t>(got), 0};
            *input_ended = got == 0;
            s->read += static_cast<uint64_t>(got);
        }
        if (!s->compress) {
            size_t n = in->size - in->pos < out.size - out.pos ? in->size - in->pos : out.size - out.pos;
            memcpy(static_cast<unsigned char *>(out.dst) + out.pos, static_cast<const unsigned char *>(in->src) + in->pos,
                   n);
            in->pos += n;
            out.pos += n;
            if (*input_ended && in->pos == in->size) {
                *end = true;
                break;
            }
            continue;
        }
        size_t left = ZSTD_compressStream2(cctx, &out, in, *input_ended ? ZSTD_e_end : ZSTD_e_continue);
        if (ZSTD_isError(left)) {
            snprintf(s->error, sizeof s->error, "zstd: %s", ZSTD_getErrorName(left));
            return false;
        }
        if (*input_ended && left == 0) {
            *end = true;
            break;
        }
    }
    *length = out.pos;
    return true;
}

static void *produce(void *cl)
{
    auto *s = static_cast<struct core_stream *>(cl);
    auto *input = static_cast<unsigned char *>(malloc(read_size));
    ZSTD_CCtx *cctx = s->compress ? ZSTD_createCCtx() : nullptr;
    ZSTD_inBuffer in = {input, 0, 0};
    bool input_ended = false, ok = input != nullptr && (cctx != nullptr || !s->compress);

    if (!ok)
        snprintf(s->error, sizeof s->error, "out of memory");
    if (ok && s->compress) {
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, s->level);
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
        // A libzstd built without threads refuses workers: it then
        // compresses in this thread alone.
        (void) ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, static_cast<int>(s->threads));
    }
    pthread_mutex_lock(&s->lock);
    while (ok) {
        while (s->filled == 2 && !s->cancelled)
            pthread_cond_wait(&s->changed, &s->lock);
        if (s->cancelled)
            break;
        unsigned tail = (s->head + s->filled) % 2;
        pthread_mutex_unlock(&s->lock);
        bool end;
        ok = fill(s, cctx, input, &in, &input_ended, s->buffer[tail], &s->length[tail], &end);
        pthread_mutex_lock(&s->lock);
        if (!ok)
            break;
        if (s->length[tail] > 0)
            s->filled++;
        s->finished = end;
        pthread_cond_broadcast(&s->changed);
        if (end)
            break;
    }
    s->failed = !ok;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
    ZSTD_freeCCtx(cctx);
    free(input);
    return nullptr;
}

// The next buffer to send, or null at the end (s->failed tells which end).
static const unsigned char *next_part(struct core_stream *s, size_t *length)
{
    const unsigned char *part = nullptr;

    pthread_mutex_lock(&s->lock);
    while (s->filled == 0 && !s->finished && !s->failed)
        pthread_cond_wait(&s->changed, &s->lock);
    if (s->filled > 0) {
        part = s->buffer[s->head];
        *length = s->length[s->head];
    }
    pthread_mutex_unlock(&s->lock);
    return part;
}

static void release_part(struct core_stream *s)
{
    pthread_mutex_lock(&s->lock);
    s->head = (s->head + 1) % 2;
    s->filled--;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
}

static void stop(struct core_stream *s, pthread_t thread)
{
    pthread_mutex_lock(&s->lock);
    s->cancelled = true;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
    pthread_join(thread, nullptr);
}

static bool put_single(struct ks_s3_http *h, const char *bucket, const char *key, const unsigned char *data,
                       size_t length)
{
    unsigned char digest[KS_SHA256_SIZE];
    char hex[KS_SHA256_HEX_SIZE];

    ks_sha256(data, length, digest);
    ks_sha256_hex(digest, sizeof digest, hex);
    const struct ks_s3_http_body body = {-1, data, length, hex, "application/zstd"};
    return ks_s3_http_send(h, "PUT", bucket, key, nullptr, &body);
}

// The parts after the first, then the completion. Parts are sent unsigned:
// hashing every byte would cost more than compressing it, and the zstd
// frame's own checksum proves the whole image when it is read back.
static bool put_parts(struct ks_s3_http *h, struct core_stream *s, const char *bucket, const char *key,
                      const char *upload, struct ks_s3_upload_stats *stats, std::string *completion)
{
    char query[4096];
    size_t length;

    *completion = "<CompleteMultipartUpload>";
    for (const unsigned char *part; (part = next_part(s, &length)) != nullptr; release_part(s)) {
        unsigned number = ++stats->parts;
        if (number > parts_max)
            return ks_s3_http_fail(h, "PUT %s/%s: the compressed image needs more than %u parts", bucket, key, parts_max);
        snprintf(query, sizeof query, "partNumber=%u&uploadId=%s", number, upload);
        const struct ks_s3_http_body body = {-1, part, length, KS_S3_SIGV4_UNSIGNED, "application/zstd"};
        if (!ks_s3_http_send(h, "PUT", bucket, key, query, &body))
            return false;
        if (h->etag[0] == '\0')
            return ks_s3_http_fail(h, "PUT %s/%s?%s: the store's answer has no ETag", bucket, key, query);
        stats->stored += length;
        *completion += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>" + h->etag +
                       "</ETag></Part>";
    }
    if (s->failed)
        return ks_s3_http_fail(h, "PUT %s/%s: %s", bucket, key, s->error);
    *completion += "</CompleteMultipartUpload>";
    return true;
}

static bool complete(struct ks_s3_http *h, const char *bucket, const char *key, const char *upload,
                     const std::string &completion)
{
    unsigned char digest[KS_SHA256_SIZE];
    char hex[KS_SHA256_HEX_SIZE], query[4096], code[128];

    ks_sha256(completion.data(), completion.size(), digest);
    ks_sha256_hex(digest, sizeof digest, hex);
    snprintf(query, sizeof query, "uploadId=%s", upload);
    const struct ks_s3_http_body body = {-1, completion.data(), completion.size(), hex, "application/xml"};
    if (!ks_s3_http_send(h, "POST", bucket, key, query, &body))
        return false;
    // The completion can fail after its "200 OK" has been sent: the error
    // is then the body.
    if (ks_s3_http_xml(h, "Code", code, sizeof code) && strstr(h->body, "<Error>") != nullptr)
        return ks_s3_http_fail(h, "POST %s/%s?%s: %s", bucket, key, query, code);
    return true;
}

static bool multipart(struct ks_s3_http *h, struct core_stream *s, pthread_t thread, const char *bucket,
                      const char *key, struct ks_s3_upload_stats *stats)
{
    char upload_id[1024], upload[3 * sizeof upload_id], query[4096];

    if (!ks_s3_http_send(h, "POST", bucket, key, "uploads", nullptr))
        return stop(s, thread), false;
    if (!ks_s3_http_xml(h, "UploadId", upload_id, sizeof upload_id) || upload_id[0] == '\0') {
        stop(s, thread);
        return ks_s3_http_fail(h, "POST %s/%s?uploads: the store's answer has no UploadId", bucket, key);
    }
    ks_s3_sigv4_encode(upload_id, strlen(upload_id), false, upload, sizeof upload);

    bool ok;
    try {
        std::string completion;
        ok = put_parts(h, s, bucket, key, upload, stats, &completion);
        stop(s, thread);
        ok = ok && complete(h, bucket, key, upload, completion);
    } catch (const std::bad_alloc &) {
        stop(s, thread);
        ok = ks_s3_http_fail(h, "PUT %s/%s: out of memory", bucket, key);
    }
    if (!ok) {
        // The parts sent so far would be kept (and billed) until a
        // lifecycle rule removes them; this removal is only a courtesy.
        char reason[sizeof h->error];
        memcpy(reason, h->error, sizeof reason);
        snprintf(query, sizeof query, "uploadId=%s", upload);
        (void) ks_s3_http_send(h, "DELETE", bucket, key, query, nullptr);
        memcpy(h->error, reason, sizeof reason);
    }
    return ok;
}

static unsigned processors(void)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

bool ks_s3_upload_core(struct ks_s3_http *h, const char *bucket, const char *key, const char *path,
                       struct ks_s3_upload_stats *stats)
{
    const struct ks_s3_conf *conf = h->conf;
    unsigned char magic[4];
    struct stat st;
    pthread_t thread;

    *stats = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ks_s3_http_fail(h, "cannot open %s: %s", path, strerror(errno));
    if (fstat(fd, &st) != 0) {
        ks_s3_http_fail(h, "cannot examine %s: %s", path, strerror(errno));
        close(fd);
        return false;
    }
    (void) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    struct core_stream s = {};
    pthread_mutex_init(&s.lock, nullptr);
    pthread_cond_init(&s.changed, nullptr);
    s.fd = fd;
    s.compress = !(pread(fd, magic, sizeof magic, 0) == sizeof magic && memcmp(magic, zstd_magic, sizeof magic) == 0);
    s.level = conf->core_level;
    s.threads = conf->core_threads != 0 ? conf->core_threads : processors();
    // Parts grow for images so large that the store's part count would
    // not do; up to there memory stays the same whatever the size.
    uint64_t part = static_cast<uint64_t>(st.st_size) / parts_planned + 1;
    part = (part + (1 << 20) - 1) & ~static_cast<uint64_t>((1 << 20) - 1);
    s.part_size = part > conf->part_size ? static_cast<size_t>(part) : conf->part_size;
    s.buffer[0] = static_cast<unsigned char *>(malloc(s.part_size));
    s.buffer[1] = static_cast<unsigned char *>(malloc(s.part_size));

    bool ok = false;
    if (s.buffer[0] == nullptr || s.buffer[1] == nullptr) {
        ks_s3_http_fail(h, "PUT %s/%s: out of memory for parts of %zu bytes", bucket, key, s.part_size);
    } else if ((errno = pthread_create(&thread, nullptr, produce, &s)) != 0) {
        ks_s3_http_fail(h, "PUT %s/%s: cannot start the compression: %s", bucket, key, strerror(errno));
    } else {
        size_t length;
        const unsigned char *first = next_part(&s, &length);
        if (first == nullptr && s.failed) {
            stop(&s, thread);
            ks_s3_http_fail(h, "PUT %s/%s: %s", bucket, key, s.error);
        } else if (first == nullptr || length < s.part_size) {
            // All of it fits in one part: one request, its hash signed.
            ok = put_single(h, bucket, key, first, first != nullptr ? length : 0);
            stats->stored = first != nullptr ? length : 0;
            stop(&s, thread);
        } else {
            ok = multipart(h, &s, thread, bucket, key, stats);
        }
    }
    stats->read = s.read;
    free(s.buffer[0]);
    free(s.buffer[1]);
    pthread_cond_destroy(&s.changed);
    pthread_mutex_destroy(&s.lock);
    close(fd);
    return ok;
}
