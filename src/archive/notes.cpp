#include "archive/notes.h"

#include "archive/elf.h"

#include <cerrno>
#include <cstring>
#include <elf.h>
#include <unistd.h>

static constexpr size_t ehdr_size = 64;
static constexpr size_t phdr_size = 56;
static constexpr size_t nhdr_size = 12;

// Offsets in the kernel's 64-bit struct elf_prstatus: pr_cursig after the
// three ints of elf_siginfo, pr_pid after two longs, pr_reg after the four
// timevals.
static constexpr size_t prstatus_cursig = 12;
static constexpr size_t prstatus_pid = 32;
static constexpr size_t prstatus_reg = 112;

static bool magic_fits(const unsigned char *p, size_t length)
{
    static const unsigned char ident[] = {ELFMAG0, ELFMAG1, ELFMAG2, ELFMAG3, ELFCLASS64, ELFDATA2LSB, EV_CURRENT};

    return length == 0 || memcmp(p, ident, length < sizeof ident ? length : sizeof ident) == 0;
}

static bool header_fits(const unsigned char *p)
{
    return magic_fits(p, ehdr_size) && ks_elf_le16(p + 16) == ET_CORE && ks_elf_le16(p + 54) == phdr_size && ks_elf_le16(p + 56) != 0;
}

// The program headers' extent. With PN_XNUM the real count sits in a section
// header at the end of the image, out of reach; the kernel writes the note
// segment's header first, so that one alone is read.
static uint64_t table_end(const unsigned char *p, uint64_t *count)
{
    uint64_t phoff = ks_elf_le64(p + 32);
    uint16_t phnum = ks_elf_le16(p + 56);

    *count = phnum == PN_XNUM ? 1 : phnum;
    if (phoff > KS_NOTES_PREFIX_MAX)
        return UINT64_MAX;
    return phoff + *count * phdr_size;
}

size_t ks_notes_needed(const void *prefix, size_t length)
{
    const auto *p = static_cast<const unsigned char *>(prefix);
    uint64_t count, need;

    if (length < ehdr_size)
        return magic_fits(p, length) ? ehdr_size : length;
    if (!header_fits(p))
        return length;
    need = table_end(p, &count);
    if (need > KS_NOTES_PREFIX_MAX)
        return KS_NOTES_PREFIX_MAX;
    if (length < need)
        return static_cast<size_t>(need);
    const unsigned char *ph = p + ks_elf_le64(p + 32);
    for (uint64_t i = 0; i < count; i++, ph += phdr_size) {
        if (ks_elf_le32(ph) != PT_NOTE)
            continue;
        uint64_t offset = ks_elf_le64(ph + 8), size = ks_elf_le64(ph + 32);
        if (offset > KS_NOTES_PREFIX_MAX || size > KS_NOTES_PREFIX_MAX)
            return KS_NOTES_PREFIX_MAX;
        if (offset + size > need)
            need = offset + size;
    }
    return static_cast<size_t>(need < KS_NOTES_PREFIX_MAX ? need : KS_NOTES_PREFIX_MAX);
}

ssize_t ks_notes_read(int fd, unsigned char *buffer, size_t size)
{
    size_t have = 0;

    for (;;) {
        size_t need = ks_notes_needed(buffer, have);
        if (need > size)
            need = size;
        if (need <= have)
            return static_cast<ssize_t>(have);
        ssize_t n = read(fd, buffer + have, need - have);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            return -1;
        if (n == 0)
            return static_cast<ssize_t>(have);
        have += static_cast<size_t>(n);
    }
}

struct walk {
    bool malformed;
    bool cut;             // a note segment goes on beyond the prefix
    bool has_cursig;
    int cursig;
    const unsigned char *files; // the first NT_FILE's data
    size_t files_length;
};

static void prstatus_take(const unsigned char *d, size_t n, struct ks_notes *notes, struct walk *w)
{
    if (notes->has_thread || n < prstatus_pid + 4)
        return;
    notes->has_thread = true;
    notes->thread = static_cast<int32_t>(ks_elf_le32(d + prstatus_pid));
    w->cursig = static_cast<int16_t>(ks_elf_le16(d + prstatus_cursig));
    w->has_cursig = true;
    // user_regs_struct: rip is register 16, rsp 19. user_pt_regs: x0..x30, sp, pc.
    size_t pc = 0, sp = 0;
    if (notes->machine == EM_X86_64) {
        pc = prstatus_reg + 16 * 8;
        sp = prstatus_reg + 19 * 8;
    } else if (notes->machine == EM_AARCH64) {
        pc = prstatus_reg + 32 * 8;
        sp = prstatus_reg + 31 * 8;
    }
    if (pc != 0 && n >= pc + 8 && n >= sp + 8) {
        notes->has_registers = true;
        notes->pc = ks_elf_le64(d + pc);
        notes->sp = ks_elf_le64(d + sp);
    }
}

