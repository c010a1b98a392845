// Crash signatures from real core images, made as the demo makes them: gdb
// holds a program compiled here at its fatal signal and writes its core.
// Malformed images are built by hand around the same notes.

#include "images.h"
#include "common/facts.h"
#include "support.h"

#include "archive/buildid.h"
#include "archive/notes.h"
#include "archive/signature.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char program[] = R"(#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

volatile int *volatile nowhere;
static const char *tid_file;

__attribute__((noinline)) void fault_write(void) { *nowhere = 1; }
__attribute__((noinline)) int fault_read(void) { return nowhere[4]; }

// No stdio and a small stack in the worker: gdb writes the notes after the
// memory, and they must stay within the prefix the archiver reads.
static void *worker_abort(void *arg)
{
    char text[32];
    int fd = open(tid_file, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int n = snprintf(text, sizeof text, "%ld\n", (long) syscall(SYS_gettid));
    if (write(fd, text, n) != n)
        return arg;
    close(fd);
    abort();
    return arg;
}

int main(int argc, char **argv)
{
    pthread_attr_t attr;
    pthread_t worker;

    if (argc > 2)
        tid_file = argv[2];
    if (strcmp(argv[1], "write") == 0)
        fault_write();
    if (strcmp(argv[1], "read") == 0)
        return fault_read();
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 65536);
    pthread_create(&worker, &attr, worker_abort, NULL);
    pthread_join(worker, NULL);
    return 0;
}
)";

// Compilers, gdb and binutils run without the syslog stand-in, which a
// sanitized build could not preload into them.
ks_test_result sh(const std::string &command)
{
    char out[] = "/tmp/ks-signature-out-XXXXXX";
    int fd = mkstemp(out);
    ks_test_result r = {-1, "", ""};

    if (fd == -1)
        return r;
    close(fd);
    r.status = system(("(" + command + ") >'" + out + "' 2>&1 </dev/null").c_str());
    r.out = ks_test_read_file(out);
    unlink(out);
    return r;
}

struct crash {
    struct ks_notes notes;
    std::string prefix; // the notes point into it
    std::string signature;
    std::map<std::string, std::string> facts;
};

// The prefix as the archiver reads it from its pipe, then the facts.
void crash_read(const std::string &image, const std::string &executable, struct crash *c)
{
    int fds[2];
    char exe_id[KS_BUILDID_HEX_SIZE] = "", module_id[KS_BUILDID_HEX_SIZE] = "", sig[KS_SIGNATURE_SIZE];

    ASSERT_EQ(pipe(fds), 0);
    pid_t writer = fork();
    if (writer == 0) {
        close(fds[0]);
        int in = open(image.c_str(), O_RDONLY);
        char buffer[65536];
        ssize_t n;
        while ((n = read(in, buffer, sizeof buffer)) > 0)
            if (write(fds[1], buffer, static_cast<size_t>(n)) != n)
                break;
        _exit(0);
    }
    close(fds[1]);
    c->prefix.assign(KS_NOTES_PREFIX_MAX, '\0');
    ssize_t n = ks_notes_read(fds[0], reinterpret_cast<unsigned char *>(c->prefix.data()), c->prefix.size());
    ASSERT_GT(n, 0);
    c->prefix.resize(static_cast<size_t>(n));
    close(fds[0]);
    ks_test_stop(writer);
    ks_notes_parse(c->prefix.data(), c->prefix.size(), &c->notes);
    (void) ks_buildid_read_at(AT_FDCWD, executable.c_str(), exe_id);
    if (c->notes.has_module)
        (void) ks_buildid_read_at(AT_FDCWD, c->notes.module, module_id);
    ks_signature_make(&c->notes, executable.c_str(), exe_id, module_id, sig);
    c->signature = sig;
    struct ks_facts_text t = {};
    ASSERT_TRUE(ks_signature_facts(&t, sig, &c->notes, exe_id, module_id));
    c->facts = ks_test_facts(t.data != nullptr ? std::string(t.data, t.length) : "");
    ks_facts_release(&t);
}

