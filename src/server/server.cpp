// kestreld: registers the crash archiver with the kernel and drives every
// crash through the snapshot and send stages.

#include "server/server.h"

#include "common/cf.h"
#include "common/cred.h"
#include "common/fd.h"
#include "common/log.h"
#include "common/parse.h"
#include "server/linux/io.h"
#include "server/slave.h"
#include "server/watcher.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <paths.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static const char core_pattern[] = "/proc/sys/kernel/core_pattern";
static const char core_pipe_limit[] = "/proc/sys/kernel/core_pipe_limit";
// How many crashes at once the kernel holds until their archiver is done.
static const char pipe_limit_set[] = "16\n";

static const char usage_text[] = "Usage: kestreld [<options>]\n"
                                 "\n"
                                 "    -c <configuration file>        Specifies an alternate configuration for\n"
                                 "                                   kestreld to use.\n"
                                 "    -d                             Run in debug mode.\n"
                                 "    -f                             Run in foreground mode.\n"
                                 "    -p <pid file>                  Write daemon PID to file.\n"
                                 "    -v                             Print version.\n"
                                 "    -h                             Print this usage banner.\n";

static struct {
    volatile sig_atomic_t rescan; // set by SIGHUP, taken by the loop
} server;

struct server_options {
    const char *cf_path;
    const char *pid_file;
    bool debug_mode;
    bool want_daemon;
};

[[noreturn]] static void stop(void) { exit(1); }

[[noreturn]] static void usage(FILE *fp)
{
    fputs(usage_text, fp);
    exit(fp == stderr ? 1 : 0);
}

static void signal_ignore(int signal) { (void) signal; }

// Only the flag: the rescan itself runs from the loop.
static void signal_rescan(int signal)
{
    (void) signal;
    server.rescan = 1;
}

bool ks_server_rescan_take(void)
{
    if (server.rescan == 0)
        return false;
    server.rescan = 0;
    return true;
}

static void server_options_parse(struct server_options *options, int argc, char **argv)
{
    int option;

    while ((option = getopt(argc, argv, "c:fdhvp:")) != -1) {
        switch (option) {
        case 'c':
            options->cf_path = optarg;
            break;
        case 'd':
            options->debug_mode = true;
            options->want_daemon = false;
            break;
        case 'f':
            options->want_daemon = false;
            break;
        case 'p':
            options->pid_file = optarg;
            break;
        case 'v':
            printf("1.5.18\n");
            exit(0);
        case 'h':
            usage(stdout);
        default:
            // getopt has printed its diagnostic; parsing goes on.
            break;
        }
    }
}

static bool server_handler(int signal, void (*handler)(int))
{
    struct sigaction sa = {};

    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    return sigaction(signal, &sa, nullptr) == 0;
}

static void server_sigaction_init(void)
{
    sigset_t set;

    // SIGCHLD and SIGHUP stay blocked except while the loop waits: the end of
    // a child or a rescan request then interrupts exactly that wait and is
    // served right after it, and no request slips in between two waits.
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) == -1) {
        ks_perror("error: failed to block SIGCHLD");
        stop();
    }
    if (!server_handler(SIGCHLD, signal_ignore)) {
        ks_perror("error: failed to register SIGCHLD handler");
        stop();
    }
    if (!server_handler(SIGHUP, signal_rescan)) {
        ks_perror("error: failed to register SIGHUP handler");
        stop();
    }
}

// The text up to the first blank must name an executable.
static void archive_command_check(const char *command)
{
    char *first = strdup(command);

    if (first == nullptr) {
        ks_perror("error: failed to verify core_pattern");
        stop();
    }
    first[strcspn(first, " ")] = '\0';
    int rc = access(first, X_OK);
    int saved = errno;
    free(first);
    if (rc == -1) {
        errno = saved;
        ks_perror("error: failed to access archive command");
        stop();
    }
}

// A file of /proc/sys written whole: -1 when it cannot be opened, 0 when
// less than all of text was taken, 1 when all was.
static int sysctl_write(const char *path, const char *text)
{
    // O_TRUNC as a shell redirection does: the kernel replaces the value anyway.
    int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);

    if (fd == -1)
        return -1;
    size_t length = strlen(text);
    ssize_t written = ks_fd_write(fd, text, length);
    ks_fd_close(fd);
    return written >= 0 && static_cast<size_t>(written) == length ? 1 : 0;
}

// At most size bytes of a file of /proc/sys, or -1 with errno.
static ssize_t sysctl_read(const char *path, char *buffer, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);

    if (fd == -1)
        return -1;
    ssize_t n = ks_fd_read(fd, buffer, size);
    int saved = errno;
    ks_fd_close(fd);
    errno = saved;
    return n;
}

