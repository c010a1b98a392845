#ifndef KS_COMMON_CRED_H
#define KS_COMMON_CRED_H

#include <sys/types.h>

// Looks a user up: *uid, and *home as a heap copy of a non-empty home
// directory (else null). On false *error is a static message.
bool ks_cred_uid_name(uid_t *uid, const char **home, const char *name, const char **error);
bool ks_cred_gid_name(gid_t *gid, const char *name, const char **error);

// Switches to gid, then uid, each only when it differs from the effective id.
bool ks_cred_suid(uid_t uid, gid_t gid, const char **error);

#endif
