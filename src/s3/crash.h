#ifndef KS_S3_CRASH_H
#define KS_S3_CRASH_H

// What the send knows about one crash: its files in the archive tree, and
// the parts of the keys it is stored under,
//   <prefix>/<host>/<YYYY-MM-DD>/<signature>/<name><suffix>
// (the crash's day in UTC; "unknown" for a crash without a signature).

#include <cstddef>

#define KS_S3_CRASH_UNKNOWN "unknown"

struct ks_s3_crash {
    char name[256];
    char snapshot[4096];
    char asset[4096]; // "" when the crash has none
    char core[4096];  // "" when the crash has none
    char host[256];
    char date[16];
    char signature[80];
};

// The files: the snapshot <root>/sending/<name> leads to <root>/assets/<name>
// and <root>/pending/<name>, unless asset or core (not null) name others.
// The signature is taken from signature when not null, else from the
// asset's facts; the host from the "host=" line of defaults (the defaults
// command's output; may be null), else from the system; the date from the
// core image, else the asset, else the snapshot. On false, error says why.
bool ks_s3_crash_locate(struct ks_s3_crash *c, const char *snapshot, const char *name, const char *asset,
                        const char *core, const char *signature, const char *defaults, char *error,
                        size_t size);


// The key of one of the crash's objects; false when it does not fit.
bool ks_s3_crash_key(const struct ks_s3_crash *c, const char *prefix, const char *suffix, char *out, size_t size);

// Splits "s3://<bucket>[/<prefix>]" into bucket and a prefix without
// leading, trailing or doubled "/"; false for anything else, or a bucket
// or prefix part that could not be a key's path ("." or "..").
bool ks_s3_crash_destination(const char *destination, char *bucket, size_t bucket_size, char *prefix,
                             size_t prefix_size);

#endif
