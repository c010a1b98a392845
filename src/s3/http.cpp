#include "s3/http.h"

#include "s3/sigv4.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <strings.h>
#include <unistd.h>

// Enough of an answer's body for the store's error document or the
// multipart replies; a listing that is cut is never needed whole.
static const size_t body_max = 64 * 1024;
static const long backoff_first_ms = 500;
static const long backoff_max_ms = 8000;

struct transfer {
    struct ks_s3_http *h;
    const struct ks_s3_http_body *body;
    size_t offset; // next byte of the body to send
    bool read_failed;
    int read_errno;
};

bool ks_s3_http_fail(struct ks_s3_http *h, const char *format, ...)
{
    va_list ap;

    va_start(ap, format);
    vsnprintf(h->error, sizeof h->error, format, ap);
    va_end(ap);
    return false;
}

static long remaining_ms(const struct ks_s3_http *h)
{
    struct timespec now;

    clock_gettime(CLOCK_MONOTONIC, &now);
    return (h->deadline.tv_sec - now.tv_sec) * 1000 + (h->deadline.tv_nsec - now.tv_nsec) / 1000000;
}

static bool endpoint_parts(struct ks_s3_http *h, const char *endpoint)
{
    CURLU *url = curl_url();
    char *scheme = nullptr, *host = nullptr, *port = nullptr, *path = nullptr, *user = nullptr;
    bool ok = false;

    if (url == nullptr) {
        (void) ks_s3_http_fail(h, "out of memory");
        return false;
    }
    if (curl_url_set(url, CURLUPART_URL, endpoint, 0) != CURLUE_OK ||
        curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK ||
        curl_url_get(url, CURLUPART_HOST, &host, 0) != CURLUE_OK) {
        (void) ks_s3_http_fail(h, "the endpoint %s is not a URL", endpoint);
        goto out;
    }
    if (curl_url_get(url, CURLUPART_USER, &user, 0) == CURLUE_OK) {
        (void) ks_s3_http_fail(h, "the endpoint %s names a user: credentials belong in access.key and secret.key", endpoint);
        goto out;
    }
    (void) curl_url_get(url, CURLUPART_PORT, &port, 0);
    (void) curl_url_get(url, CURLUPART_PATH, &path, 0);
    {
        int n = snprintf(h->host, sizeof h->host, "%s%s%s", host, port != nullptr ? ":" : "",
                         port != nullptr ? port : "");
        int m = snprintf(h->origin, sizeof h->origin, "%s://%s", scheme, h->host);
        size_t length = path != nullptr ? strlen(path) : 0;
        while (length > 0 && path[length - 1] == '/')
            length--;
        if (n < 0 || static_cast<size_t>(n) >= sizeof h->host || m < 0 ||
            static_cast<size_t>(m) >= sizeof h->origin || length >= sizeof h->base) {
            (void) ks_s3_http_fail(h, "the endpoint %s is too long", endpoint);
            goto out;
        }
        if (length > 0)
            memcpy(h->base, path, length);
        h->base[length] = '\0';
    }
    ok = true;
out:
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_free(path);
    curl_free(user);
    curl_url_cleanup(url);
    return ok;
}

bool ks_s3_http_open(struct ks_s3_http *h, const struct ks_s3_conf *conf)
{
    *h = {};
    h->conf = conf;
    clock_gettime(CLOCK_MONOTONIC, &h->deadline);
    h->deadline.tv_sec += conf->timeout;
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        (void) ks_s3_http_fail(h, "cannot initialise libcurl");
        return false;
    }
    h->body = static_cast<char *>(malloc(body_max + 1));
    h->curl = curl_easy_init();
    if (h->body == nullptr || h->curl == nullptr) {
        (void) ks_s3_http_fail(h, "out of memory");
        ks_s3_http_close(h);
        return false;
    }
    h->body[0] = '\0';
    if (!endpoint_parts(h, conf->endpoint)) {
        ks_s3_http_close(h);
        return false;
    }
    return true;
}

void ks_s3_http_close(struct ks_s3_http *h)
{
    if (h->curl != nullptr)
        curl_easy_cleanup(static_cast<CURL *>(h->curl));
    h->curl = nullptr;
    free(h->body);
    h->body = nullptr;
}

