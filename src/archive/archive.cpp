// archive: the crash archiver. The kernel starts it for every crash, through
// the core pattern that kestreld registers, with the core image on standard
// input. It leaves the image in the pending directory of the archive tree
// and the crash's metadata, as an archive object, in the assets directory.

#include "archive/asset.h"
#include "archive/core.h"
#include "archive/proc.h"

#include "common/cf.h"
#include "common/cred.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/parse.h"

#include <cerrno>
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
#include <unistd.h>

static const char usage_text[] =
    "Usage: archive [-c <configuration file>] -p <pid> -P <pid> -l <core size limit>\n"
    "\n"
    "Stores the core image on standard input in the archive tree. The kernel\n"
    "starts it through the core pattern that kestreld registers:\n"
    "    |/opt/quellon/kestrel/sbin/archive -p%p -P%P -l%c\n";

static struct {
    struct ks_cf *cf;
    const char *cf_path;
    pid_t pid;    // -P, in the initial namespace: names /proc/<pid>
    pid_t ns_pid; // -p, in the process's own namespace
    uint64_t limit;
    time_t when;
    struct ks_proc proc;
    char who[PATH_MAX + 64]; // "pid 42 (/usr/bin/x)", for every message
    char core[PATH_MAX];     // the image in staging, empty until created
    char asset[PATH_MAX];    // empty until created
} state;

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

