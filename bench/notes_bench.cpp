// What the signature costs the archiver per crash: parsing the notes of a
// core image (a process with many threads and mappings, laid out as the
// kernel writes it), reading two build-ids, and making the signature and
// its facts. Compare "per crash" with the per-crash time of
// bench/archive_bench.sh on its 1 GiB image.

#include "archive/buildid.h"
#include "archive/notes.h"
#include "archive/signature.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <string>

namespace {

void put(std::string &s, const void *p, size_t n) { s.append(static_cast<const char *>(p), n); }
template <typename T> void put_value(std::string &s, T v) { put(s, &v, sizeof v); }

std::string note(uint32_t type, const std::string &desc, const char *name = "CORE")
{
    std::string n;
    put_value<uint32_t>(n, static_cast<uint32_t>(strlen(name) + 1));
    put_value<uint32_t>(n, static_cast<uint32_t>(desc.size()));
    put_value<uint32_t>(n, type);
    n.append(name, strlen(name) + 1);
    n.resize((n.size() + 3) & ~size_t(3), '\0');
    n += desc;
    n.resize((n.size() + 3) & ~size_t(3), '\0');
    return n;
}

// threads threads, mappings file mappings, the counter in the last one.
std::string core_prefix(unsigned threads, unsigned mappings)
{
    std::string notes, d(336, '\0'), files;
    uint64_t pc = 0x400000 + uint64_t(mappings - 1) * 0x100000 + 0x321;
    int16_t signal = 11;

    for (unsigned t = 0; t < threads; t++) {
        int32_t tid = static_cast<int32_t>(1000 + t);
        memcpy(&d[12], &signal, 2);
        memcpy(&d[32], &tid, 4);
        memcpy(&d[112 + 16 * 8], &pc, 8);
        notes += note(NT_PRSTATUS, d);
        if (t == 0) {
            notes += note(NT_PRPSINFO, std::string(136, 'p'));
            std::string info(128, '\0');
            int32_t signo = 11, code = 1;
            memcpy(&info[0], &signo, 4);
            memcpy(&info[8], &code, 4);
            notes += note(NT_SIGINFO, info);
            notes += note(NT_AUXV, std::string(368, 'a'));
            put_value<uint64_t>(files, mappings);
            put_value<uint64_t>(files, 4096);
            for (unsigned m = 0; m < mappings; m++) {
                put_value<uint64_t>(files, 0x400000 + uint64_t(m) * 0x100000);
                put_value<uint64_t>(files, 0x400000 + uint64_t(m) * 0x100000 + 0x80000);
                put_value<uint64_t>(files, m);
            }
            for (unsigned m = 0; m < mappings; m++) {
                std::string name = "/usr/lib/x86_64-linux-gnu/libmodule-" + std::to_string(m) + ".so.1";
                files.append(name.c_str(), name.size() + 1);
            }
            notes += note(NT_FILE, files);
        }
        notes += note(NT_FPREGSET, std::string(512, 'f'));
        notes += note(0x202, std::string(2688, 'x'), "LINUX");
    }
    Elf64_Ehdr eh = {};
    memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_CORE;
    eh.e_machine = EM_X86_64;
    eh.e_phoff = sizeof eh;
    eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_phnum = static_cast<uint16_t>(mappings + 1);
    std::string s;
    put(s, &eh, sizeof eh);
    Elf64_Phdr ph = {};
    ph.p_type = PT_NOTE;
    ph.p_offset = sizeof eh + (mappings + 1) * sizeof ph;
    ph.p_filesz = notes.size();
    put(s, &ph, sizeof ph);
    for (unsigned m = 0; m < mappings; m++) {
        ph.p_type = PT_LOAD;
        ph.p_offset = 1u << 20;
        ph.p_filesz = 0x80000;
        put(s, &ph, sizeof ph);
    }
    return s + notes;
}

void BM_NotesParse(benchmark::State &state)
{
    std::string prefix = core_prefix(static_cast<unsigned>(state.range(0)), static_cast<unsigned>(state.range(1)));
    struct ks_notes n;

    for (auto _ : state) {
        size_t needed = ks_notes_needed(prefix.data(), prefix.size());
        ks_notes_parse(prefix.data(), needed, &n);
        benchmark::DoNotOptimize(n);
    }
    if (!n.valid || !n.has_module)
        state.SkipWithError("the image gave no signature");
    state.counters["prefix KiB"] = static_cast<double>(prefix.size()) / 1024;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * prefix.size()));
}
BENCHMARK(BM_NotesParse)->Args({1, 40})->Args({16, 300})->Args({256, 2000});

void BM_BuildId(benchmark::State &state)
{
    const char *path = state.range(0) == 0 ? "/proc/self/exe" : "/lib/x86_64-linux-gnu/libc.so.6";
    char hex[KS_BUILDID_HEX_SIZE];

    for (auto _ : state)
        benchmark::DoNotOptimize(ks_buildid_read_at(AT_FDCWD, path, hex));
    if (hex[0] == '\0')
        state.SkipWithError("no build-id");
    state.SetLabel(path);
}
BENCHMARK(BM_BuildId)->Arg(0)->Arg(1);

// The whole of it for one crash of a typical service: notes, the
// executable's and the module's build-ids, signature and facts.
void BM_PerCrash(benchmark::State &state)
{
    std::string prefix = core_prefix(16, 300);
    char exe[KS_BUILDID_HEX_SIZE], module[KS_BUILDID_HEX_SIZE], signature[KS_SIGNATURE_SIZE];
    struct ks_notes n;

    for (auto _ : state) {
        ks_notes_parse(prefix.data(), ks_notes_needed(prefix.data(), prefix.size()), &n);
        ks_buildid_read_at(AT_FDCWD, "/proc/self/exe", exe);
        ks_buildid_read_at(AT_FDCWD, "/lib/x86_64-linux-gnu/libc.so.6", module);
        ks_signature_make(&n, "/usr/bin/service", exe, module, signature);
        struct ks_facts_text t = {};
        ks_signature_facts(&t, signature, &n, exe, module);
        ks_facts_release(&t);
    }
}
BENCHMARK(BM_PerCrash);

} // namespace

BENCHMARK_MAIN();
