#ifndef KS_ARCHIVE_SIGNATURE_H
#define KS_ARCHIVE_SIGNATURE_H

// The signature of a crash: 16 lower-case hexadecimal digits, the first 8
// bytes of the SHA-256 of a canonical text (version 1), NUL-separated:
//
//   "kestrel/signature/1"
//   "executable"  "build-id:<hex>", else "path:<path of /proc/<pid>/exe>"
//   "signal"      the signal number in decimal
//   "module"      "build-id:<hex>" of the file mapped at the program counter,
//                 else "name:<its base name>", else "none"
//   "offset"      "0x<hex>": the counter's offset in that file; "none" when
//                 unknown
//
// each item followed by a NUL. Paths lose a trailing " (deleted)", which a
// binary replaced by an upgrade carries. A counter in no file mapping
// counts as the offset itself only below 64 KiB (a call through a null
// pointer, the same on every run); elsewhere it moves with address-space
// randomisation and is left out. So the same fault gives the same
// signature across restarts, randomisation and hosts with the same
// binaries.

#include "archive/notes.h"

#include "common/facts.h"

#include <cstddef>

#define KS_SIGNATURE_SIZE KS_FACTS_SIGNATURE_SIZE

// The signature of the crash the notes describe. executable is the path of
// the crashed program, the build-ids lower-case hexadecimal; each may be
// null or empty when unknown. False (signature empty) without valid notes.
bool ks_signature_make(const struct ks_notes *notes, const char *executable, const char *executable_build_id,
                       const char *module_build_id, char signature[KS_SIGNATURE_SIZE]);


// Adds the crash's facts under the keys that common/facts.h documents:
// signature (unless empty), signal, signal.name, signal.code,
// fault.address or sender.pid and sender.uid, thread, pc, sp, module,
// module.offset, module.build_id, executable.build_id; each only when
// known. False once an allocation has failed.
bool ks_signature_facts(struct ks_facts_text *t, const char *signature, const struct ks_notes *notes,
                        const char *executable_build_id, const char *module_build_id);

#endif