static size_t on_read(char *buffer, size_t size, size_t n, void *cl)
{
    auto *t = static_cast<struct transfer *>(cl);
    size_t want = size * n, left = t->body->length - t->offset;

    if (want > left)
        want = left;
    if (want == 0)
        return 0;
    if (t->body->fd < 0) {
        memcpy(buffer, static_cast<const char *>(t->body->data) + t->offset, want);
        t->offset += want;
        return want;
    }
    ssize_t got;
    do
        got = pread(t->body->fd, buffer, want, static_cast<off_t>(t->offset));
    while (got < 0 && errno == EINTR);
    // A file that shrank under us would otherwise be padded by nothing and
    // the request would hang for its missing bytes.
    if (got <= 0) {
        t->read_failed = true;
        t->read_errno = got < 0 ? errno : 0;
        return CURL_READFUNC_ABORT;
    }
    t->offset += static_cast<size_t>(got);
    return static_cast<size_t>(got);
}

static int on_seek(void *cl, curl_off_t offset, int origin)
{
    auto *t = static_cast<struct transfer *>(cl);

    if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > t->body->length)
        return CURL_SEEKFUNC_CANTSEEK;
    t->offset = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

static size_t on_write(char *data, size_t size, size_t n, void *cl)
{
    auto *h = static_cast<struct ks_s3_http *>(cl);
    size_t length = size * n, room = body_max - h->body_length;
    size_t kept = length < room ? length : room;

    memcpy(h->body + h->body_length, data, kept);
    h->body_length += kept;
    h->body[h->body_length] = '\0';
    return length;
}

static size_t on_header(char *line, size_t size, size_t n, void *cl)
{
    auto *h = static_cast<struct ks_s3_http *>(cl);
    size_t length = size * n;

    if (length > 5 && strncasecmp(line, "etag:", 5) == 0) {
        size_t start = 5, end = length;
        while (start < end && (line[start] == ' ' || line[start] == '\t'))
            start++;
        while (end > start && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' '))
            end--;
        if (end - start < sizeof h->etag) {
            memcpy(h->etag, line + start, end - start);
            h->etag[end - start] = '\0';
        }
    }
    return length;
}

bool ks_s3_http_xml(const struct ks_s3_http *h, const char *element, char *out, size_t size)
{
    char open[128], close[128];

    if (h->body == nullptr || snprintf(open, sizeof open, "<%s>", element) >= static_cast<int>(sizeof open) ||
        snprintf(close, sizeof close, "</%s>", element) >= static_cast<int>(sizeof close))
        return false;
    const char *start = strstr(h->body, open);
    if (start == nullptr)
        return false;
    start += strlen(open);
    const char *end = strstr(start, close);
    if (end == nullptr || static_cast<size_t>(end - start) >= size)
        return false;
    memcpy(out, start, static_cast<size_t>(end - start));
    out[end - start] = '\0';
    return true;
}

static bool transient_status(const struct ks_s3_http *h)
{
    char code[64];

    if (h->status >= 500 || h->status == 408 || h->status == 429)
        return true;
    return h->status == 400 && ks_s3_http_xml(h, "Code", code, sizeof code) && strcmp(code, "RequestTimeout") == 0;
}

