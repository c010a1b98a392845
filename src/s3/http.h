#ifndef KS_S3_HTTP_H
#define KS_S3_HTTP_H

// Signed requests to an object store over one reused connection, with
// path-style addresses (<endpoint>/<bucket>/<key>). A request that fails
// for a passing reason (no connection, a 5xx answer, "slow down") is tried
// again after a growing pause, as long as the configured limit and the
// whole send's time-out allow.

#include "s3/conf.h"

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// What a request sends: length bytes read from fd at offset 0 (again at
// every try), or data when fd is -1.
struct ks_s3_http_body {
    int fd;
    const void *data;
    size_t length;
    const char *sha256;       // hexadecimal digest of the bytes, or KS_S3_SIGV4_UNSIGNED
    const char *content_type; // null for none
};

struct ks_s3_http {
    void *curl;
    const struct ks_s3_conf *conf;
    char origin[1024]; // scheme://authority of the endpoint
    char base[1024];   // the endpoint's path ("" or "/...")
    char host[512];    // the Host header, as signed
    struct timespec deadline; // CLOCK_MONOTONIC end of the whole send
    // The last answer:
    long status;   // 0 when none came
    char etag[256];
    char *body;    // the first bytes of the answer's body, NUL-terminated
    size_t body_length;
    char error[2048]; // why the last request failed, one line
};

// False with h->error set when the endpoint cannot be used. The time-out of
// the whole send starts here.
bool ks_s3_http_open(struct ks_s3_http *h, const struct ks_s3_conf *conf);
// Formats the line that says why into h->error; returns false, for the caller
// to return.
bool ks_s3_http_fail(struct ks_s3_http *h, const char *format, ...) __attribute__((format(printf, 2, 3)));
void ks_s3_http_close(struct ks_s3_http *h);

// method on <bucket>/<key> (key as stored; encoded here) with query as it
// is to be sent (already encoded; null for none) and an optional body.
// True on a 2xx answer; otherwise h->error says what failed, with the
// store's status and error code when it answered.
bool ks_s3_http_send(struct ks_s3_http *h, const char *method, const char *bucket, const char *key,
                     const char *query, const struct ks_s3_http_body *body);

// The text of the first <element> of the last answer's body into out
// (entities left as they are); false when there is none or it does not fit.
bool ks_s3_http_xml(const struct ks_s3_http *h, const char *element, char *out, size_t size);

#endif
