// archive: the crash archiver. The kernel starts it for every crash, through
// the core pattern that kestreld registers, with the core image on standard
// input. It leaves the image in the pending directory of the archive tree
// and the crash's metadata, as an archive object, in the assets directory.

#include "archive/asset.h"
#include "archive/buildid.h"
#include "archive/core.h"
#include "archive/notes.h"
#include "archive/proc.h"
#include "archive/signature.h"

#include "common/cf.h"
#include "common/cred.h"
#include "common/facts.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/ledger.h"
#include "common/log.h"
#include "common/parse.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static const char usage_text[] =
    "Usage: archive [-c <configuration file>] -p <pid> -P <pid> -l <core size limit>\n"
    "\n"
    "Stores the core image on standard input in the archive tree. The kernel\n"
    "starts it through the core pattern that kestreld registers:\n"
    "    |/opt/quellon/kestrel/sbin/archive -p%p -P%P -l%c\n";

// Seconds the archiver may spend on the crashed process's /proc entry, and
// on finding its place in the tree: with a core pipe limit the kernel holds
// the crashed process until the archiver lets go of the pipe.
static constexpr unsigned int proc_seconds = 10;
static constexpr unsigned int tree_seconds = 10;

static struct {
    struct ks_cf *cf;
    const char *cf_path;
    pid_t pid;    // -P, in the initial namespace: names /proc/<pid>
    pid_t ns_pid; // -p, in the process's own namespace
    uint64_t limit;
    time_t when;
    struct ks_proc proc;
    struct ks_facts_text facts;
    char who[4 * PATH_MAX + 64]; // "pid 42 (/usr/bin/x)", for every message
    struct {
        int root, staging, assets, pending;
    } dirs;
    char core[40];  // the image's name in staging, empty until created
    char asset[40]; // the asset's name, empty until created
    // The image's first bytes, read before anything is decided: its notes.
    unsigned char *prefix;
    size_t prefix_length;
    struct ks_notes notes; // points into prefix
    char executable_id[KS_BUILDID_HEX_SIZE];
    char module_id[KS_BUILDID_HEX_SIZE];
    char signature[KS_SIGNATURE_SIZE];
    struct ks_ledger *ledger; // null without a ledger
    int64_t row;              // the crash's row in it
} state = {.dirs = {-1, -1, -1, -1}};

// The kernel starts its helpers with only standard input open. Files opened
// later must not become standard output or error, where the configuration
// loader prints its diagnostics.
static void streams_guard(void)
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) == -1)
            exit(1);
}

// A crash of the archiver must not come back to it through the kernel.
static void dumps_off(void)
{
    // RLIMIT_CORE of 1 is the kernel's own mark against recursive pipe dumps.
    struct rlimit one = {1, 1};

    (void) prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    (void) setrlimit(RLIMIT_CORE, &one);
}

// The kernel's %c: the soft limit in bytes, the largest value for unlimited.
// Anything unreadable is taken as no limit: a core is worth more than a
// bad argument.
static uint64_t limit_parse(const char *text)
{
    char *end;

    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-')
        return KS_CORE_UNLIMITED;
    return static_cast<uint64_t>(value);
}

static void options_parse(int argc, char **argv)
{
    int option;

    state.limit = KS_CORE_UNLIMITED;
    while ((option = getopt(argc, argv, "c:p:P:l:hv")) != -1) {
        switch (option) {
        case 'c':
            state.cf_path = optarg;
            break;
        case 'p':
            (void) ks_parse_pid(&state.ns_pid, optarg);
            break;
        case 'P':
            (void) ks_parse_pid(&state.pid, optarg);
            break;
        case 'l':
            state.limit = limit_parse(optarg);
            break;
        case 'v':
            printf("1.5.18\n");
            exit(0);
        case 'h':
            fputs(usage_text, stdout);
            exit(0);
        default:
            break;
        }
    }
}

