#include "common/storm.h"

bool ks_storm_log_due(unsigned long skipped)
{
    if (skipped == 0)
        return false;
    while (skipped % 10 == 0)
        skipped /= 10;
    return skipped == 1;
}

void ks_storm_decide(const struct ks_storm_limits *limits, const struct ks_storm_counts *counts, bool has_signature,
                     struct ks_storm_decision *decision)
{
    decision->verdict = KS_STORM_STORE;
    decision->skipped = 0;
    decision->log = false;
    if (limits->window <= 0)
        return;
    if (has_signature && limits->per_signature != 0 && counts->signature_stored >= limits->per_signature) {
        decision->verdict = KS_STORM_SIGNATURE;
        decision->skipped = counts->signature_skipped + 1;
    } else if (limits->per_user != 0 && counts->user_stored >= limits->per_user) {
        decision->verdict = KS_STORM_USER;
        decision->skipped = counts->user_skipped + 1;
    } else {
        return;
    }
    decision->log = ks_storm_log_due(decision->skipped);
}
