#ifndef KS_S3_SIGV4_H
#define KS_S3_SIGV4_H

// Request signing for object stores (AWS Signature Version 4, as S3 and
// its work-alikes check it). The path is signed as it is sent: S3 keys are
// percent-encoded once by the caller and never normalised.

#include <cstddef>
#include <ctime>

#define KS_S3_SIGV4_DATE_SIZE 17 // "20150830T123600Z" and the NUL
#define KS_S3_SIGV4_UNSIGNED "UNSIGNED-PAYLOAD"

struct ks_s3_sigv4_header {
    const char *name; // any case; compared without it
    const char *value;
};

struct ks_s3_sigv4_request {
    const char *method;
    const char *path;  // as sent, beginning with "/"
    const char *query; // as sent, without the "?"; null when none
    const struct ks_s3_sigv4_header *headers; // every header to sign, "host" among them
    size_t n_headers;
    const char *payload_hash; // hexadecimal SHA-256 of the body, or KS_S3_SIGV4_UNSIGNED
};

struct ks_s3_sigv4_scope {
    const char *access_key;
    const char *secret_key;
    const char *region;
    const char *service; // "s3"
};

// The basic time format of the x-amz-date header, in UTC.
void ks_s3_sigv4_date(time_t t, char date[KS_S3_SIGV4_DATE_SIZE]);

// Percent-encodes length bytes: every byte but A-Z a-z 0-9 - . _ ~ (and
// "/" when keep_slash) becomes %XX in upper case. Returns the length of the
// whole encoding; out receives at most size - 1 bytes and a NUL.
size_t ks_s3_sigv4_encode(const char *in, size_t length, bool keep_slash, char *out, size_t size);

// The steps of the signature, as newly allocated texts (null when an
// allocation fails): the canonical request, and the string to sign for the
// date (KS_S3_SIGV4_DATE_SIZE form).
char *ks_s3_sigv4_canonical_request(const struct ks_s3_sigv4_request *r);
char *ks_s3_sigv4_string_to_sign(const struct ks_s3_sigv4_scope *scope, const char *date,
                                 const char *canonical_request);

// The value of the Authorization header into out; false when an allocation
// fails or it does not fit.
bool ks_s3_sigv4_authorization(const struct ks_s3_sigv4_scope *scope, const char *date,
                               const struct ks_s3_sigv4_request *r, char *out, size_t size);

#endif
