#include "client/debug.h"

#include "client/asset.h"
#include "client/client.h"
#include "client/core.h"
#include "client/object.h"
#include "client/text.h"
#include "client/tree.h"
#include "common/facts.h"
#include "common/fd.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

static const char usage_text[] =
    "Usage: debug <object> [-- <gdb arguments>]\n"
    "       debug --core <file> --asset <file> [--executable <path>] [-- <gdb arguments>]\n";
static const char help_text[] =
    "\n"
    "Starts gdb on the executable and the kept core image of one crash, named by\n"
    "its base name or a prefix that only it has. gdb reads no source files:\n"
    "it prints file and line only (add -- -iex 'set source open on' to a\n"
    "trusted crash).\n"
    "\n"
    "    --core <file>        a core image from outside the archive tree,\n"
    "                         plain or compressed with zstd\n"
    "    --asset <file>       its asset, which names the executable\n"
    "    --executable <path>  the executable to use instead\n"
    "    -h                   this text\n";

// The crash, once its files are open.
struct target {
    const char *shown;      // the crash's name, or the core image's path
    const char *executable; // the path the executable was found by
    int core;
    int program;
    // The asset's facts entry, still escaped; empty when it has none.
    std::string facts;
};

// The first line for a mistake in the usual form, both forms for one in the
// other, everything for -h.
[[noreturn]] static void debug_usage(bool outside, bool help)
{
    if (outside || help)
        fputs(usage_text, stderr);
    else
        fprintf(stderr, "%.*s", static_cast<int>(strcspn(usage_text, "\n") + 1), usage_text);
    if (help)
        fputs(help_text, stderr);
    exit(1);
}

[[noreturn]] static void fail(const char *before, const char *name, const char *after)
{
    fputs(before, stderr);
    ks_text_put_safe_str(stderr, name);
    fputs(after, stderr);
    exit(1);
}

