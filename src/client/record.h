#ifndef KS_CLIENT_RECORD_H
#define KS_CLIENT_RECORD_H

// The crash ledger (common/ledger.h) as kestrel reads it: opened read-only
// at the archive root, so that the client never creates, moves or repairs
// it, whatever state it is in; and the words its commands show for what a
// row holds.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

struct ks_ledger;

// The ledger of the configured tree. A missing ledger (no crash has been
// recorded yet) or one that cannot be read ends the program with one line
// on standard error and status 1 when required; otherwise it is null, and
// nothing is said.
struct ks_ledger *ks_record_open(bool required);
// Ends the program after the ledger could not be read.
[[noreturn]] void ks_record_unreadable(const char *error);

// The user's name, or null when the system does not know the uid. Valid
// until the program ends.
const char *ks_record_user(uid_t uid);
// Local time as "2023-11-14 22:13:20"; returns the length.
size_t ks_record_time(time_t when, char text[32]);
// "0x1139"; returns the length.
size_t ks_record_offset(uint64_t offset, char text[32]);

// A count written in decimal digits only ("-1", "5x" and "" are mistakes);
// false also beyond max.
bool ks_record_number(const char *text, unsigned long long max, unsigned long long *value);

#endif