// The executable's path is the crashed process's choice: in the log it is
// escaped as the facts escape it, so that it can neither forge a line nor
// reach a terminal that shows the log.
static void who_describe(void)
{
    const char *executable = state.proc.executable != nullptr ? state.proc.executable : "unknown executable";
    // The link's target fits PATH_MAX; each byte escapes into four at most.
    char shown[4 * PATH_MAX + 1];

    shown[ks_facts_escape(executable, strnlen(executable, PATH_MAX), shown)] = '\0';
    if (state.ns_pid > 0 && state.ns_pid != state.pid)
        snprintf(state.who, sizeof state.who, "pid %ld [%ld in its namespace] (%s)",
                 static_cast<long>(state.pid), static_cast<long>(state.ns_pid), shown);
    else
        snprintf(state.who, sizeof state.who, "pid %ld (%s)", static_cast<long>(state.pid), shown);
}

// The loader prints some of its errors on standard error and exits. Started
// by the kernel the archiver has no standard error anyone reads, so while
// loading it goes into a memory file whose text is logged if the loader
// ends the process.
static struct {
    bool loading;
    int saved;
    int memfd;
} cf_errors = {false, -1, -1};

static void cf_errors_log(void)
{
    char text[1024];

    if (!cf_errors.loading)
        return;
    ssize_t n = cf_errors.memfd == -1 ? 0 : pread(cf_errors.memfd, text, sizeof text - 1, 0);
    text[n > 0 ? n : 0] = '\0';
    text[strcspn(text, "\n")] = '\0';
    const char *reason = strncmp(text, "error: ", 7) == 0 ? text + 7 : text;
    ks_log(LOG_ERR, "error: crash of %s not archived: %s\n", state.who,
           *reason != '\0' ? reason : "the configuration could not be loaded");
}

static void cf_load(void)
{
    cf_errors.memfd = memfd_create("archive-cf-errors", MFD_CLOEXEC);
    if (cf_errors.memfd != -1) {
        cf_errors.saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
        if (cf_errors.saved == -1 || ks_fd_dup2(cf_errors.memfd, 2) == -1) {
            ks_fd_close(cf_errors.memfd);
            cf_errors.memfd = -1;
        }
    }
    cf_errors.loading = atexit(cf_errors_log) == 0;
    ks_cf_load(state.cf_path);
    cf_errors.loading = false;
    if (cf_errors.memfd != -1) {
        (void) ks_fd_dup2(cf_errors.saved, 2);
        ks_fd_close(cf_errors.saved);
        ks_fd_close(cf_errors.memfd);
        cf_errors.memfd = -1;
    }
}

// A SIGALRM that interrupts whatever system call the archiver is blocked in;
// the call fails with EINTR and the archiver goes on without what it read.
static void deadline_expired(int) {}

static void deadline_arm(unsigned int seconds)
{
    struct sigaction sa = {};

    sa.sa_handler = deadline_expired;
    sigemptyset(&sa.sa_mask);
    (void) sigaction(SIGALRM, &sa, nullptr);
    alarm(seconds);
}

static void deadline_disarm(void) { alarm(0); }

// The crash's row gets its outcome; once it is in the tree, the ledger also
// forgets what is old.
static void ledger_finish(ks_ledger_outcome outcome)
{
    const char *error = "";
    bool kept = outcome == KS_LEDGER_STORED || outcome == KS_LEDGER_CUT;

    if (state.ledger == nullptr)
        return;
    if (!ks_ledger_finish(state.ledger, state.row, outcome, kept ? state.core : nullptr, &error) ||
        (kept && !ks_ledger_prune(state.ledger, state.when - state.cf->archive.ledger_age, &error)))
        ks_log(LOG_WARNING, "warning: crash of %s: the crash ledger could not be updated: %s\n", state.who, error);
    ks_ledger_close(state.ledger);
    state.ledger = nullptr;
}

static void partial_remove(void)
{
    if (state.asset[0] != '\0')
        (void) unlinkat(state.dirs.assets, state.asset, 0);
    if (state.core[0] != '\0')
        (void) unlinkat(state.dirs.staging, state.core, 0);
}

