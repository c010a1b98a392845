#ifndef KS_S3_UPLOAD_H
#define KS_S3_UPLOAD_H

// The objects of one crash: small files in one request each, with their
// SHA-256 signed so that the store checks every byte; the core image
// compressed with zstd while it is sent, in parts when it is large, never
// whole in memory and never a second copy on disk. On false, h->error says
// what failed.

#include "s3/http.h"

#include <cstdint>

struct ks_s3_upload_stats {
    uint64_t read;   // bytes of the file
    uint64_t stored; // bytes of the object
    unsigned parts;  // 0 for a single request
};

bool ks_s3_upload_file(struct ks_s3_http *h, const char *bucket, const char *key, const char *path,
                       const char *content_type, struct ks_s3_upload_stats *stats);

// A core image that is a zstd stream already is sent as it is.
bool ks_s3_upload_core(struct ks_s3_http *h, const char *bucket, const char *key, const char *path,
                       struct ks_s3_upload_stats *stats);

#endif
