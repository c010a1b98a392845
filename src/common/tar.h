#ifndef KS_COMMON_TAR_H
#define KS_COMMON_TAR_H

// Archive objects: ustar records with PAX extended headers for names and
// link targets longer than 99 characters.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

struct ks_ustar_record {
    char name[100];
    char mode[8];
    char uid[8];
    char gid[8];
    char size[12];
    char mtime[12];
    char checksum[8];
    char typeflag;
    char linkname[100];
    char magic[6];
    char version[2];
    char uname[32];
    char gname[32];
    char devmajor[8];
    char devminor[8];
    char prefix[155];
    char pad[12];
};

typedef enum ks_tar_type {
    KS_TAR_T_FILE = 0,
    KS_TAR_T_LINK = 1,
} ks_tar_type;

struct ks_tar_iterator {
    size_t length;
    const char *cursor;
    char *buffer;
    struct ks_ustar_record *record;
    size_t record_length;
    char path[4096];
    char link[4096];
};

// Reader: maps the object read-only; null on any failure, without a message.
// As ks_tar_iterator_open, on a descriptor that it takes over and closes.
struct ks_tar_iterator *ks_tar_iterator_fdopen(int fd);
struct ks_tar_iterator *ks_tar_iterator_open(const char *path);
// The next entry's content (file data inside the mapping, or the link
// target), or null at the end. *path and the link text stay valid until
// the next call.
const char *ks_tar_iterate(struct ks_tar_iterator *it, const char **path, size_t *length,
                           ks_tar_type *type);
void ks_tar_iterator_destroy(struct ks_tar_iterator *it);
// Iterates on to the first entry named name: its content, or null when the
// object ends without one.
const char *ks_tar_iterate_to(struct ks_tar_iterator *it, const char *name, size_t *length,
                              ks_tar_type *type);

typedef enum ks_tar_lookup {
    KS_TAR_L_FOUND = 0,   // the entry lies within the bytes given
    KS_TAR_L_ABSENT = 1,  // the archive ends within them without it
    KS_TAR_L_UNKNOWN = 2, // only the whole object can tell (see ks_tar_find)
} ks_tar_lookup;

// Finds the first entry named name in the first length bytes of an object
// that the caller has read (whole: they are all of it), as iterating the
// whole object would find it, but without a mapping and without printing:
// where the bytes end too early, or where iterating would print one of its
// messages, the answer is KS_TAR_L_UNKNOWN and the caller iterates the
// whole object instead. it is the caller's storage for the iteration; a
// link target found is in it->link. Nothing is allocated or freed.
ks_tar_lookup ks_tar_find(struct ks_tar_iterator *it, const char *buffer, size_t length, bool whole,
                          const char *name, const char **content, size_t *content_length,
                          ks_tar_type *type);

// Writer on a descriptor the caller owns; after a false result ks_tar_error
// tells why.
typedef struct ks_tar ks_tar_t;

ks_tar_t *ks_tar_fdopen(int fd);
void ks_tar_begin(struct ks_tar *tar, const char *path, unsigned int path_len);
void ks_tar_set_mtime(struct ks_tar *tar, time_t timestamp);
bool ks_tar_metadata_commit(struct ks_tar *tar);
int ks_tar_fd_get(const struct ks_tar *tar);
// Refuses lengths of 4 GiB or more ("file too large"): the size field
// cannot describe them.
bool ks_tar_end(struct ks_tar *tar, size_t length);
// Gives up the unfinished entry: the descriptor goes back to where the
// entry's first record was to go, and the next entry is written there.
bool ks_tar_abort(struct ks_tar *tar);
bool ks_tar_symlink(struct ks_tar *tar, const char *from, const char *to, time_t timestamp);
bool ks_tar_commit(struct ks_tar *tar);
const char *ks_tar_error(const struct ks_tar *tar);
void ks_tar_destroy(struct ks_tar *tar);

#endif
