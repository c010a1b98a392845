#ifndef KS_ARCHIVE_ASSET_H
#define KS_ARCHIVE_ASSET_H

// The asset of a crash: an archive object with the link "/proc/self/exe" to
// the executable first, then the crash's facts, then the files read from
// /proc/<pid>/.

#include "archive/proc.h"
#include "common/facts.h"

#include <cstdint>
#include <ctime>

// Bytes the asset will take at most, for the quota.
uint64_t ks_asset_size(const struct ks_proc *proc, const struct ks_facts_text *facts);
// Writes the asset into the fresh file fd; on false *error tells why.
bool ks_asset_write(int fd, const struct ks_proc *proc, const struct ks_facts_text *facts, time_t when,
                    const char **error);

#endif
