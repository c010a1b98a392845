#include "client/debug.h"

#include "client/client.h"
#include "client/object.h"
#include "client/text.h"
#include "common/cf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The kept core image: where the pipeline keeps it, never while the
// archiver is still writing it.
static bool core_find(const struct ks_object *object, char *path, size_t size)
{
    struct ks_cf *cf = ks_cf_get();
    const char *const places[] = {cf->path.pending, cf->path.committed, cf->path.failed.pending};
    struct stat st;

    for (const char *directory : places) {
        int n = snprintf(path, size, "%s/%s", directory, object->basename);
        if (n > 0 && static_cast<size_t>(n) < size && lstat(path, &st) == 0 && S_ISREG(st.st_mode))
            return true;
    }
    return false;
}

// The first executable file called name in PATH, as execvp would find it.
static bool program_find(const char *name, char *path, size_t size)
{
    const char *search = getenv("PATH");
    char fallback[256];
    struct stat st;

    if (search == nullptr) {
        size_t n = confstr(_CS_PATH, fallback, sizeof(fallback));
        search = n > 0 && n <= sizeof(fallback) ? fallback : "/bin:/usr/bin";
    }
    for (const char *p = search;; p++) {
        const char *end = strchrnul(p, ':');
        int length = static_cast<int>(end - p);
        int n = length == 0 ? snprintf(path, size, "%s", name) : snprintf(path, size, "%.*s/%s", length, p, name);
        if (n > 0 && static_cast<size_t>(n) < size && stat(path, &st) == 0 && S_ISREG(st.st_mode) &&
            access(path, X_OK) == 0)
            return true;
        if (*end == '\0')
            return false;
        p = end;
    }
}

[[noreturn]] static void debug_usage(void)
{
    fputs("Usage: debug <object> [-- <gdb arguments>]\n", stderr);
    exit(1);
}

void ks_debug_run(int argc, char **argv)
{
    char core[4096], gdb[4096];

    if (argc < 2 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--") == 0 ||
        (argc > 2 && strcmp(argv[2], "--") != 0))
        debug_usage();

    const struct ks_object *object = ks_object_resolve(argv[1]);
    if (!core_find(object, core, sizeof(core))) {
        fputs("error: no core image of ", stderr);
        ks_text_put_safe_str(stderr, object->basename);
        fputs(" is kept\n", stderr);
        exit(1);
    }
    if (object->executable == nullptr) {
        fputs("error: the executable of ", stderr);
        ks_text_put_safe_str(stderr, object->basename);
        fputs(" is not known\n", stderr);
        exit(1);
    }
    if (!program_find("gdb", gdb, sizeof(gdb))) {
        fputs("error: gdb not found in PATH; install the package \"gdb\"\n", stderr);
        exit(1);
    }

    // gdb [<gdb arguments>] -- <executable> <core image>: "--" keeps any
    // executable path from reading as an option.
    std::vector<char *> args;
    try {
        args.push_back(const_cast<char *>("gdb"));
        for (int i = 3; i < argc; i++)
            args.push_back(argv[i]);
        args.push_back(const_cast<char *>("--"));
        args.push_back(const_cast<char *>(ks_object_executable(object)));
        args.push_back(core);
        args.push_back(nullptr);
    } catch (const std::bad_alloc &) {
        ks_client_allocation_failure();
    }
    fflush(stdout);
    execv(gdb, args.data());
    fprintf(stderr, "error: failed to start %s: %s\n", gdb, strerror(errno));
    exit(1);
}
