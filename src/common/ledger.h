#ifndef KS_COMMON_LEDGER_H
#define KS_COMMON_LEDGER_H

// The crash ledger: one row for every crash the kernel hands over, stored or
// not, in the SQLite database "ledger.db" at the archive root (WAL mode).
// The archiver writes it as the archive's owner, many at once during a
// storm; the client reads it, also as a member of the archive's group who
// is not its owner.
//
// No call waits for a ledger that serves nobody longer than
// KS_LEDGER_WAIT_MS in total; while other writers' turns go by, a writer
// waits on for its own, up to KS_LEDGER_WAIT_MAX_MS (a storm of archivers
// started at once on a busy machine).
// Every failure (busy, damaged, read-only, deleted...) is returned at once
// with a static message; the archiver then handles the crash as if there
// were no ledger. A missing ledger is created; a damaged one, or a file that
// is not this ledger, is moved aside as "ledger.db.damaged" (replacing an
// older one) and created anew, never trusted or repaired. Creation and
// moving aside happen under an flock of "ledger.lock" beside it.
//
// Call it as the archive's owner: the files it creates (ledger.db and
// ledger.lock, which orders the writers) belong to the caller. While a
// writing call waits for its turn it uses SIGALRM and ITIMER_REAL, and puts
// back the caller's action, mask and timer: not for threaded callers.
//
// Storm limits (common/storm.h) are decided inside the transaction that
// records the crash, so that of many archivers starting at once exactly
// the limit stores its core. The per-signature limit counts the crashes of
// that signature by the same uid: one user cannot use up another's (a
// service's) budget by crashing copies of the same binary.

#include "common/storm.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

#define KS_LEDGER_FILE "ledger.db"
// Where a damaged ledger is set aside.
#define KS_LEDGER_DAMAGED KS_LEDGER_FILE ".damaged"
#define KS_LEDGER_WAIT_MS 1000
#define KS_LEDGER_WAIT_MAX_MS 10000
// Rows older than this are pruned unless configured otherwise.
#define KS_LEDGER_AGE_DEFAULT (90 * 86400)

// What became of a crash; the words are those of ks_ledger_outcome_name.
typedef enum ks_ledger_outcome {
    KS_LEDGER_STORED = 0,    // "stored"
    KS_LEDGER_CUT = 1,       // "cut": stored up to the core size limit
    KS_LEDGER_IGNORED = 2,   // "ignored": a dump.ignore rule
    KS_LEDGER_LIMIT_0 = 3,   // "limit-0": the process's core limit is 0
    KS_LEDGER_QUOTA = 4,     // "quota"
    KS_LEDGER_DISK_FULL = 5, // "disk-full"
    KS_LEDGER_STORM = 6,     // "storm": over a storm limit
    KS_LEDGER_FAILED = 7,    // "failed"
    KS_LEDGER_OUTCOME_COUNT = 8,
} ks_ledger_outcome;

const char *ks_ledger_outcome_name(ks_ledger_outcome outcome);

struct ks_ledger;

// A crash as the archiver records it. Strings may be null when unknown.
struct ks_ledger_crash {
    time_t when;
    pid_t pid;
    uid_t uid;
    const char *executable;
    int signal;            // 0 when unknown
    const char *signature; // null or empty: none
    const char *module;    // the file mapped at the program counter
    bool has_offset;
    uint64_t offset;       // the counter's offset in module
    const char *name;      // base name of the crash's files, once known
};

// For the archiver: opens root/ledger.db for writing, creating it (files
// with mode, owned by the caller) when missing or damaged.
bool ks_ledger_open(struct ks_ledger **ledger, const char *root, mode_t mode, const char **error);
// For the client: opens an existing ledger read-only; never creates or
// moves anything.
bool ks_ledger_open_read(struct ks_ledger **ledger, const char *root, const char **error);
// Null is fine.
void ks_ledger_close(struct ks_ledger *ledger);

// In one transaction: counts the cores stored and the crashes skipped in
// limits->window before crash->when, for crash->signature by crash->uid
// and for crash->uid alone; decides (ks_storm_decide); inserts the crash
// with the outcome "stored" (counted at once against the limits of the
// archivers that follow) or "storm". *row names the row for
// ks_ledger_finish.
bool ks_ledger_admit(struct ks_ledger *ledger, const struct ks_ledger_crash *crash,
                     const struct ks_storm_limits *limits, struct ks_storm_decision *decision, int64_t *row,
                     const char **error);
// Inserts a crash that is not stored for another reason (ignored, limit-0...).
bool ks_ledger_add(struct ks_ledger *ledger, const struct ks_ledger_crash *crash, ks_ledger_outcome outcome,
                   int64_t *row, const char **error);
// Sets the outcome of a row once the core is stored or has failed, and the
// base name of its files (null keeps the one it has).
bool ks_ledger_finish(struct ks_ledger *ledger, int64_t row, ks_ledger_outcome outcome, const char *name,
                      const char **error);
// Deletes rows older than before, at most a few thousand a call; reads
// only, and takes no lock for writing, when there are none.
bool ks_ledger_prune(struct ks_ledger *ledger, time_t before, const char **error);

// One row as read; the strings (null when unknown) live until the callback
// returns.
struct ks_ledger_row {
    int64_t id;
    time_t when;
    pid_t pid;
    uid_t uid;
    const char *executable;
    int signal;
    const char *signature;
    const char *module;
    bool has_offset;
    uint64_t offset;
    const char *name;
    const char *outcome;
};

// Returns false to stop.
typedef bool ks_ledger_row_cb(const struct ks_ledger_row *row, void *cl);

// The newest count rows (0: all), newest first.
bool ks_ledger_history(struct ks_ledger *ledger, size_t count, ks_ledger_row_cb *cb, void *cl,
                       const char **error);

// One signature: its crashes since a time and in total, its stored cores,
// and the executable, signal and location of its latest crash.
struct ks_ledger_summary {
    const char *signature;
    unsigned long recent;
    unsigned long total;
    unsigned long stored;
    time_t first;
    time_t last;
    const char *executable;
    int signal;
    const char *module;
    bool has_offset;
    uint64_t offset;
};

typedef bool ks_ledger_summary_cb(const struct ks_ledger_summary *summary, void *cl);

// Every signature, the one seen last first; recent counts crashes at or
// after since.
bool ks_ledger_signatures(struct ks_ledger *ledger, time_t since, ks_ledger_summary_cb *cb, void *cl,
                          const char **error);

#endif
