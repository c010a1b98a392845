#ifndef KS_ARCHIVE_ELF_H
#define KS_ARCHIVE_ELF_H

// Little-endian fields of ELF structures read from bytes as they lie in a
// file or a pipe, without assuming their alignment.

#include <cstdint>

static inline uint16_t ks_elf_le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

static inline uint32_t ks_elf_le32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

static inline uint64_t ks_elf_le64(const unsigned char *p)
{
    return ks_elf_le32(p) | static_cast<uint64_t>(ks_elf_le32(p + 4)) << 32;
}

#endif