// The symbol's address in the file's own numbering, turned into a file
// offset through the program headers, and its size.
bool symbol_offsets(const std::string &binary, const std::string &symbol, uint64_t *start, uint64_t *end)
{
    auto nm = sh("nm -S '" + binary + "' | awk '$4 == \"" + symbol + "\" {print $1, $2}'");
    unsigned long long address, size;
    if (sscanf(nm.out.c_str(), "%llx %llx", &address, &size) != 2)
        return false;
    std::string elf = ks_test_read_file(binary);
    Elf64_Ehdr eh;
    memcpy(&eh, elf.data(), sizeof eh);
    for (unsigned i = 0; i < eh.e_phnum; i++) {
        Elf64_Phdr ph;
        memcpy(&ph, elf.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
        if (ph.p_type == PT_LOAD && address >= ph.p_vaddr && address < ph.p_vaddr + ph.p_filesz) {
            *start = address - ph.p_vaddr + ph.p_offset;
            *end = *start + size;
            return true;
        }
    }
    return false;
}

class Signature : public ::testing::Test {
protected:
    ks_test_dir dir;
    std::string binary = dir / "crasher";

    void SetUp() override
    {
        if (sh("command -v gdb && command -v cc").status != 0)
            GTEST_SKIP() << "gdb and cc are needed";
        ks_test_write_file(dir / "crasher.c", program);
        auto built = sh("cc -g -O0 -pthread -o '" + binary + "' '" + (dir / "crasher.c") + "'");
        ASSERT_EQ(built.status, 0) << built.err;
    }

    // gdb runs the program to its fatal signal and writes the core.
    std::string core_of(const std::string &exe, const std::string &mode, bool randomize = false)
    {
        std::string core = dir / ("core." + mode + std::to_string(cores++));
        std::string script = dir / "core.gdb";
        ks_test_write_file(script, std::string("set pagination off\nset confirm off\nset disable-randomization ") +
                                       (randomize ? "off" : "on") + "\nrun " + mode + " " + (dir / "tid") +
                                       "\ngenerate-core-file " + core + "\nkill\n");
        auto run = sh("gdb -batch -nx -q -x '" + script + "' '" + exe + "'");
        if (!ks_test_exists(core))
            ADD_FAILURE() << "gdb made no core: " << run.out << run.err;
        return core;
    }

    int cores = 0;
};

TEST_F(Signature, RealCoresNameTheFaultAndGroupRepeats)
{
    struct crash first, again, copied, other, aborted;
    std::string copy = dir / "elsewhere";

    ASSERT_EQ(sh("cp '" + binary + "' '" + copy + "'").status, 0);
    crash_read(core_of(binary, "write"), binary, &first);
    // Address-space randomisation on: other addresses, the same fault.
    crash_read(core_of(binary, "write", true), binary, &again);
    // The same binary under another path, as on another host.
    crash_read(core_of(copy, "write"), copy, &copied);
    crash_read(core_of(binary, "read"), binary, &other);
    crash_read(core_of(binary, "abort"), binary, &aborted);

    struct {
        const char *what;
        struct crash *c;
        const char *symbol; // where the counter must be
        int signal;
    } scenarios[] = {
        {"write", &first, "fault_write", SIGSEGV},      {"write, randomised", &again, "fault_write", SIGSEGV},
        {"write, copied", &copied, "fault_write", SIGSEGV}, {"read", &other, "fault_read", SIGSEGV},
        {"abort in a worker", &aborted, nullptr, SIGABRT},
    };
    for (auto &s : scenarios) {
        SCOPED_TRACE(s.what);
        ASSERT_TRUE(s.c->notes.valid);
        EXPECT_EQ(s.c->notes.signal, s.signal);
        EXPECT_EQ(s.c->signature.size(), 16u);
        EXPECT_EQ(s.c->signature.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(s.c->facts["signature"], s.c->signature);
        EXPECT_EQ(s.c->facts["signal"], std::to_string(s.signal));
        EXPECT_TRUE(s.c->notes.has_registers && s.c->notes.has_module);
        EXPECT_FALSE(s.c->facts["executable.build_id"].empty());
        if (s.symbol == nullptr)
            continue;
        uint64_t start = 0, end = 0;
        std::string module = s.c->facts["module"];
        ASSERT_TRUE(symbol_offsets(module, s.symbol, &start, &end)) << module;
        EXPECT_GE(s.c->notes.module_offset, start);
        EXPECT_LT(s.c->notes.module_offset, end);
        EXPECT_EQ(s.c->facts["signal.name"], "SIGSEGV");
        EXPECT_EQ(s.c->facts["signal.code"], "1"); // SEGV_MAPERR
        EXPECT_EQ(s.c->facts.count("fault.address"), 1u);
        EXPECT_EQ(s.c->facts.count("sender.pid"), 0u);
    }
    EXPECT_NE(first.notes.pc, again.notes.pc);
    EXPECT_EQ(first.signature, again.signature);
    EXPECT_EQ(first.signature, copied.signature);
    EXPECT_NE(first.signature, other.signature);
    EXPECT_NE(first.signature, aborted.signature);

    // The worker that called abort took the signal: its thread, its
    // process as the sender, and no fault address.
    std::string tid = ks_test_read_file(dir / "tid");
    EXPECT_EQ(aborted.facts["thread"] + "\n", tid);
    EXPECT_EQ(aborted.facts["signal.name"], "SIGABRT");
    EXPECT_EQ(aborted.facts.count("fault.address"), 0u);
    EXPECT_FALSE(aborted.facts["sender.pid"].empty());
    EXPECT_EQ(aborted.facts["sender.uid"], std::to_string(getuid()));
}

TEST_F(Signature, WithoutBuildIdsPathsAndNamesStandIn)
{
    std::string bare = dir / "bare";
    struct crash one, two;

    auto built = sh("cc -g -O0 -pthread -Wl,--build-id=none -o '" + bare + "' '" + (dir / "crasher.c") + "'");
    ASSERT_EQ(built.status, 0) << built.err;
    char hex[KS_BUILDID_HEX_SIZE];
    EXPECT_FALSE(ks_buildid_read_at(AT_FDCWD, bare.c_str(), hex));
    EXPECT_STREQ(hex, "");
    crash_read(core_of(bare, "write"), bare, &one);
    crash_read(core_of(bare, "write", true), bare, &two);
    ASSERT_TRUE(one.notes.valid);
    EXPECT_EQ(one.facts.count("executable.build_id"), 0u);
    EXPECT_EQ(one.facts.count("module.build_id"), 0u);
    EXPECT_EQ(one.signature, two.signature);
}

// ---- Hand-built images (support/images.h): the kernel's layout, notes
// right after the headers.

using ks_test_image::files;
using ks_test_image::image;
using ks_test_image::note;
using ks_test_image::prstatus;
using ks_test_image::put;
using ks_test_image::siginfo;

const std::string good_notes = prstatus(42, 11, 0x400000 + 0x100000 + 0x123, 0x7ffc0000) + siginfo(11, 1, 0x10) +
                               files(2, {"/usr/bin/victim", "/usr/lib/libvictim.so.1"}) +
                               note(0x202, std::string(512, 'x'), "LINUX");

// The notes point into prefix, which must outlive them.
struct ks_notes parse(const std::string &prefix)
{
    struct ks_notes n;
    ks_notes_parse(prefix.data(), prefix.size(), &n);
    return n;
}

TEST(Notes, HandBuiltImagesAreReadOnlyWhenWellFormed)
{
    std::string good = image(good_notes);
    size_t notes_end = 64 + 2 * 56 + good_notes.size();
    size_t file_end = notes_end - note(0x202, std::string(512, 'x'), "LINUX").size();
    std::string lying_desc = good_notes;
    uint32_t huge = 0x7fffffff;
    memcpy(&lying_desc[4], &huge, 4);
    std::string unterminated_desc;
    put<uint64_t>(unterminated_desc, 1);
    put<uint64_t>(unterminated_desc, 4096);
    put<uint64_t>(unterminated_desc, 0x400000);
    put<uint64_t>(unterminated_desc, 0x410000);
    put<uint64_t>(unterminated_desc, 0);
    unterminated_desc += "name";
    std::string unterminated = prstatus(1, 11, 0x400010, 0) + note(NT_FILE, unterminated_desc);

    struct {
        const char *what;
        std::string prefix;
        bool valid;
        bool module;
    } scenarios[] = {
        {"whole image", good, true, true},
        {"only the notes' prefix", good.substr(0, notes_end), true, true},
        {"cut after the mappings", good.substr(0, file_end), true, true},
        {"cut before the mappings", good.substr(0, file_end - 40), false, false},
        {"cut in the program headers", good.substr(0, 100), false, false},
        {"cut in a note's padding",
         image(prstatus(1, 11, 0x400010, 0) + note(0x999, "abc")).substr(0, 64 + 2 * 56 + 356 + 12 + 8 + 3), false,
         false},
        {"empty", "", false, false},
        {"text", std::string(4096, 'a'), false, false},
        {"an executable", image(good_notes, 8192, ELFCLASS64, ELFDATA2LSB, ET_DYN), false, false},
        {"32-bit", image(good_notes, 8192, ELFCLASS32), false, false},
        {"big-endian", image(good_notes, 8192, ELFCLASS64, ELFDATA2MSB), false, false},
        {"a note larger than its segment", image(lying_desc), false, false},
        {"mappings counted beyond their note", image(prstatus(1, 11, 0x400010, 0) + files(1000000, {"a"})), false,
         false},
        {"a name without its end", image(unterminated), false, false},
        {"no signal", image(prstatus(1, 0, 0x400010, 0) + files(1, {"a"})), false, false},
        {"signal only from the registers' note", image(prstatus(7, 6, 0x400010, 0) + files(1, {"/bin/a"})), true,
         true},
        {"counter in no mapping", image(prstatus(7, 11, 0x10, 0) + files(1, {"/bin/a"})), true, false},
    };
    for (auto &s : scenarios) {
        SCOPED_TRACE(s.what);
        // Exactly as long as the input: a read past it is caught by the sanitizers.
        std::vector<char> exact(s.prefix.begin(), s.prefix.end());
        struct ks_notes n;
        ks_notes_parse(exact.data(), exact.size(), &n);
        EXPECT_EQ(n.valid, s.valid);
        EXPECT_EQ(n.has_module, s.module);
        EXPECT_LE(ks_notes_needed(exact.data(), exact.size()), KS_NOTES_PREFIX_MAX);
        char sig[KS_SIGNATURE_SIZE];
        EXPECT_EQ(ks_signature_make(&n, "/usr/bin/victim", "", "", sig), s.valid);
    }

    struct ks_notes n = parse(good);
    EXPECT_EQ(n.thread, 42);
    EXPECT_EQ(n.signal, 11);
    EXPECT_EQ(n.address, 0x10u);
    EXPECT_EQ(n.module_offset, 0x123u + 2 * 4096);
    EXPECT_STREQ(n.module, "/usr/lib/libvictim.so.1");
    EXPECT_EQ(n.module_start, 0x500000u);
    EXPECT_EQ(n.module_end, 0x510000u);
    EXPECT_EQ(ks_notes_needed(good.data(), 10), 64u);
    EXPECT_EQ(ks_notes_needed(good.data(), 64), 64u + 2 * 56);
    EXPECT_EQ(ks_notes_needed(good.data(), good.size()), notes_end);
    EXPECT_EQ(ks_notes_needed("\x7f" "ELX", 4), 4u);

    // A cut image keeps its signature while the mappings came before the cut.
    char whole[KS_SIGNATURE_SIZE], cut[KS_SIGNATURE_SIZE];
    std::string cut_image = good.substr(0, file_end); // the notes point into it
    struct ks_notes c = parse(cut_image);
    ASSERT_TRUE(ks_signature_make(&n, "/usr/bin/victim", "", "", whole));
    ASSERT_TRUE(ks_signature_make(&c, "/usr/bin/victim", "", "", cut));
    EXPECT_STREQ(whole, cut);
}

TEST(Notes, ReadingStopsWhereTheNotesEnd)
{
    std::string good = image(good_notes, 1 << 20);
    int fds[2];

    ASSERT_EQ(pipe(fds), 0);
    pid_t writer = fork();
    if (writer == 0) {
        close(fds[0]);
        (void) !write(fds[1], good.data(), good.size());
        _exit(0);
    }
    close(fds[1]);
    std::vector<unsigned char> buffer(KS_NOTES_PREFIX_MAX);
    ssize_t n = ks_notes_read(fds[0], buffer.data(), buffer.size());
    ASSERT_EQ(n, static_cast<ssize_t>(64 + 2 * 56 + good_notes.size()));
    std::string rest;
    char chunk[65536];
    ssize_t m;
    while ((m = read(fds[0], chunk, sizeof chunk)) > 0)
        rest.append(chunk, static_cast<size_t>(m));
    close(fds[0]);
    ks_test_stop(writer);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + n) + rest, good);

    // A header whose program headers lie beyond the bound wants only the bound.
    std::string far = good;
    uint64_t phoff = KS_NOTES_PREFIX_MAX;
    memcpy(&far[32], &phoff, 8);
    EXPECT_EQ(ks_notes_needed(far.data(), far.size()), KS_NOTES_PREFIX_MAX);
    EXPECT_FALSE(parse(far).valid);
}

