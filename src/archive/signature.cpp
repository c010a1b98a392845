#include "archive/signature.h"

#include "common/sha256.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>

static constexpr uint64_t null_page = 64u << 10;
static const char deleted[] = " (deleted)";

static void item(struct ks_sha256 *s, const char *text, size_t length)
{
    static const char nul = '\0';

    ks_sha256_update(s, text, length);
    ks_sha256_update(s, &nul, 1);
}

static void item_text(struct ks_sha256 *s, const char *text) { item(s, text, strlen(text)); }

static size_t path_length(const char *path)
{
    size_t n = strlen(path), d = sizeof deleted - 1;

    return n > d && strcmp(path + n - d, deleted) == 0 ? n - d : n;
}

static void item_prefixed(struct ks_sha256 *s, const char *prefix, const char *text, size_t length)
{
    ks_sha256_update(s, prefix, strlen(prefix));
    item(s, text, length);
}

static bool known(const char *text) { return text != nullptr && text[0] != '\0'; }

bool ks_signature_make(const struct ks_notes *notes, const char *executable, const char *executable_build_id,
                       const char *module_build_id, char signature[KS_SIGNATURE_SIZE])
{
    struct ks_sha256 s;
    unsigned char digest[KS_SHA256_SIZE];
    char number[32];

    signature[0] = '\0';
    if (!notes->valid)
        return false;
    ks_sha256_init(&s);
    item_text(&s, "kestrel/signature/1");
    item_text(&s, "executable");
    if (known(executable_build_id))
        item_prefixed(&s, "build-id:", executable_build_id, strlen(executable_build_id));
    else if (known(executable))
        item_prefixed(&s, "path:", executable, path_length(executable));
    else
        item_text(&s, "none");
    item_text(&s, "signal");
    snprintf(number, sizeof number, "%d", notes->signal);
    item_text(&s, number);
    item_text(&s, "module");
    if (notes->has_module && known(module_build_id)) {
        item_prefixed(&s, "build-id:", module_build_id, strlen(module_build_id));
    } else if (notes->has_module) {
        const char *slash = strrchr(notes->module, '/');
        const char *base = slash != nullptr ? slash + 1 : notes->module;
        item_prefixed(&s, "name:", base, path_length(base));
    } else {
        item_text(&s, "none");
    }
    item_text(&s, "offset");
    if (notes->has_module || (notes->has_registers && notes->pc < null_page)) {
        snprintf(number, sizeof number, "0x%" PRIx64, notes->has_module ? notes->module_offset : notes->pc);
        item_text(&s, number);
    } else {
        item_text(&s, "none");
    }
    ks_sha256_final(&s, digest);
    ks_sha256_hex(digest, 8, signature);
    return true;
}

// Signals whose si_addr is the faulting address when the kernel raised them.
static bool has_address(int signal)
{
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE || signal == SIGTRAP;
}

bool ks_signature_facts(struct ks_facts_text *t, const char *signature, const struct ks_notes *notes,
                        const char *executable_build_id, const char *module_build_id)
{
    char name[32];

    if (known(signature))
        ks_facts_add(t, "signature", signature, strlen(signature));
    if (notes->valid) {
        ks_facts_addf(t, "signal", "%d", notes->signal);
        ks_facts_addf(t, "signal.name", "%s", ks_facts_signal_name(notes->signal, name, sizeof name));
    }
    if (notes->has_siginfo) {
        ks_facts_addf(t, "signal.code", "%d", notes->code);
        if (notes->code > 0 && has_address(notes->signal)) {
            ks_facts_addf(t, "fault.address", "0x%" PRIx64, notes->address);
        } else if (notes->code <= 0) {
            ks_facts_addf(t, "sender.pid", "%" PRId32, notes->sender_pid);
            ks_facts_addf(t, "sender.uid", "%" PRIu32, notes->sender_uid);
        }
    }
    if (notes->has_thread)
        ks_facts_addf(t, "thread", "%" PRId32, notes->thread);
    if (notes->has_registers) {
        ks_facts_addf(t, "pc", "0x%" PRIx64, notes->pc);
        ks_facts_addf(t, "sp", "0x%" PRIx64, notes->sp);
    }
    if (notes->has_module) {
        ks_facts_add(t, "module", notes->module, strlen(notes->module));
        ks_facts_addf(t, "module.offset", "0x%" PRIx64, notes->module_offset);
        if (known(module_build_id))
            ks_facts_add(t, "module.build_id", module_build_id, strlen(module_build_id));
    }
    if (known(executable_build_id))
        ks_facts_add(t, "executable.build_id", executable_build_id, strlen(executable_build_id));
    return !t->failed;
}
