#include "client/compress.h"

#include "client/client.h"
#include "client/core.h"
#include "client/text.h"
#include "client/tree.h"
#include "common/cf.h"
#include "common/fd.h"
#include "common/fs.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>
#include <vector>

// zstd's own default: on a core image it keeps nearly all that the slower
// levels find, at a few hundred megabytes a second.
static constexpr int compress_level = 3;

static const char usage_text[] = "Usage: compress all|<object> ...\n";
static const char help_text[] =
    "\n"
    "Compresses the kept core images of these crashes (in committed/coredump)\n"
    "with zstd, under the same name, keeping their time, owner and mode. An\n"
    "image that would take as many blocks on disk compressed as it takes now\n"
    "is left as it is, and so is one compressed already. <object> is a base\n"
    "name or a prefix that only one kept core image has; all compresses every\n"
    "one.\n"
    "\n"
    "    -h   this text\n";

// The compressed image until it is complete: an unnamed file, linked under
// a private dot name for the moment before it takes the image's name, or
// named from the start where the filesystem has no unnamed files. It is
// locked for its whole life, so that the daemon's clean-up of what
// interrupted compressions leave behind never takes it.
struct private_file {
    int fd = -1;
    bool named = false;
    char name[sizeof KS_CF_COMPRESS_PRIVATE + 36];
};

// What became of one image.
enum outcome {
    OUTCOME_COMPRESSED,
    OUTCOME_ALREADY,
    OUTCOME_PLAIN, // compressed it would take no fewer blocks
    OUTCOME_FAILED,
};

struct result {
    enum outcome outcome;
    uint64_t before; // bytes on disk
    uint64_t after;
    std::string why; // of a failure
};

static void private_name(char *name)
{
    uuid_t uuid;

    uuid_generate(uuid);
    strcpy(name, KS_CF_COMPRESS_PRIVATE);
    uuid_unparse_lower(uuid, name + sizeof KS_CF_COMPRESS_PRIVATE - 1);
}

