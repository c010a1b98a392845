#ifndef KS_COMMON_FS_H
#define KS_COMMON_FS_H

#include <cstdint>
#include <dirent.h>
#include <sys/types.h>

// An advisory whole-file lock between processes.
struct ks_fs_flock {
    int fd; // -1 after a failed initialisation
};

bool ks_fs_flock_init(struct ks_fs_flock *fl, const char *path);
bool ks_fs_flock_trylock(struct ks_fs_flock *fl);
void ks_fs_flock_unlock(struct ks_fs_flock *fl);
void ks_fs_flock_deinit(struct ks_fs_flock *fl);

// Creates a new file under a fresh lower-case UUID name inside root; path
// (4096 bytes) receives its name. Returns the descriptor or -1 with errno.
int ks_fs_open(char *path, const char *root, int flags, uid_t uid, gid_t gid, mode_t mode);

// Makes sure the absolute directory p exists, creating missing components
// owned by uid:gid with mode. False with errno on failure.
bool ks_fs_ensure_path(const char *p, uid_t uid, gid_t gid, mode_t mode);

// Walking a tree that its owner, a less trusted user, can change: nothing is
// ever reached through a link the owner could have planted.
struct ks_fs_tree {
    uid_t uid;   // owner of the directories created in the tree
    gid_t gid;
    mode_t mode; // their mode
    bool create; // create what is missing
    // Take group-write and every bit for others from existing directories.
    bool tighten;
    char failed[4096]; // after a failure: the path that failed
};

// The directory at the absolute path, opened read-only and close-on-exec, or
// -1 with errno. Components above the last are resolved one at a time and
// through a symbolic link only when root owns that link (the administrator's
// own); missing ones are made with mode 0755 and the caller's identity. The
// last component is never a link (ELOOP) and is made and kept as tree says.
int ks_fs_tree_root(const char *path, struct ks_fs_tree *tree);
// The directory at a relative path below dir ("committed/coredump"), every
// component made and kept as tree says and none of them a link.
int ks_fs_tree_dir(int dir, const char *relative, struct ks_fs_tree *tree);
// Like ks_fs_open, inside an open directory: name (37 bytes) receives the
// new file's name. Never follows a link.
int ks_fs_openat(int dir, char *name, int flags, mode_t mode);

// Bytes that may still be written on fd's filesystem before it keeps less
// than the share quota of it free; UINT64_MAX when that cannot be told.
uint64_t ks_fs_room(int fd, double quota);

// opendir into *d (null on failure).
bool ks_fs_directory_open(DIR **d, const char *path);

#endif