// Every path out of a failure: the kernel's pipe is closed at once, so the
// kernel is never held up by what follows.
[[noreturn]] static void fail(const char *what, int error)
{
    ks_fd_close(0);
    // dump.fail: only "unlink" exists; without it partial files stay for inspection.
    if (state.cf->archive.unlink)
        partial_remove();
    ledger_finish(error == ENOSPC ? KS_LEDGER_DISK_FULL : KS_LEDGER_FAILED);
    ks_log(LOG_ERR, "error: crash of %s not archived: %s: %s\n", state.who, what, strerror(error));
    exit(1);
}


// From here on the archiver writes as the owner of the archive tree: that
// user must not be able to point the tree elsewhere (a link in place of a
// directory) and have root write there.
static void privileges_drop(void)
{
    const char *error = "";

    if (geteuid() != 0)
        return;
    if (setgroups(0, nullptr) == -1)
        fail("failed to drop privileges", errno);
    if (!ks_cred_suid(state.cf->archive.uid, state.cf->archive.gid, &error))
        fail(error, errno);
}

[[noreturn]] static void tree_fail(const struct ks_fs_tree *tree, const char *inside)
{
    char what[2 * PATH_MAX + 64];

    if (errno == ELOOP)
        snprintf(what, sizeof what, "%s%s%s is a symbolic link, not a directory of the archive tree",
                 inside != nullptr ? state.cf->archive.root : "", inside != nullptr ? "/" : "", tree->failed);
    else
        snprintf(what, sizeof what, "failed to create the archive tree at %s%s%s",
                 inside != nullptr ? state.cf->archive.root : "", inside != nullptr ? "/" : "", tree->failed);
    fail(what, errno);
}

// The root is opened as root, never through a link, and made if missing;
// everything inside it only after the switch to its owner.
static void tree_open(void)
{
    static struct ks_fs_tree tree;

    tree = {state.cf->archive.uid, state.cf->archive.gid, 0750, true, false, {}};
    deadline_arm(tree_seconds);
    state.dirs.root = ks_fs_tree_root(state.cf->archive.root, &tree);
    if (state.dirs.root == -1)
        tree_fail(&tree, nullptr);
    privileges_drop();
    const struct {
        int *fd;
        const char *name;
    } rows[] = {{&state.dirs.staging, "staging"}, {&state.dirs.assets, "assets"}, {&state.dirs.pending, "pending"}};
    for (const auto &row : rows)
        if ((*row.fd = ks_fs_tree_dir(state.dirs.root, row.name, &tree)) == -1)
            tree_fail(&tree, row.name);
    deadline_disarm();
}

// Owner and mode exactly as configured, whatever the umask.
static void file_own(int fd, const char *what)
{
    if (fchown(fd, state.cf->archive.uid, state.cf->archive.gid) == -1 ||
        fchmod(fd, state.cf->archive.mode & 07777) == -1)
        fail(what, errno);
}

// The image is taken up to the smaller of the process's own limit and the
// archive's.
static uint64_t core_limit(bool *by_archive)
{
    uint64_t archive = state.cf->archive.size_max;

    *by_archive = archive != 0 && archive < state.limit;
    return *by_archive ? archive : state.limit;
}

[[noreturn]] static void quota_refuse(void)
{
    if (state.cf->archive.unlink)
        partial_remove();
    ledger_finish(KS_LEDGER_QUOTA);
    ks_log(LOG_WARNING, "warning: crash of %s refused: the archive's filesystem would keep less than %g%% free\n",
           state.who, state.cf->archive.quota * 100);
    exit(0);
}