// siginfo_t as the process saw it: si_signo, si_errno, si_code, then the
// union at 16 (si_addr for faults; si_pid and si_uid for a sender).
static void siginfo_take(const unsigned char *d, size_t n, struct ks_notes *notes)
{
    if (notes->has_siginfo || n < 24)
        return;
    notes->has_siginfo = true;
    notes->signal = static_cast<int>(ks_elf_le32(d));
    notes->code = static_cast<int>(ks_elf_le32(d + 8));
    notes->address = ks_elf_le64(d + 16);
    notes->sender_pid = static_cast<int32_t>(ks_elf_le32(d + 16));
    notes->sender_uid = ks_elf_le32(d + 20);
}

// NT_FILE: count and page size, count triples (start, end, page offset),
// then count NUL-terminated names.
static void module_find(struct ks_notes *notes, struct walk *w)
{
    const unsigned char *d = w->files;
    size_t n = w->files_length;

    if (n < 16) {
        w->malformed = true;
        return;
    }
    uint64_t count = ks_elf_le64(d), page = ks_elf_le64(d + 8);
    if (count > (n - 16) / 24 || page == 0 || (page & (page - 1)) != 0 || page > (1u << 30)) {
        w->malformed = true;
        return;
    }
    const unsigned char *name = d + 16 + count * 24, *end = d + n;
    for (uint64_t i = 0; i < count; i++) {
        const void *nul = memchr(name, '\0', static_cast<size_t>(end - name));
        if (nul == nullptr) {
            w->malformed = true;
            return;
        }
        const unsigned char *e = d + 16 + i * 24;
        uint64_t start = ks_elf_le64(e), stop = ks_elf_le64(e + 8);
        if (notes->has_registers && !notes->has_module && start <= notes->pc && notes->pc < stop) {
            notes->has_module = true;
            notes->module_start = start;
            notes->module_end = stop;
            notes->module_offset = notes->pc - start + ks_elf_le64(e + 16) * page;
            notes->module = reinterpret_cast<const char *>(name);
        }
        name = static_cast<const unsigned char *>(nul) + 1;
    }
}

static void note_take(uint32_t type, const unsigned char *d, size_t n, struct ks_notes *notes, struct walk *w)
{
    switch (type) {
    case NT_PRSTATUS:
        prstatus_take(d, n, notes, w);
        break;
    case NT_SIGINFO:
        siginfo_take(d, n, notes);
        break;
    case NT_FILE:
        if (w->files == nullptr) {
            w->files = d;
            w->files_length = n;
        }
        break;
    default:
        break;
    }
}

// One PT_NOTE segment, of which available bytes are in the prefix.
static void segment_walk(const unsigned char *s, uint64_t size, uint64_t available, uint64_t align,
                         struct ks_notes *notes, struct walk *w)
{
    uint64_t at = 0;

    if (available < size)
        w->cut = true;
    while (!w->malformed && size - at >= nhdr_size) {
        // The padding of the note before may reach past the prefix.
        if (at > available || available - at < nhdr_size)
            return;
        uint64_t namesz = ks_elf_le32(s + at), descsz = ks_elf_le32(s + at + 4);
        uint32_t type = ks_elf_le32(s + at + 8);
        uint64_t name = at + nhdr_size;
        uint64_t desc = name + ((namesz + align - 1) & ~(align - 1));
        uint64_t next = desc + ((descsz + align - 1) & ~(align - 1));
        if (desc + descsz > size) {
            w->malformed = true;
            return;
        }
        if (desc + descsz > available)
            return;
        if (namesz == 5 && memcmp(s + name, "CORE", 5) == 0)
            note_take(type, s + desc, static_cast<size_t>(descsz), notes, w);
        at = next < size ? next : size;
    }
}

void ks_notes_parse(const void *prefix, size_t length, struct ks_notes *notes)
{
    const auto *p = static_cast<const unsigned char *>(prefix);
    struct walk w = {};
    uint64_t count;

    memset(notes, 0, sizeof *notes);
    if (length < ehdr_size || !header_fits(p))
        return;
    uint64_t end = table_end(p, &count);
    if (end > length)
        return;
    notes->machine = ks_elf_le16(p + 18);
    const unsigned char *ph = p + ks_elf_le64(p + 32);
    for (uint64_t i = 0; i < count && !w.malformed; i++, ph += phdr_size) {
        if (ks_elf_le32(ph) != PT_NOTE)
            continue;
        uint64_t offset = ks_elf_le64(ph + 8), size = ks_elf_le64(ph + 32), align = ks_elf_le64(ph + 48) == 8 ? 8 : 4;
        if (offset >= length) {
            w.cut = true;
            continue;
        }
        if (size > UINT64_MAX - offset) {
            w.malformed = true;
            break;
        }
        segment_walk(p + offset, size, length - offset, align, notes, &w);
    }
    if (w.files != nullptr && !w.malformed)
        module_find(notes, &w);
    if (!notes->has_siginfo && w.has_cursig)
        notes->signal = w.cursig;
    // A core cut inside its notes still counts when what a signature is made
    // of came before the cut; otherwise the same fault could be seen twice
    // under two signatures.
    notes->valid = !w.malformed && notes->signal > 0 && (w.files != nullptr || !w.cut);
    if (!notes->valid)
        memset(notes, 0, sizeof *notes);
}
