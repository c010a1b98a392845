#ifndef KS_ARCHIVE_ASSET_H
#define KS_ARCHIVE_ASSET_H

// The asset of a crash: an archive object with the link "/proc/self/exe" to
// the executable first, then the files read from /proc/<pid>/.

#include "archive/proc.h"

#include <ctime>

// Writes the asset into the fresh file fd; on false *error tells why.
bool ks_asset_write(int fd, const struct ks_proc *proc, time_t when, const char **error);

#endif
