#include "libqu/src/posix.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

#define QU_DEFAULT_PATH "/usr/local/bin:/bin:/usr/bin"
#define QU_NAME_MAX 256 // names this long or longer are refused
#define QU_PATH_MAX 4095 // characters of the search path considered

void qu_child_detach(pid_t parent)
{
    (void) setpgid(0, 0);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != parent)
        _exit(1);
}

int qu_execvpe(const char *exe, const char **argv, const char **envp)
{
    return qu_execvpe_path(exe, getenv("PATH"), argv, envp);
}

int qu_execvpe_path(const char *exe, const char *search_path, const char **argv,
                    const char **envp)
{
    auto *const *args = const_cast<char *const *>(argv);
    auto *const *env = const_cast<char *const *>(envp);
    char path[QU_PATH_MAX + 1 + QU_NAME_MAX + 1];
    bool denied = false;

    errno = ENOENT;
    if (*exe == '\0')
        return -1;
    if (strchr(exe, '/') != nullptr)
        return execve(exe, args, env);
    if (search_path == nullptr)
        search_path = QU_DEFAULT_PATH;
    size_t exe_len = strnlen(exe, QU_NAME_MAX);
    if (exe_len >= QU_NAME_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    size_t limit = strnlen(search_path, QU_PATH_MAX) + 1;
    for (const char *element = search_path;;) {
        const char *end = strchrnul(element, ':');
        auto len = static_cast<size_t>(end - element);
        if (len < limit) {
            memcpy(path, element, len);
            if (len > 0)
                path[len++] = '/';
            memcpy(path + len, exe, exe_len + 1);
            (void) execve(path, args, env);
            if (errno == EACCES)
                denied = true;
            else if (errno != ENOENT)
                return -1;
        }
        if (*end == '\0')
            break;
        element = end + 1;
    }
    if (denied)
        errno = EACCES;
    return -1;
}
