#ifndef KS_COMMON_FS_H
#define KS_COMMON_FS_H

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

// opendir into *d (null on failure).
bool ks_fs_directory_open(DIR **d, const char *path);

#endif
