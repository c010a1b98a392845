// The core-image note parser and the build-id reader on arbitrary input.
// The input sits in an allocation of exactly its size, so that a read past
// it is caught. Reading only as far as ks_notes_needed asks must give the
// same facts as the whole input, and reading from a descriptor must stop
// there.

#include "archive/buildid.h"
#include "archive/notes.h"
#include "archive/signature.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

static int memfd = -1;
static unsigned char *prefix;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    memfd = memfd_create("notes_fuzz", MFD_CLOEXEC);
    prefix = static_cast<unsigned char *>(malloc(KS_NOTES_PREFIX_MAX));
    if (memfd == -1 || prefix == nullptr)
        abort();
    return 0;
}

static void check(bool condition)
{
    if (!condition)
        abort();
}

static bool same(const struct ks_notes *a, const struct ks_notes *b)
{
    return a->valid == b->valid && a->signal == b->signal && a->has_thread == b->has_thread &&
           a->thread == b->thread && a->has_registers == b->has_registers && a->pc == b->pc &&
           a->has_module == b->has_module && a->module_offset == b->module_offset &&
           (!a->has_module || strcmp(a->module, b->module) == 0);
}

static void facts(const struct ks_notes *n)
{
    char signature[KS_SIGNATURE_SIZE];
    struct ks_facts_text t = {};

    check(ks_signature_make(n, "/usr/bin/fuzz", nullptr, "", signature) == n->valid);
    check(strlen(signature) == (n->valid ? 16u : 0u));
    check(!n->valid || n->signal > 0);
    (void) ks_signature_facts(&t, signature, n, "00ff", nullptr);
    ks_facts_release(&t);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto *copy = static_cast<unsigned char *>(malloc(size != 0 ? size : 1));
    struct ks_notes whole, part;

    memcpy(copy, data, size);
    size_t needed = ks_notes_needed(copy, size);
    check(needed <= KS_NOTES_PREFIX_MAX);
    ks_notes_parse(copy, size, &whole);
    facts(&whole);
    if (needed <= size) {
        ks_notes_parse(copy, needed, &part);
        check(same(&whole, &part));
    }

    check(ftruncate(memfd, 0) == 0 && pwrite(memfd, copy, size, 0) == static_cast<ssize_t>(size));
    check(lseek(memfd, 0, SEEK_SET) == 0);
    ssize_t n = ks_notes_read(memfd, prefix, KS_NOTES_PREFIX_MAX);
    check(n >= 0 && static_cast<size_t>(n) <= size);
    check(static_cast<size_t>(n) == size || ks_notes_needed(prefix, static_cast<size_t>(n)) <= static_cast<size_t>(n));
    ks_notes_parse(prefix, static_cast<size_t>(n), &part);
    if (needed <= size)
        check(same(&whole, &part));

    char hex[KS_BUILDID_HEX_SIZE];
    bool found = ks_buildid_read(memfd, hex);
    size_t length = strlen(hex);
    check(found ? length > 0 && length % 2 == 0 && length <= 2 * KS_BUILDID_MAX : length == 0);
    free(copy);
    return 0;
}