static void core_store(struct ks_core_result *result, uint64_t limit)
{
    int fd = ks_fs_openat(state.dirs.staging, state.core, O_WRONLY | O_CLOEXEC, state.cf->archive.mode & 07777);

    if (fd == -1) {
        state.core[0] = '\0';
        fail("failed to create the core image", errno);
    }
    file_own(fd, "failed to create the core image");
    ks_core_copy(0, fd, limit, state.cf->archive.quota, state.prefix, state.prefix_length, result);
    // Whatever happened, the kernel is let go before anything else is done.
    ks_fd_close(0);
    ks_fd_close(fd);
    switch (result->status) {
    case KS_CORE_COMPLETE:
    case KS_CORE_CUT:
        break;
    case KS_CORE_QUOTA:
        quota_refuse();
    case KS_CORE_READ_FAILED:
        fail("failed to read the core image", result->error);
    case KS_CORE_WRITE_FAILED:
        fail("failed to write the core image", result->error);
    }
    if (result->length == 0) {
        (void) unlinkat(state.dirs.staging, state.core, 0);
        state.core[0] = '\0';
        ledger_finish(KS_LEDGER_FAILED);
        ks_log(LOG_INFO, "crash of %s not archived: the core image is empty\n", state.who);
        exit(0);
    }
}

// What the archiver saw of the process and of its image.
static void facts_build(const struct ks_core_result *result)
{
    const struct ks_proc *proc = &state.proc;
    struct ks_facts_text *facts = &state.facts;

    (void) ks_signature_facts(facts, state.signature, &state.notes, state.executable_id, state.module_id);
    ks_facts_addf(facts, "core", "%s", result->status == KS_CORE_CUT ? "cut" : "stored");
    if (result->status == KS_CORE_CUT)
        ks_facts_addf(facts, "core.limit", "%ju", static_cast<uintmax_t>(result->length));
    if (proc->ids) {
        ks_facts_addf(facts, "uid", "%ju", static_cast<uintmax_t>(proc->uid));
        ks_facts_addf(facts, "gid", "%ju", static_cast<uintmax_t>(proc->gid));
    }
    if (proc->exe_known) {
        ks_facts_addf(facts, "exe.device", "%u:%u", major(proc->exe_device), minor(proc->exe_device));
        ks_facts_addf(facts, "exe.inode", "%ju", static_cast<uintmax_t>(proc->exe_inode));
    }
    if (proc->namespace_known) {
        ks_facts_addf(facts, "mount.namespace", "%ju", static_cast<uintmax_t>(proc->mount_namespace));
        ks_facts_addf(facts, "mount.namespace.initial", "%s", proc->initial_namespace ? "yes" : "no");
    }
    if (proc->metadata == KS_PROC_CUT)
        ks_facts_addf(facts, "metadata", "cut: %s beyond %u bytes", proc->cut, KS_PROC_FILE_MAX);
    else
        ks_facts_addf(facts, "metadata", "%s", ks_proc_metadata_name(proc->metadata));
}

static void asset_store(void)
{
    const char *error = "";
    uint64_t size = ks_asset_size(&state.proc, &state.facts);

    if (state.facts.failed)
        fail("failed to write the asset", ENOMEM);
    if (!ks_core_quota_allows(state.dirs.assets, state.cf->archive.quota, size))
        quota_refuse();
    memcpy(state.asset, state.core, sizeof state.asset);
    int fd = openat(state.dirs.assets, state.asset, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    state.cf->archive.mode & 07777);
    if (fd == -1) {
        int error_number = errno;
        state.asset[0] = '\0';
        fail("failed to create the asset", error_number);
    }
    file_own(fd, "failed to create the asset");
    if (!ks_asset_write(fd, &state.proc, &state.facts, state.when, &error)) {
        ks_fd_close(fd);
        ks_log(LOG_ERR, "error: crash of %s not archived: failed to write the asset: %s\n", state.who, error);
        if (state.cf->archive.unlink)
            partial_remove();
        ledger_finish(KS_LEDGER_FAILED);
        exit(1);
    }
    ks_fd_close(fd);
}