static bool transient_failure(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

// The request line's target: the endpoint's path, the bucket and the key,
// each byte outside the unreserved set percent-encoded once.
static bool target_of(const struct ks_s3_http *h, const char *bucket, const char *key, char *out, size_t size)
{
    size_t n = strlen(h->base);

    if (n + 2 >= size)
        return false;
    memcpy(out, h->base, n);
    out[n++] = '/';
    n += ks_s3_sigv4_encode(bucket, strlen(bucket), false, out + n, size - n);
    if (key != nullptr && key[0] != '\0') {
        if (n + 2 >= size)
            return false;
        out[n++] = '/';
        n += ks_s3_sigv4_encode(key, strlen(key), true, out + n, size - n);
    }
    return n < size;
}

static struct curl_slist *append(struct curl_slist *list, bool *ok, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
static struct curl_slist *append(struct curl_slist *list, bool *ok, const char *format, ...)
{
    char line[4096];
    va_list ap;

    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) {
        *ok = false;
        return list;
    }
    struct curl_slist *longer = curl_slist_append(list, line);
    if (longer == nullptr) {
        *ok = false;
        return list;
    }
    return longer;
}

// One try. Returns the transfer's code; h->status holds the answer's.
static CURLcode attempt(struct ks_s3_http *h, const char *method, const char *target, const char *query,
                        const struct ks_s3_http_body *body, struct transfer *t, long timeout_ms)
{
    static const char empty_sha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    CURL *curl = static_cast<CURL *>(h->curl);
    const char *payload = body != nullptr ? body->sha256 : empty_sha256;
    char date[KS_S3_SIGV4_DATE_SIZE], authorization[1024], url[8192];
    bool ok = true;

    ks_s3_sigv4_date(time(nullptr), date);
    const struct ks_s3_sigv4_header headers[] = {
        {"host", h->host},
        {"x-amz-content-sha256", payload},
        {"x-amz-date", date},
    };
    const struct ks_s3_sigv4_request request = {method, target, query, headers, sizeof headers / sizeof headers[0],
                                                payload};
    const struct ks_s3_sigv4_scope scope = {h->conf->access_key, h->conf->secret_key, h->conf->region, "s3"};
    int n = snprintf(url, sizeof url, "%s%s%s%s", h->origin, target, query != nullptr ? "?" : "",
                     query != nullptr ? query : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof url ||
        !ks_s3_sigv4_authorization(&scope, date, &request, authorization, sizeof authorization))
        return CURLE_OUT_OF_MEMORY;

    struct curl_slist *list = nullptr;
    list = append(list, &ok, "Host: %s", h->host);
    list = append(list, &ok, "x-amz-content-sha256: %s", payload);
    list = append(list, &ok, "x-amz-date: %s", date);
    list = append(list, &ok, "Authorization: %s", authorization);
    // A part is sent at once: waiting for "100 Continue" costs a round trip
    // (or a second with stores that never send it) for every request.
    list = append(list, &ok, "Expect:");
    if (body != nullptr && body->content_type != nullptr)
        list = append(list, &ok, "Content-Type: %s", body->content_type);
    if (!ok) {
        curl_slist_free_all(list);
        return CURLE_OUT_OF_MEMORY;
    }

    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(h->conf->connect_timeout) * 1000);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, h);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, h);
    if (h->conf->ca_file[0] != '\0')
        curl_easy_setopt(curl, CURLOPT_CAINFO, h->conf->ca_file);
    if (body != nullptr) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body->length));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, on_read);
        curl_easy_setopt(curl, CURLOPT_READDATA, t);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, on_seek);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, t);
        curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 1L << 20);
    }

    CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &h->status);
    curl_slist_free_all(list);
    return code;
}

bool ks_s3_http_send(struct ks_s3_http *h, const char *method, const char *bucket, const char *key,
                     const char *query, const struct ks_s3_http_body *body)
{
    char target[4096], what[4096 + 256];
    long pause_ms = backoff_first_ms;

    snprintf(what, sizeof what, "%s %s%s%s%s%s", method, bucket, key != nullptr ? "/" : "", key != nullptr ? key : "",
             query != nullptr ? "?" : "", query != nullptr ? query : "");
    if (!target_of(h, bucket, key, target, sizeof target)) {
        (void) ks_s3_http_fail(h, "%s: the key is too long", what);
        return false;
    }
    for (unsigned tries = 1;; tries++) {
        long left = remaining_ms(h);
        if (left <= 0) {
            (void) ks_s3_http_fail(h, "%s: the send's time-out (%us) ran out", what, h->conf->timeout);
            return false;
        }
        struct transfer t = {h, body, 0, false, 0};
        h->status = 0;
        h->etag[0] = '\0';
        h->body_length = 0;
        h->body[0] = '\0';
        CURLcode code = attempt(h, method, target, query, body, &t, left);
        bool retry;
        if (code == CURLE_OK && h->status >= 200 && h->status < 300)
            return true;
        if (code == CURLE_OK) {
            char error_code[128] = "", message[512] = "";
            (void) ks_s3_http_xml(h, "Code", error_code, sizeof error_code);
            (void) ks_s3_http_xml(h, "Message", message, sizeof message);
            (void) ks_s3_http_fail(h, "%s: HTTP %ld%s%s%s%s", what, h->status, error_code[0] != '\0' ? " " : "", error_code,
                      message[0] != '\0' ? ": " : "", message);
            retry = transient_status(h);
        } else if (t.read_failed) {
            (void) ks_s3_http_fail(h, "%s: cannot read the body: %s", what,
                      t.read_errno != 0 ? strerror(t.read_errno) : "the file is shorter than it was");
            retry = false;
        } else {
            (void) ks_s3_http_fail(h, "%s: %s", what, curl_easy_strerror(code));
            retry = transient_failure(code);
        }
        if (!retry || tries > h->conf->retry_limit || remaining_ms(h) < pause_ms + 1000) {
            if (tries > 1) {
                size_t length = strlen(h->error);
                snprintf(h->error + length, sizeof h->error - length, " (%u tries)", tries);
            }
            return false;
        }
        struct timespec pause = {pause_ms / 1000, (pause_ms % 1000) * 1000000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        pause_ms = pause_ms * 2 < backoff_max_ms ? pause_ms * 2 : backoff_max_ms;
    }
}
