#include "common/cred.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

// Runs a reentrant name look-up, growing the work buffer while it reports
// ERANGE, and hands a found entry to use() while its strings are still valid.
template <typename Entry, typename Lookup, typename Use>
static bool lookup(int size_name, const char *missing, const char **error, Lookup fetch, Use use)
{
    long hint = sysconf(size_name);
    size_t size = hint == -1 ? 16384 : static_cast<size_t>(hint);
    char *buffer = static_cast<char *>(malloc(size));
    Entry entry, *result = nullptr;
    int rc;

    if (buffer == nullptr) {
        *error = "failed to allocate internal buffer";
        return false;
    }
    while ((rc = fetch(&entry, buffer, size, &result)) != 0) {
        size_t grown = 2 * size + 1;
        char *bigger = rc == ERANGE ? static_cast<char *>(realloc(buffer, grown)) : nullptr;
        if (bigger == nullptr) {
            *error = rc == ERANGE ? "buffer expansion failed" : "entry extraction failed";
            free(buffer);
            return false;
        }
        buffer = bigger;
        size = grown;
    }
    if (result == nullptr)
        *error = missing;
    else
        use(result);
    free(buffer);
    return result != nullptr;
}

bool ks_cred_uid_name(uid_t *uid, const char **home, const char *name, const char **error)
{
    return lookup<struct passwd>(
        _SC_GETPW_R_SIZE_MAX, "user not found", error,
        [name](struct passwd *pw, char *buf, size_t size, struct passwd **result) {
            return getpwnam_r(name, pw, buf, size, result);
        },
        [uid, home](const struct passwd *pw) {
            *uid = pw->pw_uid;
            *home = nullptr;
            if (pw->pw_dir != nullptr && pw->pw_dir[0] != '\0')
                *home = strdup(pw->pw_dir);
        });
}

bool ks_cred_gid_name(gid_t *gid, const char *name, const char **error)
{
    return lookup<struct group>(
        _SC_GETGR_R_SIZE_MAX, "group not found", error,
        [name](struct group *gr, char *buf, size_t size, struct group **result) {
            return getgrnam_r(name, gr, buf, size, result);
        },
        [gid](const struct group *gr) { *gid = gr->gr_gid; });
}

bool ks_cred_suid(uid_t uid, gid_t gid, const char **error)
{
    if (getegid() != gid && setgid(gid) == -1) {
        *error = "failed to drop group privileges";
        return false;
    }
    if (geteuid() != uid && setuid(uid) == -1) {
        *error = "failed to drop user privileges";
        return false;
    }
    return true;
}
