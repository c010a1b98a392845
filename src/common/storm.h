#ifndef KS_COMMON_STORM_H
#define KS_COMMON_STORM_H

// Storm control: a program that crashes in a loop costs a few cores, not
// thousands. Within a window of seconds at most so many cores are stored per
// signature and per crashing user; the crashes over a limit are recorded
// but their cores are not read.
//
// The per-signature limit counts the crashes of that signature by the same
// user: one user crashing copies of a service's binary cannot use up the
// service's budget for that fault. The per-user limit catches a user who
// makes every crash unique (jumping to random addresses).

#include <ctime>

struct ks_storm_limits {
    time_t window;                // seconds; 0 turns storm control off
    unsigned long per_signature;  // cores per signature and user per window; 0: no limit
    unsigned long per_user;       // cores per user per window; 0: no limit
};

// What the ledger holds for the window, this crash not included.
struct ks_storm_counts {
    unsigned long signature_stored;  // cores of this signature by this user
    unsigned long user_stored;       // cores of this user
    unsigned long signature_skipped; // crashes of this signature by this user over a limit
    unsigned long user_skipped;      // crashes of this user over a limit
};

typedef enum ks_storm_verdict {
    KS_STORM_STORE = 0,     // within the limits, or storm control off
    KS_STORM_SIGNATURE = 1, // the signature's limit is reached
    KS_STORM_USER = 2,      // the user's limit is reached
} ks_storm_verdict;

struct ks_storm_decision {
    ks_storm_verdict verdict;
    // Crashes skipped in the window for the same reason, this one included
    // (0 when stored).
    unsigned long skipped;
    // Whether this skip is worth a syslog line: the 1st, 10th, 100th...,
    // so a storm is logged once without flooding.
    bool log;
};

// A crash without a signature (has_signature false) meets only the user's
// limit.
void ks_storm_decide(const struct ks_storm_limits *limits, const struct ks_storm_counts *counts, bool has_signature,
                     struct ks_storm_decision *decision);

// Whether the skipped-th skip is logged: 1, 10, 100, 1000...
bool ks_storm_log_due(unsigned long skipped);

#endif