static void core_pattern_write(const char *cm)
{
    int written = sysctl_write(core_pattern, cm);

    if (written == -1)
        ks_log(LOG_WARNING, "warning: failed to open core_pattern for writing.\n");
    else if (written == 0)
        ks_log(LOG_WARNING, "warning: failed to update core_pattern.\n");
}

// The kernel hands the stored pattern back with a trailing newline, so a
// registration that took reads back exactly what was written. False after
// logging why not.
static bool core_pattern_verify(const char *cm)
{
    char dt[1024];
    ssize_t r = sysctl_read(core_pattern, dt, sizeof dt);

    if (r < 0 || r > static_cast<ssize_t>(sizeof dt) - 1) {
        ks_perror("error: failed to verify core_pattern");
        return false;
    }
    dt[r] = '\0';
    if (static_cast<size_t>(r) != strlen(cm) || memcmp(dt, cm, static_cast<size_t>(r)) != 0) {
        ks_log(LOG_ERR, "error: core_pattern is not setup correctly.\n");
        return false;
    }
    return true;
}

static long pipe_limit_read(void)
{
    char text[32];
    ssize_t n = sysctl_read(core_pipe_limit, text, sizeof text - 1);

    if (n <= 0)
        return -1;
    text[n] = '\0';
    return strtol(text, nullptr, 10);
}

// At 0 the kernel lets a crashed process go as soon as its image fits into
// the pipe, before the archiver has read its /proc entry, whose pid may then
// be another process's. Any other value the administrator chose is kept.
static void pipe_limit_ensure(void)
{
    if (pipe_limit_read() != 0)
        return;
    (void) sysctl_write(core_pipe_limit, pipe_limit_set);
    if (pipe_limit_read() <= 0)
        ks_log(LOG_WARNING, "warning: failed to set core_pipe_limit: crashes may be stored without metadata.\n");
}

static void archive_register(const struct ks_cf *cf)
{
    char *cm;

    archive_command_check(cf->archive.command);
    if (asprintf(&cm, "|%s\n", cf->archive.command) == -1) {
        ks_log(LOG_ERR, "error: failed to register archive command.\n");
        stop();
    }
    core_pattern_write(cm);
    bool registered = core_pattern_verify(cm);
    free(cm);
    if (!registered)
        stop();
    pipe_limit_ensure();
}

// Creates every directory above the PID file.
static void mkdir_p(const char *path)
{
    char buffer[4096];
    size_t length = strlen(path);

    if (length >= sizeof buffer) {
        ks_log(LOG_ERR, "error: path too long: '%s'\n", path);
        stop();
    }
    memcpy(buffer, path, length + 1);
    ks_log(LOG_ERR, "Creating dirs for '%s'\n", path);
    for (char *p = buffer + 1; (p = strchr(p, '/')) != nullptr; p++) {
        struct stat st;

        *p = '\0';
        // Not part of the archive tree: readable by all whatever the umask.
        if (stat(buffer, &st) == -1 && (mkdir(buffer, 0755) == -1 || chmod(buffer, 0755) == -1) &&
            errno != EEXIST) {
            ks_log(LOG_ERR, "error: failed to create '%s': %s\n", buffer, strerror(errno));
            stop();
        }
        ks_log(LOG_ERR, "Created '%s'\n", buffer);
        *p = '/';
    }
}

static void pid_file_write(const char *path)
{
    char text[32];

    mkdir_p(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) {
        ks_perror("error: failed to create PID file");
        stop();
    }
    (void) fchmod(fd, 0644);
    int length = snprintf(text, sizeof text, "%ju\n", static_cast<uintmax_t>(getpid()));
    // A partial PID is as wrong as none.
    if (ks_fd_write(fd, text, static_cast<size_t>(length)) != length) {
        ks_log(LOG_ERR, "error: failed to write PID file.\n");
        stop();
    }
    ks_fd_close(fd);
}

static void privileges_drop(const struct ks_cf *cf)
{
    const char *error = "";

    // Root's supplementary groups would otherwise outlive the switch.
    if (geteuid() == 0 && cf->archive.uid != 0 && setgroups(0, nullptr) == -1) {
        ks_log(LOG_ERR, "error: failed to drop privileges: %s\n", "failed to drop supplementary groups");
        stop();
    }
    if (!ks_cred_suid(cf->archive.uid, cf->archive.gid, &error)) {
        ks_log(LOG_ERR, "error: failed to drop privileges: %s\n", error);
        stop();
    }
}