// What the log says beyond the image: how much of the metadata is missing.
static void metadata_describe(char *text, size_t size)
{
    switch (state.proc.metadata) {
    case KS_PROC_COMPLETE:
        text[0] = '\0';
        break;
    case KS_PROC_GONE:
        snprintf(text, size, "; its /proc entry was gone, no metadata");
        break;
    case KS_PROC_NOT_DUMPING:
        snprintf(text, size, "; its /proc entry was not a process dumping its core, no metadata");
        break;
    case KS_PROC_TIMED_OUT:
        snprintf(text, size, "; reading its /proc entry timed out, metadata incomplete");
        break;
    case KS_PROC_CUT:
        snprintf(text, size, "; its %s was cut at %u bytes", state.proc.cut, KS_PROC_FILE_MAX);
        break;
    }
}

// The executable's build-id, through the process's own link to it, while
// root may still read it.
static void executable_identify(void)
{
    if (state.proc.dir != -1 && state.proc.executable != nullptr &&
        !ks_buildid_read_at(state.proc.dir, "exe", state.executable_id))
        state.executable_id[0] = '\0';
}

// The image's header, program headers and notes are read from the pipe
// before anything is decided; the rest of the image stays there. Then the
// build-id of the file holding the program counter, and the signature.
static void notes_read(void)
{
    state.prefix = static_cast<unsigned char *>(malloc(KS_NOTES_PREFIX_MAX));
    if (state.prefix == nullptr)
        fail("failed to read the core image", ENOMEM);
    ssize_t n = ks_notes_read(0, state.prefix, KS_NOTES_PREFIX_MAX);
    if (n < 0)
        fail("failed to read the core image", errno);
    state.prefix_length = static_cast<size_t>(n);
    ks_notes_parse(state.prefix, state.prefix_length, &state.notes);
    if (state.notes.has_module && state.proc.dir != -1) {
        char path[64];
        snprintf(path, sizeof path, "map_files/%" PRIx64 "-%" PRIx64, state.notes.module_start, state.notes.module_end);
        deadline_arm(proc_seconds);
        if (!ks_buildid_read_at(state.proc.dir, path, state.module_id))
            state.module_id[0] = '\0';
        deadline_disarm();
    }
    (void) ks_signature_make(&state.notes, state.proc.executable, state.executable_id, state.module_id,
                             state.signature);
}

// Without a ledger the crash is stored as it would be without storm
// control, and the log says why once.
static void ledger_unavailable(const char *error)
{
    ks_log(LOG_WARNING, "warning: crash of %s: the crash ledger is unavailable: %s\n", state.who, error);
    ks_ledger_close(state.ledger);
    state.ledger = nullptr;
}

// As the archive's owner.
static void ledger_open(void)
{
    const char *error = "";

    if (!ks_ledger_open(&state.ledger, state.cf->archive.root, state.cf->archive.mode & 0666, &error)) {
        state.ledger = nullptr;
        ledger_unavailable(error);
    }
}

static void ledger_crash(struct ks_ledger_crash *crash)
{
    *crash = {};
    crash->when = state.when;
    crash->pid = state.pid;
    crash->uid = state.proc.ids ? state.proc.uid : static_cast<uid_t>(-1);
    crash->executable = state.proc.executable;
    crash->signal = state.notes.valid ? state.notes.signal : 0;
    crash->signature = state.signature;
    crash->module = state.notes.has_module ? state.notes.module : nullptr;
    crash->has_offset = state.notes.has_module;
    crash->offset = state.notes.module_offset;
}

// Stores nothing, with one message and a row in the ledger.
[[noreturn]] static void skip(ks_ledger_outcome outcome, const char *format)
{
    struct ks_ledger_crash crash;
    const char *error = "";

    ks_fd_close(0);
    ks_log(LOG_INFO, format, state.who);
    tree_open();
    ledger_open();
    ledger_crash(&crash);
    if (state.ledger != nullptr && !ks_ledger_add(state.ledger, &crash, outcome, &state.row, &error))
        ledger_unavailable(error);
    ks_ledger_close(state.ledger);
    exit(0);
}