TEST(BuildId, OnlyRegularFilesAndBoundedReads)
{
    ks_test_dir dir;
    char hex[KS_BUILDID_HEX_SIZE];
    std::string fifo = dir / "fifo";

    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct {
        const char *what;
        std::string path;
        bool found;
    } scenarios[] = {
        {"a FIFO nobody writes", fifo, false},
        {"a device", "/dev/zero", false},
        {"a directory", dir.path, false},
        {"missing", dir / "missing", false},
        {"a core image", (ks_test_write_file(dir / "core", image(good_notes)), dir / "core"), false},
    };
    for (auto &s : scenarios) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(ks_buildid_read_at(AT_FDCWD, s.path.c_str(), hex), s.found);
        EXPECT_STREQ(hex, "");
    }
    ASSERT_TRUE(ks_buildid_read_at(AT_FDCWD, "/bin/sh", hex));
    EXPECT_EQ(std::string(hex) + "\n", sh("readelf -n \"$(readlink -f /bin/sh)\" | awk '/Build ID/ {print $3}'").out);
}

TEST(SignatureFacts, SignalNamesAndASentSignal)
{
    char name[32];
    EXPECT_STREQ(ks_facts_signal_name(SIGSEGV, name, sizeof name), "SIGSEGV");
    EXPECT_STREQ(ks_facts_signal_name(SIGRTMIN + 2, name, sizeof name), "SIGRTMIN+2");
    EXPECT_STREQ(ks_facts_signal_name(200, name, sizeof name), "signal 200");

    // SIGSEGV sent with kill(2): a sender, no fault address.
    std::string d(128, '\0');
    int32_t signal = SIGSEGV, code = 0, pid = 4321;
    uint32_t uid = 1000;
    memcpy(&d[0], &signal, 4);
    memcpy(&d[8], &code, 4);
    memcpy(&d[16], &pid, 4);
    memcpy(&d[20], &uid, 4);
    std::string sent = image(prstatus(9, 11, 0x400010, 0x1000) + note(NT_SIGINFO, d) + files(1, {"/bin/a"}));
    struct ks_notes n = parse(sent);
    ASSERT_TRUE(n.valid);
    struct ks_facts_text t = {};
    ASSERT_TRUE(ks_signature_facts(&t, "0123456789abcdef", &n, "", nullptr));
    auto facts = ks_test_facts(std::string(t.data, t.length));
    ks_facts_release(&t);
    std::map<std::string, std::string> expected = {
        {"signature", "0123456789abcdef"}, {"signal", "11"},   {"signal.name", "SIGSEGV"}, {"signal.code", "0"},
        {"sender.pid", "4321"},            {"sender.uid", "1000"}, {"thread", "9"},        {"pc", "0x400010"},
        {"sp", "0x1000"},                  {"module", "/bin/a"}, {"module.offset", "0x2010"},
    };
    EXPECT_EQ(facts, expected);
}

} // namespace
