#ifndef KS_ARCHIVE_BUILDID_H
#define KS_ARCHIVE_BUILDID_H

// The GNU build-id of an ELF file: the note that the linker derives from the
// file's contents, the same on every host that has the same binary.
//
// The archiver opens /proc/<pid>/exe and /proc/<pid>/map_files/<start>-<end>
// as root while the crashed process still exists; those may be any file a
// user could map. The work is bounded whatever the file: a few preads of
// the ELF header, the program headers (at most 64 KiB of them) and at most 8
// note segments of at most 64 KiB each; anything but a regular file is
// refused before the first read.

#include <cstddef>

// Build-ids are 20 bytes (SHA-1) or 16 (MD5, UUID); longer ones are refused.
#define KS_BUILDID_MAX 64
#define KS_BUILDID_HEX_SIZE (2 * KS_BUILDID_MAX + 1)

// The build-id of the open file fd as lower-case hexadecimal; false (hex
// empty) when it has none or is no 64-bit little-endian ELF file.
bool ks_buildid_read(int fd, char hex[KS_BUILDID_HEX_SIZE]);

// The same for path relative to the directory dirfd (AT_FDCWD or a
// /proc/<pid> descriptor), opened without blocking on a FIFO or device and
// closed again.
bool ks_buildid_read_at(int dirfd, const char *path, char hex[KS_BUILDID_HEX_SIZE]);

#endif