// Decided before the memory is read: over a limit, the kernel is let go at
// once without writing the rest of the image.
static void storm_admit(void)
{
    struct ks_ledger_crash crash;
    struct ks_storm_decision decision;
    const char *error = "";

    ledger_open();
    if (state.ledger == nullptr)
        return;
    ledger_crash(&crash);
    if (!ks_ledger_admit(state.ledger, &crash, &state.cf->archive.storm, &decision, &state.row, &error)) {
        ledger_unavailable(error);
        return;
    }
    if (decision.verdict == KS_STORM_STORE)
        return;
    ks_fd_close(0);
    ks_ledger_close(state.ledger);
    if (!decision.log)
        exit(0);
    const struct ks_storm_limits *limits = &state.cf->archive.storm;
    if (decision.verdict == KS_STORM_SIGNATURE)
        ks_log(LOG_WARNING,
               "warning: crash of %s not archived: crash storm of signature %s, %lu crashes of uid %ju over "
               "dump.storm.signature (%lu in %ju seconds) not stored\n",
               state.who, state.signature, decision.skipped, static_cast<uintmax_t>(crash.uid),
               limits->per_signature, static_cast<uintmax_t>(limits->window));
    else
        ks_log(LOG_WARNING,
               "warning: crash of %s not archived: crash storm of uid %ju, %lu of its crashes over "
               "dump.storm.user (%lu in %ju seconds) not stored\n",
               state.who, static_cast<uintmax_t>(crash.uid), decision.skipped, limits->per_user,
               static_cast<uintmax_t>(limits->window));
    exit(0);
}

int main(int argc, char **argv)
{
    struct ks_core_result result;
    char metadata[160];

    dumps_off();
    streams_guard();
    umask(077);
    state.when = time(nullptr);
    state.cf = ks_cf_get();
    ks_cf_init();
    options_parse(argc, argv);
    // The crashed process is read first, before anything lets the kernel
    // finish the dump sooner: a larger pipe would take a small image whole.
    deadline_arm(proc_seconds);
    ks_proc_read(&state.proc, "/proc", state.pid);
    executable_identify();
    deadline_disarm();
    who_describe();
    // Fewer, larger transfers from the kernel; an unprivileged run may be refused.
    (void) fcntl(0, F_SETPIPE_SZ, 1 << 20);
    cf_load();

    bool ignored = ks_cf_archive_has_ignore() && ks_cf_archive_ignore(state.proc.command);
    if (ignored)
        skip(KS_LEDGER_IGNORED, "crash of %s ignored: its command line matches dump.ignore\n");
    notes_read();
    if (state.limit == 0 && !state.cf->archive.core_limit_ignore)
        skip(KS_LEDGER_LIMIT_0, "crash of %s not archived: core dumps are off for it\n");
    if (state.limit == 0)
        state.limit = KS_CORE_UNLIMITED;

    tree_open();
    storm_admit();
    bool by_archive;
    uint64_t limit = core_limit(&by_archive);
    core_store(&result, limit);
    facts_build(&result);
    asset_store();

    // The daemon reacts to this rename; the asset is complete before it.
    if (renameat(state.dirs.staging, state.core, state.dirs.pending, state.core) == -1)
        fail("failed to move the core image into pending", errno);
    ledger_finish(result.status == KS_CORE_CUT ? KS_LEDGER_CUT : KS_LEDGER_STORED);

    metadata_describe(metadata, sizeof metadata);
    if (result.status == KS_CORE_CUT)
        ks_log(LOG_INFO, "crash of %s archived as %s, cut at %s of %ju bytes%s\n", state.who, state.core,
               by_archive ? "dump.size.max" : "the core size limit", static_cast<uintmax_t>(result.length), metadata);
    else
        ks_log(LOG_INFO, "crash of %s archived as %s (%ju bytes)%s\n", state.who, state.core,
               static_cast<uintmax_t>(result.length), metadata);
    ks_proc_release(&state.proc);
    ks_facts_release(&state.facts);
    free(state.prefix);
    return 0;
}
