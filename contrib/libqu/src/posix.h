#ifndef QU_POSIX_H
#define QU_POSIX_H

#include <sys/types.h>

// Replace the calling process with exe, searched along PATH as the shell does,
// with an explicit environment. Both return only on failure: -1 with errno.

// Searches the PATH of the calling process, not a PATH found in envp.
int qu_execvpe(const char *exe, const char **argv, const char **envp);
// A null search_path means "/usr/local/bin:/bin:/usr/bin". A name holding "/"
// is executed as it is; a name of 256 characters or more fails with
// ENAMETOOLONG; EACCES on some element is reported only when no later element
// holds the program; any error other than EACCES and ENOENT ends the search.
int qu_execvpe_path(const char *exe, const char *search_path, const char **argv,
                    const char **envp);

// In a child between fork (or vfork) and exec: lead a process group of its
// own, so that a signal to the group reaches whatever the program starts, and
// be killed when the parent dies. A parent that died before the prctl is
// noticed by the changed parent id: the child then ends with _exit(1).
// System calls only, so it is safe in a vfork child.
void qu_child_detach(pid_t parent);

#endif