static bool private_open(int dir, struct private_file *p)
{
    p->fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (p->fd == -1 && errno != EOPNOTSUPP && errno != EISDIR)
        return false;
    if (p->fd == -1) {
        do {
            private_name(p->name);
            p->fd = openat(dir, p->name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (p->fd == -1 && errno == EEXIST);
        if (p->fd == -1)
            return false;
        p->named = true;
    }
    return flock(p->fd, LOCK_EX) == 0;
}

// An unnamed file gets a name through its /proc link: linking it by its
// descriptor alone would take a capability.
static bool private_link(int dir, struct private_file *p)
{
    char link[64];
    int rc;

    if (p->named)
        return true;
    snprintf(link, sizeof link, "/proc/self/fd/%d", p->fd);
    do {
        private_name(p->name);
        rc = linkat(AT_FDCWD, link, dir, p->name, AT_SYMLINK_FOLLOW);
    } while (rc == -1 && errno == EEXIST);
    p->named = rc == 0;
    return p->named;
}

static void private_close(int dir, struct private_file *p)
{
    if (p->named)
        (void) unlinkat(dir, p->name, 0);
    if (p->fd != -1)
        ks_fd_close(p->fd);
    p->fd = -1;
    p->named = false;
}

static struct result failed(const char *what, int error)
{
    struct result r = {OUTCOME_FAILED, 0, 0, what};

    if (error != 0)
        r.why = r.why + ": " + strerror(error);
    return r;
}

// The compressed file takes the original's place with its time, owner and
// mode, and only if the original is still the file that was read.
static struct result replace(int dir, const char *name, const struct stat *plain, struct private_file *p)
{
    struct stat st, now;
    const struct timespec times[2] = {plain->st_atim, plain->st_mtim};

    if (fdatasync(p->fd) == -1 || fstat(p->fd, &st) == -1)
        return failed("failed to write the compressed image", errno);
    uint64_t before = static_cast<uint64_t>(plain->st_blocks) * 512, after = static_cast<uint64_t>(st.st_blocks) * 512;
    if (st.st_blocks >= plain->st_blocks)
        return {OUTCOME_PLAIN, before, after, ""};
    if ((st.st_uid != plain->st_uid || st.st_gid != plain->st_gid) && fchown(p->fd, plain->st_uid, plain->st_gid) == -1)
        return failed("cannot give the compressed image the owner of the plain one", errno);
    if (fchmod(p->fd, plain->st_mode & 07777) == -1 || futimens(p->fd, times) == -1)
        return failed("cannot give the compressed image the mode and time of the plain one", errno);
    if (!private_link(dir, p))
        return failed("cannot name the compressed image", errno);
    if (fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == -1 || now.st_dev != plain->st_dev ||
        now.st_ino != plain->st_ino)
        return failed("the image was replaced or removed meanwhile", 0);
    if (renameat(dir, p->name, dir, name) == -1)
        return failed("cannot rename the compressed image into place", errno);
    p->named = false;
    return {OUTCOME_COMPRESSED, before, after, ""};
}

static struct result compress_one(int dir, const char *name)
{
    struct stat plain;
    struct ks_core_format format;
    struct private_file p;
    const char *why = "";

    // O_NONBLOCK: a FIFO in place of an image must not hang the open.
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd == -1)
        return failed("cannot open it", errno);
    if (fstat(fd, &plain) == -1 || !ks_core_examine(fd, &format)) {
        int error = errno;
        ks_fd_close(fd);
        return failed("cannot read it", error);
    }
    if (!S_ISREG(plain.st_mode)) {
        ks_fd_close(fd);
        return failed("not a regular file", 0);
    }
    if (format.compressed) {
        ks_fd_close(fd);
        return {OUTCOME_ALREADY, 0, 0, ""};
    }
    uint64_t before = static_cast<uint64_t>(plain.st_blocks) * 512;
    if (plain.st_blocks == 0) {
        ks_fd_close(fd);
        return {OUTCOME_PLAIN, before, before, ""};
    }
    if (!private_open(dir, &p)) {
        int error = errno;
        ks_fd_close(fd);
        private_close(dir, &p);
        return failed("cannot create the compressed image", error);
    }
    // Output that reaches the plain image's blocks can only end up larger.
    uint64_t room = ks_fs_room(p.fd, ks_cf_get()->archive.quota), limit = std::min(before, room);
    struct result r;
    switch (ks_core_compress(fd, static_cast<uint64_t>(plain.st_size), p.fd, compress_level, limit, &why)) {
    case KS_CORE_COMPRESSED:
        r = replace(dir, name, &plain, &p);
        break;
    case KS_CORE_LIMIT:
        if (room < before)
            r = failed("the filesystem would fall below dump.quota", 0);
        else
            r = {OUTCOME_PLAIN, before, limit, ""};
        break;
    case KS_CORE_FAILED:
        r = {OUTCOME_FAILED, 0, 0, why};
        break;
    }
    ks_fd_close(fd);
    private_close(dir, &p);
    return r;
}

// The kept core images: regular files that are not private dot names.
static std::vector<std::string> kept_names(int dir)
{
    std::vector<std::string> names;
    DIR *d = ks_tree_opendir(dir, "error: failed to read the committed directory");

    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.' && (e->d_type == DT_REG || e->d_type == DT_UNKNOWN))
            names.emplace_back(e->d_name);
    (void) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// The base name an argument selects: itself when a kept image has it,
// else the one kept image whose name begins with it. Empty, after a
// message, when there is none or more than one.
static std::string select(int dir, const std::vector<std::string> &names, const char *wanted)
{
    struct stat st;
    const std::string *found = nullptr;
    size_t matches = 0;

    if (strchr(wanted, '/') == nullptr && wanted[0] != '.' && fstatat(dir, wanted, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return wanted;
    for (const auto &name : names) {
        if (name.compare(0, strlen(wanted), wanted) != 0)
            continue;
        found = &name;
        matches++;
    }
    if (matches == 1)
        return *found;
    fputs("error: ", stderr);
    ks_text_put_safe_str(stderr, wanted);
    if (matches == 0)
        fputs(": no kept core image has this name\n", stderr);
    else
        fprintf(stderr, " is ambiguous; %zu kept core images begin with it\n", matches);
    return "";
}

static void report(const char *name, const struct result &r)
{
    if (r.outcome == OUTCOME_FAILED) {
        fflush(stdout);
        fputs("error: cannot compress ", stderr);
        ks_text_put_safe_str(stderr, name);
        fprintf(stderr, ": %s\n", r.why.c_str());
        return;
    }
    ks_text_put_safe_str(stdout, name);
    if (r.outcome == OUTCOME_COMPRESSED)
        printf(": compressed from %" PRIu64 " to %" PRIu64 " bytes on disk\n", r.before, r.after);
    else if (r.outcome == OUTCOME_ALREADY)
        printf(": compressed already\n");
    else
        printf(": left plain, as compressed it would take no fewer than its %" PRIu64 " bytes on disk\n", r.before);
    fflush(stdout);
}

void ks_compress_run(int argc, char **argv)
{
    bool failure = false;

    if (argc < 2 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)
        ks_text_usage(usage_text, help_text, argc >= 2);
    int dir = ks_tree_dir(KS_TREE_COMMITTED);
    if (dir == -1) {
        fprintf(stderr, "error: %s does not exist\n", ks_tree_path(KS_TREE_COMMITTED));
        exit(1);
    }
    std::vector<std::string> names, chosen;
    try {
        names = kept_names(dir);
        if (argc == 2 && strcmp(argv[1], "all") == 0) {
            chosen = names;
        } else {
            for (int i = 1; i < argc; i++) {
                std::string name = select(dir, names, argv[i]);
                failure |= name.empty();
                if (!name.empty() && std::find(chosen.begin(), chosen.end(), name) == chosen.end())
                    chosen.push_back(name);
            }
        }
        for (const auto &name : chosen) {
            struct result r = compress_one(dir, name.c_str());
            report(name.c_str(), r);
            failure |= r.outcome == OUTCOME_FAILED;
        }
    } catch (const std::bad_alloc &) {
        ks_client_allocation_failure();
    }
    if (failure)
        exit(1);
}