static void who_describe(void)
{
    const char *executable = state.proc.executable != nullptr ? state.proc.executable : "unknown executable";

    if (state.ns_pid > 0 && state.ns_pid != state.pid)
        snprintf(state.who, sizeof state.who, "pid %ld [%ld in its namespace] (%s)",
                 static_cast<long>(state.pid), static_cast<long>(state.ns_pid), executable);
    else
        snprintf(state.who, sizeof state.who, "pid %ld (%s)", static_cast<long>(state.pid), executable);
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

// Every path out of a failure: the kernel's pipe is closed at once, so the
// kernel is never held up by what follows.
[[noreturn]] static void fail(const char *what, int error)
{
    ks_fd_close(0);
    // dump.fail: only "unlink" exists; without it partial files stay for inspection.
    if (state.cf->archive.unlink) {
        if (state.asset[0] != '\0')
            (void) unlink(state.asset);
        if (state.core[0] != '\0')
            (void) unlink(state.core);
    }
    ks_log(LOG_ERR, "error: crash of %s not archived: %s: %s\n", state.who, what, strerror(error));
    exit(1);
}

// Stores nothing, with one message.
[[noreturn]] static void skip(int level, const char *format)
{
    ks_fd_close(0);
    ks_log(level, format, state.who);
    exit(0);
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

static const char *tree_path(const char **field, const char *name)
{
    char *path;

    if (*field == nullptr) {
        if (asprintf(&path, "%s/%s", state.cf->archive.root, name) == -1)
            fail("failed to locate the archive tree", ENOMEM);
        *field = path;
    }
    if (!ks_fs_ensure_path(*field, state.cf->archive.uid, state.cf->archive.gid, 0755))
        fail("failed to create the archive tree", errno);
    return *field;
}

// Owner and mode exactly as configured, whatever the umask.
static void file_own(int fd, const char *what)
{
    if (fchown(fd, state.cf->archive.uid, state.cf->archive.gid) == -1 ||
        fchmod(fd, state.cf->archive.mode & 07777) == -1)
        fail(what, errno);
}

static void core_store(const char *staging, struct ks_core_result *result)
{
    int fd = ks_fs_open(state.core, staging, O_WRONLY | O_CLOEXEC, state.cf->archive.uid,
                        state.cf->archive.gid, state.cf->archive.mode & 07777);

    if (fd == -1) {
        state.core[0] = '\0';
        fail("failed to create the core image", errno);
    }
    file_own(fd, "failed to create the core image");
    ks_core_copy(0, fd, state.limit, state.cf->archive.quota, result);
    // Whatever happened, the kernel is let go before anything else is done.
    ks_fd_close(0);
    ks_fd_close(fd);
    switch (result->status) {
    case KS_CORE_COMPLETE:
    case KS_CORE_CUT:
        break;
    case KS_CORE_QUOTA:
        if (state.cf->archive.unlink)
            (void) unlink(state.core);
        ks_log(LOG_WARNING, "warning: crash of %s refused: the archive's filesystem would keep less than %g%% free\n",
               state.who, state.cf->archive.quota * 100);
        exit(0);
    case KS_CORE_READ_FAILED:
        fail("failed to read the core image", result->error);
    case KS_CORE_WRITE_FAILED:
        fail("failed to write the core image", result->error);
    }
    if (result->length == 0) {
        (void) unlink(state.core);
        ks_log(LOG_INFO, "crash of %s not archived: the core image is empty\n", state.who);
        exit(0);
    }
}

static void asset_store(const char *assets, const char *base)
{
    const char *error = "";

    if (snprintf(state.asset, sizeof state.asset, "%s/%s", assets, base) >= static_cast<int>(sizeof state.asset)) {
        state.asset[0] = '\0';
        fail("failed to create the asset", ENAMETOOLONG);
    }
    int fd = open(state.asset, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, state.cf->archive.mode & 07777);
    if (fd == -1) {
        int error_number = errno;
        state.asset[0] = '\0';
        fail("failed to create the asset", error_number);
    }
    file_own(fd, "failed to create the asset");
    if (!ks_asset_write(fd, &state.proc, state.when, &error)) {
        ks_fd_close(fd);
        ks_log(LOG_ERR, "error: crash of %s not archived: failed to write the asset: %s\n", state.who, error);
        errno = 0;
        if (state.cf->archive.unlink) {
            (void) unlink(state.asset);
            (void) unlink(state.core);
        }
        exit(1);
    }
    ks_fd_close(fd);
}

int main(int argc, char **argv)
{
    struct ks_core_result result;
    char pending[PATH_MAX];

    dumps_off();
    streams_guard();
    state.when = time(nullptr);
    state.cf = ks_cf_get();
    ks_cf_init();
    options_parse(argc, argv);
    // Fewer, larger transfers from the kernel; an unprivileged run may be refused.
    (void) fcntl(0, F_SETPIPE_SZ, 1 << 20);
    // While the kernel writes the core, the crashed process still exists:
    // its metadata is read before the first byte of the image is taken.
    ks_proc_read(&state.proc, "/proc", state.pid);
    who_describe();
    cf_load();

    if (ks_cf_archive_has_ignore() && ks_cf_archive_ignore(state.proc.command))
        skip(LOG_INFO, "crash of %s ignored: its command line matches dump.ignore\n");
    if (state.limit == 0)
        skip(LOG_INFO, "crash of %s not archived: core dumps are off for it\n");

    // Creating a missing directory never follows a link in its place; the
    // files inside are then written with the owner's rights only.
    const char *staging = tree_path(&state.cf->path.staging, "staging");
    const char *assets = tree_path(&state.cf->path.assets, "assets");
    const char *pending_dir = tree_path(&state.cf->path.pending, "pending");
    privileges_drop();

    core_store(staging, &result);
    const char *base = state.core + strlen(staging) + 1;
    asset_store(assets, base);

    // The daemon reacts to this rename; the asset is complete before it.
    if (snprintf(pending, sizeof pending, "%s/%s", pending_dir, base) >= static_cast<int>(sizeof pending))
        fail("failed to move the core image into pending", ENAMETOOLONG);
    if (rename(state.core, pending) == -1)
        fail("failed to move the core image into pending", errno);

    const char *gone = state.proc.found ? "" : "; its /proc entry was gone, no metadata";
    if (result.status == KS_CORE_CUT)
        ks_log(LOG_INFO, "crash of %s archived as %s, cut at the core size limit of %ju bytes%s\n", state.who, base,
               static_cast<uintmax_t>(result.length), gone);
    else
        ks_log(LOG_INFO, "crash of %s archived as %s (%ju bytes)%s\n", state.who, base,
               static_cast<uintmax_t>(result.length), gone);
    ks_proc_release(&state.proc);
    return 0;
}
