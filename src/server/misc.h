#ifndef KS_SERVER_MISC_H
#define KS_SERVER_MISC_H

// The stage of a crash, shared by the daemon and the client.
typedef enum ks_stage {
    KS_STAGE_STAGING = 0,
    KS_STAGE_PENDING = 1,
    KS_STAGE_SENDING = 2,
    KS_STAGE_F_PENDING = 3,
    KS_STAGE_F_SENDING = 4,
    KS_STAGE_COMMITTED = 5,
    KS_STAGE_FAILED = 6,
    KS_STAGE_COUNT = 7,
} ks_stage;

// Display name of a stage, as the client lists it.
inline const char *ks_stage_str(ks_stage stage)
{
    static const char *const names[KS_STAGE_COUNT] = {
        "staging", "pending", "sending", "! pending", "! sending", "archived", "failed",
    };
    unsigned int index = static_cast<unsigned int>(stage);

    return index < KS_STAGE_COUNT ? names[index] : "unknown";
}

#endif
