#ifndef KS_S3_CONF_H
#define KS_S3_CONF_H

// The object store's settings and credentials: one file of "key = value"
// lines, by default /etc/kestrel/s3.conf. It holds the secret key, so it is
// read only when nobody but its owner (the user running the send, or root)
// can read it.

#include <cstddef>

#define KS_S3_CONF_DEFAULT "/etc/kestrel/s3.conf"
#define KS_S3_CONF_PART_MIN (5u << 20)   // the stores' smallest part but the last
#define KS_S3_CONF_PART_MAX (1024u << 20)

struct ks_s3_conf {
    char endpoint[1024]; // http(s)://host[:port][/path], no trailing "/"
    char region[64];
    char access_key[256];
    char secret_key[256];
    char ca_file[4096]; // "" for the system's certificates
    bool upload_asset;
    bool upload_core;
    int core_level;        // zstd level
    unsigned core_threads; // 0: one per processor
    size_t part_size;      // bytes of compressed core per request
    unsigned timeout;      // seconds for the whole send, retries included
    unsigned connect_timeout; // seconds
    unsigned retry_limit;  // further tries of a request after a transient failure
};

// Formats the one line that explains a failure into error; returns false,
// for the caller to return.
bool ks_s3_fail(char *error, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Loads path into conf (defaults first). On false, error holds one line
// saying why (no trailing newline).
bool ks_s3_conf_load(struct ks_s3_conf *conf, const char *path, char *error, size_t size);

#endif
