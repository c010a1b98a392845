#include "archive/buildid.h"

#include "archive/elf.h"
#include "common/sha256.h"

#include "common/fd.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr size_t table_max = 64u << 10;
static constexpr size_t segment_max = 64u << 10;
static constexpr unsigned segments_max = 8;

// A short read is as good as a failed one: the file is not what it claims.
static bool read_whole(int fd, void *buffer, size_t length, uint64_t offset)
{
    if (offset > static_cast<uint64_t>(INT64_MAX) - length)
        return false;
    for (size_t done = 0; done < length;) {
        ssize_t n = pread(fd, static_cast<char *>(buffer) + done, length - done, static_cast<off_t>(offset + done));
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

static bool notes_search(const unsigned char *s, size_t size, size_t align, char *hex)
{
    size_t at = 0;

    while (size - at >= 12) {
        uint64_t namesz = ks_elf_le32(s + at), descsz = ks_elf_le32(s + at + 4);
        uint32_t type = ks_elf_le32(s + at + 8);
        uint64_t desc = at + 12 + ((namesz + align - 1) & ~static_cast<uint64_t>(align - 1));
        if (desc + descsz > size)
            return false;
        if (type == NT_GNU_BUILD_ID && namesz == 4 && memcmp(s + at + 12, "GNU", 4) == 0) {
            if (descsz == 0 || descsz > KS_BUILDID_MAX)
                return false;
            ks_sha256_hex(s + desc, static_cast<size_t>(descsz), hex);
            return true;
        }
        uint64_t next = desc + ((descsz + align - 1) & ~static_cast<uint64_t>(align - 1));
        if (next >= size)
            return false;
        at = static_cast<size_t>(next);
    }
    return false;
}

bool ks_buildid_read(int fd, char hex[KS_BUILDID_HEX_SIZE])
{
    unsigned char ehdr[64];
    struct stat st;
    bool found = false;

    hex[0] = '\0';
    if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode) || !read_whole(fd, ehdr, sizeof ehdr, 0))
        return false;
    if (memcmp(ehdr, ELFMAG, SELFMAG) != 0 || ehdr[EI_CLASS] != ELFCLASS64 || ehdr[EI_DATA] != ELFDATA2LSB ||
        ks_elf_le16(ehdr + 54) != sizeof(Elf64_Phdr))
        return false;
    size_t table = static_cast<size_t>(ks_elf_le16(ehdr + 56)) * sizeof(Elf64_Phdr);
    if (table == 0 || table > table_max)
        return false;
    auto *phdrs = static_cast<unsigned char *>(malloc(table));
    auto *segment = static_cast<unsigned char *>(malloc(segment_max));
    if (phdrs != nullptr && segment != nullptr && read_whole(fd, phdrs, table, ks_elf_le64(ehdr + 32))) {
        unsigned segments = 0;
        for (size_t at = 0; at < table && !found && segments < segments_max; at += sizeof(Elf64_Phdr)) {
            const unsigned char *ph = phdrs + at;
            uint64_t size = ks_elf_le64(ph + 32);
            if (ks_elf_le32(ph) != PT_NOTE || size == 0)
                continue;
            segments++;
            if (size > segment_max || !read_whole(fd, segment, static_cast<size_t>(size), ks_elf_le64(ph + 8)))
                continue;
            found = notes_search(segment, static_cast<size_t>(size), ks_elf_le64(ph + 48) == 8 ? 8 : 4, hex);
        }
    }
    free(phdrs);
    free(segment);
    return found;
}

bool ks_buildid_read_at(int dirfd, const char *path, char hex[KS_BUILDID_HEX_SIZE])
{
    struct stat st;

    hex[0] = '\0';
    // Opening a device can have effects of its own: only regular files are opened.
    if (fstatat(dirfd, path, &st, 0) == -1 || !S_ISREG(st.st_mode))
        return false;
    int fd = openat(dirfd, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1)
        return false;
    bool found = ks_buildid_read(fd, hex);
    ks_fd_close(fd);
    return found;
}
