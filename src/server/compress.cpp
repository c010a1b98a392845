// Kept core images compressed with zstd. The work is the client's
// ("kestrel compress <name>"), run with the daemon's own configuration in a
// place of the send pool as the last step of the commit: the crash is
// processed once it has ended, it is bounded by the send stage's time-out,
// and the loop never waits for it. The client writes the compressed image
// under a private name and renames it over the plain one only when it is
// complete and smaller; whatever goes wrong, the plain image stays, with one
// warning, and is not tried again.

#include "server/watcher.h"

#include "common/cf.h"
#include "common/fd.h"
#include "common/log.h"
#include "server/slave.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define COMPRESS_PATH_MAX 4096
#define COMPRESS_OUTPUT_MAX 4096 // bytes of the client's report taken at most

static struct {
    struct ks_cf *cf = nullptr;
    bool wanted = false;
    char client[COMPRESS_PATH_MAX] = ""; // kestrel
    char conf[COMPRESS_PATH_MAX] = "";   // the configuration file, absolute
    void (*done)(ks_watcher_object *o) = nullptr;
} state;

// The client lies beside the daemon, wherever both were installed or built;
// /proc/self/exe names the daemon even when it was started through a link.
static bool client_beside(char *path)
{
    char self[COMPRESS_PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);

    if (n <= 0)
        return false;
    self[n] = '\0';
    char *slash = strrchr(self, '/');
    if (slash == nullptr)
        return false;
    *slash = '\0';
    int length = snprintf(path, COMPRESS_PATH_MAX, "%s/kestrel", self);
    if (length < 0 || length >= COMPRESS_PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

bool ks_watcher_compress_init(void)
{
    state.cf = ks_cf_get();
    const char *configured = state.cf->daemon.compress.client;

    if (state.cf->daemon.compress.method == KS_CF_COMPRESS_NONE)
        return true;
    if (configured != nullptr) {
        if (strlen(configured) >= sizeof state.client) {
            ks_log(LOG_ERR, "error: snapshot.compress.client is too long\n");
            return false;
        }
        strcpy(state.client, configured);
    } else if (!client_beside(state.client)) {
        ks_perror("error: failed to find kestrel beside kestreld for snapshot.compress");
        return false;
    }
    // Errors of a configured path are the administrator's to see at once,
    // not at the first crash.
    if (access(state.client, X_OK) == -1) {
        ks_perror("error: cannot run %s for snapshot.compress", state.client);
        return false;
    }
    const char *conf = ks_cf_path_get();
    if (conf == nullptr || realpath(conf, state.conf) == nullptr) {
        ks_perror("error: failed to find the configuration file '%s'", conf != nullptr ? conf : "");
        return false;
    }
    state.wanted = true;
    return true;
}

bool ks_watcher_compress_check(void)
{
    if (!state.wanted)
        return true;
    if (access(state.client, X_OK) == -1) {
        ks_perror("error: cannot run %s for snapshot.compress", state.client);
        return false;
    }
    if (access(state.conf, R_OK) == -1) {
        ks_perror("error: cannot read %s for snapshot.compress", state.conf);
        return false;
    }
    return true;
}

// A compression that never ended (the daemon killed, the machine stopped)
// may have left its private file; one still running holds a lock on its own.
void ks_watcher_compress_clean(void)
{
    const char *path = ks_cf_get()->path.committed;
    DIR *d = opendir(path);
    struct dirent *e;

    if (d == nullptr)
        return;
    while ((e = readdir(d)) != nullptr) {
        if (strncmp(e->d_name, KS_CF_COMPRESS_PRIVATE, sizeof KS_CF_COMPRESS_PRIVATE - 1) != 0)
            continue;
        int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        struct stat st;
        if (fd == -1)
            continue;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (unlinkat(dirfd(d), e->d_name, 0) == 0)
                ks_log(LOG_INFO, "kestrel removed %s/%s, left by an interrupted compression\n", path, e->d_name);
            else if (errno != ENOENT)
                ks_perror("warning: failed to remove '%s/%s'", path, e->d_name);
        }
        ks_fd_close(fd);
    }
    closedir(d);
}

// The client's last line of output, which says what it did or why it
// failed, without the name that the message around it gives already.
static std::string report_line(const char *base, const char *out, size_t length)
{
    std::string text(out != nullptr ? out : "", out != nullptr ? length : 0);

    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    size_t nl = text.rfind('\n');
    if (nl != std::string::npos)
        text.erase(0, nl + 1);
    text.resize(strnlen(text.c_str(), text.size()));
    for (const std::string &prefix : {"error: cannot compress " + std::string(base) + ": ", std::string(base) + ": "}) {
        if (text.starts_with(prefix))
            return text.substr(prefix.size());
    }
    return text;
}

static unsigned int compress_bound(void)
{
    time_t timeout = state.cf->daemon.stages[KS_SLAVE_SEND].timeout;

    if (timeout <= 0)
        return 0;
    return timeout > static_cast<time_t>(UINT_MAX) ? UINT_MAX : static_cast<unsigned int>(timeout);
}

// Why the compression failed; empty when it succeeded.
static std::string compress_failure(int status, qu_error err, ks_slave_term_cause cause, const std::string &line)
{
    if (cause == KS_SLAVE_TERM_CAUSE_TIMEOUT)
        return "timeout";
    if (err != QU_ERR_NONE && err != QU_ERR_TOO_BIG)
        return qu_error_str(err);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "";
    if (!line.empty())
        return line;
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit code " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : status);
}

static void compress_end(int status, qu_error err, ks_slave_term_cause cause, const char *out, size_t length,
                         void *cl)
{
    auto *o = static_cast<ks_watcher_object *>(cl);
    std::string line, failure;

    try {
        line = report_line(o->basename, out, length);
        failure = compress_failure(status, err, cause, line);
    } catch (const std::bad_alloc &) {
        failure = "out of memory";
    }
    if (!failure.empty())
        ks_log(LOG_WARNING, "warning: core image of %s left uncompressed: %s\n", o->basename, failure.c_str());
    else if (!line.empty())
        ks_log(LOG_INFO, "core image of %s: %s\n", o->basename, line.c_str());
    state.done(o);
}

bool ks_watcher_compress_start(ks_watcher_object *o, void (*done)(ks_watcher_object *o))
{
    const char *error = "";

    if (!state.wanted)
        return false;
    state.done = done;
    const char *argv[] = {state.client, "-c", state.conf, "compress", o->basename, nullptr};
    static_assert(sizeof argv == sizeof o->compress_argv);
    memcpy(o->compress_argv, argv, sizeof argv);
    if (ks_slave_helper(KS_SLAVE_SEND, o->compress_argv, compress_bound(), COMPRESS_OUTPUT_MAX, compress_end, o,
                        &error))
        return true;
    ks_log(LOG_WARNING, "warning: core image of %s left uncompressed: %s\n", o->basename, error);
    return false;
}