static void home_enter(const struct ks_cf *cf)
{
    const char *home = cf->archive.home != nullptr ? cf->archive.home : "/tmp";

    if (setenv("HOME", home, 1) == -1)
        ks_perror("warning: failed to set $HOME");
    if (chdir(home) == -1 && errno != ENOENT)
        ks_perror("warning: failed to go to home directory");
}

static void template_compile(ks_format_t **format, const char *text, const char *letters)
{
    const char *error = "";

    if (!ks_format_create(format, text, letters, &error)) {
        ks_log(LOG_ERR, "error: failed to parse command: %s\n", error);
        stop();
    }
}

// The service manager names the journal stream it connected to standard
// error in JOURNAL_STREAM, as "device:inode".
static bool stderr_is_journal(void)
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long device, inode;
    struct stat st;

    return stream != nullptr && sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(2, &st) == 0 &&
           static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

// Whether a syslog daemon takes messages at /dev/log, tried as the C
// library's syslog tries it. When that cannot be told, it is taken to listen.
static bool syslog_listens(void)
{
    struct sockaddr_un address = {};

    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, _PATH_LOG);
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (fd == -1)
            return true;
        int rc = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
        int saved = errno;
        ks_fd_close(fd);
        if (rc == 0)
            return true;
        if (saved != EPROTOTYPE)
            return false;
    }
    return false;
}

// Runs after every wait of the loop, so a SIGHUP that interrupted the wait is
// served at once and never inside the signal handler.
static void server_rescan(ks_io_t *io)
{
    (void) io;
    if (ks_server_rescan_take())
        (void) ks_watcher_scan();
}

void ks_server_enter(void)
{
    ks_io_t *io;

    if (!ks_io_init(&io, -1)) {
        ks_log(LOG_ERR, "error: failed to initialize event base.\n");
        stop();
    }
    if (!ks_slave_init(io))
        stop();
    if (!ks_watcher_init(io))
        stop();
    // Registered last, so that it runs first after each wait: the crashes a
    // rescan finds are handled in the same iteration.
    if (!ks_io_cb_add(io, server_rescan)) {
        ks_log(LOG_ERR, "error: failed to initialize event base.\n");
        stop();
    }
    ks_log(LOG_INFO, "Kestrel server initialized, entering main loop.");
    ks_io_enter(io);
}

int main(int argc, char **argv)
{
    struct ks_cf *cf = ks_cf_get();
    struct server_options options = {nullptr, nullptr, false, true};
    const char *error = "";

    // Nothing the daemon or its commands create is for other users: a
    // snapshot waiting in the tree holds another user's memory.
    umask(077);
    ks_cf_init();
    server_options_parse(&options, argc, argv);
    // In the foreground every message also reaches standard error, from the
    // configuration's own on; not when standard error is the journal, which
    // already takes every message through /dev/log.
    ks_log_open(!options.want_daemon && !stderr_is_journal());
    ks_cf_load(options.cf_path);
    if (options.debug_mode) {
        for (auto &stage : cf->daemon.stages)
            stage.output = KS_CF_SLAVE_OUTPUT_INHERIT;
    }
    ks_log_level_set(options.debug_mode ? LOG_DEBUG : cf->daemon.log.level);
    server_sigaction_init();
    // Before the daemon leaves its working directory, where a relative
    // configuration path still means what it meant on the command line.
    if (!ks_watcher_compress_init())
        stop();

    // Before privileges are dropped: the tree belongs to the archive user.
    if (!ks_cf_ensure(1, &error)) {
        ks_log(LOG_ERR, "error: failed to ensure archive: %s\n", error);
        stop();
    }
    if (!cf->archive.disabled)
        archive_register(cf);
    if (options.want_daemon && !syslog_listens())
        fputs("kestreld: nothing listens on " _PATH_LOG ", so its messages will be lost once it "
              "detaches (-f keeps them on standard error)\n",
              stderr);
    if (options.want_daemon && daemon(0, 0) == -1) {
        ks_log(LOG_ERR, "error: failed to launch daeomn\n");
        stop();
    }
    if (options.want_daemon)
        ks_log_open(false);
    // After detaching, so that it holds the detached process's id.
    if (options.pid_file != nullptr)
        pid_file_write(options.pid_file);
    privileges_drop(cf);
    home_enter(cf);

    template_compile(&cf->daemon.defaults_format, cf->daemon.defaults_command, "ceaSBG");
    template_compile(&cf->daemon.stages[KS_SLAVE_SNAPSHOT].format, cf->daemon.stages[KS_SLAVE_SNAPSHOT].template_,
                     "ceaSBG");
    template_compile(&cf->daemon.stages[KS_SLAVE_SEND].format, cf->daemon.stages[KS_SLAVE_SEND].template_, "ceaPSBG");
    ks_server_enter();
}
