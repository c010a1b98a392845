#ifndef KS_COMMON_SHA256_H
#define KS_COMMON_SHA256_H

// SHA-256 and HMAC-SHA-256: request signing for object stores and stable
// crash signatures. Streaming, no allocation.

#include <cstddef>
#include <cstdint>

#define KS_SHA256_SIZE 32
#define KS_SHA256_HEX_SIZE 65 // 64 digits and the NUL

struct ks_sha256 {
    uint32_t h[8];
    uint64_t length; // bytes fed so far
    unsigned char block[64];
    size_t used; // bytes waiting in block
};

void ks_sha256_init(struct ks_sha256 *s);
void ks_sha256_update(struct ks_sha256 *s, const void *data, size_t length);
void ks_sha256_final(struct ks_sha256 *s, unsigned char digest[KS_SHA256_SIZE]);
// The digest of one buffer.
void ks_sha256(const void *data, size_t length, unsigned char digest[KS_SHA256_SIZE]);
void ks_sha256_hmac(const void *key, size_t key_length, const void *data, size_t length,
                    unsigned char digest[KS_SHA256_SIZE]);
// Lower-case hexadecimal of any n bytes into hex (2n + 1 bytes).
void ks_sha256_hex(const unsigned char *bytes, size_t n, char *hex);

#endif