[[noreturn]] static void fail_open(const char *what, const char *path)
{
    int error = errno;

    fprintf(stderr, "error: cannot open %s", what);
    ks_text_put_safe_str(stderr, path);
    fprintf(stderr, ": %s\n", error == EINVAL ? "not a regular file" : strerror(error));
    exit(1);
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

// A regular file for reading; O_NONBLOCK so that a FIFO cannot hang the open.
static int open_regular(int at, const char *path, int flags)
{
    struct stat st;
    int fd = openat(at, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags);

    if (fd == -1)
        return -1;
    if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode)) {
        ks_fd_close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// The kept core image: where the pipeline keeps it, never while the
// archiver is still writing it.
static int core_open(const struct ks_object *object)
{
    static const enum ks_tree_place places[] = {KS_TREE_PENDING, KS_TREE_COMMITTED, KS_TREE_FAILED_PENDING};

    for (enum ks_tree_place place : places) {
        int directory = ks_tree_dir(place);
        int fd = directory != -1 ? open_regular(directory, object->basename, O_NOFOLLOW) : -1;
        if (fd != -1)
            return fd;
    }
    return -1;
}

// The facts entry and, when wanted, the executable the asset names.
static void asset_read(int fd, struct target *target, std::string *executable)
{
    struct ks_tar_iterator *it = fd != -1 ? ks_tar_iterator_fdopen(fd) : nullptr;
    const char *name, *content;
    size_t length;
    ks_tar_type type;
    bool facts = false;

    if (it == nullptr)
        return;
    while ((content = ks_tar_iterate(it, &name, &length, &type)) != nullptr) {
        if (executable != nullptr && strcmp(name, "/proc/self/exe") == 0) {
            executable->assign(content, strnlen(content, length));
            executable = nullptr;
        } else if (!facts && type == KS_TAR_T_FILE && strcmp(name, KS_FACTS_ENTRY) == 0) {
            target->facts.assign(content, length);
            facts = true;
        }
    }
    ks_tar_iterator_destroy(it);
}

static std::string fact(const struct target *target, const char *key)
{
    size_t length;
    const char *value = ks_facts_find(target->facts.data(), target->facts.size(), key, &length);
    char text[4096];

    if (value == nullptr)
        return "";
    size_t n = ks_facts_unescape(value, length, text, sizeof(text));
    return std::string(text, std::min(n, sizeof(text) - 1));
}

// A path names a file within one mount namespace, and files get replaced:
// the administrator is told when the executable here may not be the one
// that crashed.
static void identity_check(const struct target *target)
{
    struct stat st;
    char now[64];

    std::string device = fact(target, "exe.device"), inode = fact(target, "exe.inode");
    if (!device.empty() && !inode.empty() && fstat(target->program, &st) == 0) {
        snprintf(now, sizeof(now), "%u:%u", major(st.st_dev), minor(st.st_dev));
        if (device != now || inode != std::to_string(st.st_ino)) {
            fputs("warning: ", stderr);
            ks_text_put_safe_str(stderr, target->executable);
            fputs(" is not the file that crashed (device ", stderr);
            ks_text_put_safe(stderr, device.data(), device.size());
            fputs(", inode ", stderr);
            ks_text_put_safe(stderr, inode.data(), inode.size());
            fprintf(stderr, " then; device %s, inode %ju now)\n", now, static_cast<uintmax_t>(st.st_ino));
        }
    }
    if (fact(target, "mount.namespace.initial") == "no") {
        fputs("warning: the crash came from another mount namespace: ", stderr);
        ks_text_put_safe_str(stderr, target->executable);
        fputs(" may name another file here\n", stderr);
    }
}

static int program_open(const struct target *target)
{
    int fd = open_regular(AT_FDCWD, target->executable, 0);

    if (fd == -1) {
        int error = errno;
        fputs("error: cannot open the executable ", stderr);
        ks_text_put_safe_str(stderr, target->executable);
        fputs(" of ", stderr);
        ks_text_put_safe_str(stderr, target->shown);
        fprintf(stderr, ": %s\n", error == EINVAL ? "not a regular file" : strerror(error));
        exit(1);
    }
    return fd;
}

// A descriptor gdb inherits, by a path that holds nothing the crashed
// process chose (gdb echoes the paths it is given).
static std::string inherited(int fd)
{
    if (fcntl(fd, F_SETFD, 0) == -1) {
        perror("error: fcntl");
        exit(1);
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

// gdb -iex "set source open off" [<gdb arguments>] -- <executable> <core>:
// the setting comes first so that nothing before it reads a source file,
// and "--" keeps the paths from reading as options.
[[noreturn]] static void gdb_exec(struct target *target, const char *gdb, char **extra, int n_extra)
{
    struct ks_core_format format;

    if (!ks_core_examine(target->core, &format))
        fail("error: cannot read the core image of ", target->shown, "\n");
    if (format.compressed) {
        int plain = ks_core_decompress(target->core, target->shown);
        if (plain == -1)
            exit(1);
        ks_fd_close(target->core);
        target->core = plain;
    }
    identity_check(target);

    std::vector<std::string> words;
    std::vector<char *> args;
    try {
        std::string program = inherited(target->program), core = inherited(target->core);
        words = {"gdb", "-iex", "set source open off"};
        for (int i = 0; i < n_extra; i++)
            words.emplace_back(extra[i]);
        words.insert(words.end(), {"--", program, core});
        for (auto &word : words)
            args.push_back(word.data());
        args.push_back(nullptr);
    } catch (const std::bad_alloc &) {
        ks_client_allocation_failure();
    }
    fflush(stdout);
    execv(gdb, args.data());
    fprintf(stderr, "error: failed to start %s: %s\n", gdb, strerror(errno));
    exit(1);
}

static void gdb_find(char *gdb, size_t size)
{
    if (!program_find("gdb", gdb, size)) {
        fputs("error: gdb not found in PATH; install the package \"gdb\"\n", stderr);
        exit(1);
    }
}

bool ks_debug_outside(int argc, char **argv)
{
    return argc > 1 && (strcmp(argv[1], "--core") == 0 || strcmp(argv[1], "--asset") == 0 ||
                        strcmp(argv[1], "--executable") == 0);
}

// A crash fetched from elsewhere: the files the caller names, read with the
// caller's own rights.
static void debug_outside(int argc, char **argv)
{
    const char *core = nullptr, *asset = nullptr, *executable = nullptr;
    int i = 1;

    for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
        const char **slot = strcmp(argv[i], "--core") == 0         ? &core
                            : strcmp(argv[i], "--asset") == 0      ? &asset
                            : strcmp(argv[i], "--executable") == 0 ? &executable
                                                                   : nullptr;
        if (slot == nullptr || i + 1 >= argc || *slot != nullptr || argv[i + 1][0] == '\0')
            debug_usage(true, false);
        *slot = argv[i + 1];
    }
    if (core == nullptr || (asset == nullptr && executable == nullptr))
        debug_usage(true, false);

    struct target target = {core, nullptr, -1, -1, {}};
    std::string named;
    target.core = open_regular(AT_FDCWD, core, 0);
    if (target.core == -1)
        fail_open("the core image ", core);
    if (asset != nullptr) {
        int fd = open_regular(AT_FDCWD, asset, 0);
        if (fd == -1)
            fail_open("the asset ", asset);
        asset_read(fd, &target, executable == nullptr ? &named : nullptr);
    }
    if (executable == nullptr && named.empty())
        fail("error: the asset ", asset, " does not name the executable; give it with --executable\n");
    target.executable = executable != nullptr ? executable : named.c_str();

    char gdb[4096];
    gdb_find(gdb, sizeof(gdb));
    target.program = program_open(&target);
    gdb_exec(&target, gdb, argv + i + 1, i < argc ? argc - i - 1 : 0);
}

void ks_debug_run(int argc, char **argv)
{
    char gdb[4096];

    if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0))
        debug_usage(false, true);
    if (ks_debug_outside(argc, argv)) {
        debug_outside(argc, argv);
        return;
    }
    if (argc < 2 || strcmp(argv[1], "--") == 0 || (argc > 2 && strcmp(argv[2], "--") != 0))
        debug_usage(false, false);

    const struct ks_object *object = ks_object_resolve(argv[1]);
    struct target target = {object->basename, nullptr, core_open(object), -1, {}};
    if (target.core == -1)
        fail("error: no core image of ", object->basename, " is kept\n");
    if (object->executable == nullptr)
        fail("error: the executable of ", object->basename, " is not known\n");
    target.executable = ks_object_executable(object);
    gdb_find(gdb, sizeof(gdb));
    asset_read(ks_asset_open(object->basename), &target, nullptr);
    target.program = program_open(&target);
    gdb_exec(&target, gdb, argv + 3, argc > 3 ? argc - 3 : 0);
}
