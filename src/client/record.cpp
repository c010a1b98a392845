#include "client/record.h"

#include "client/client.h"
#include "client/tree.h"
#include "common/cf.h"
#include "common/fd.h"
#include "common/ledger.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>


static struct {
    std::unordered_map<uid_t, std::string> *users; // "" for a uid without a name
} record;

static std::string ledger_path(void) { return std::string(ks_cf_get()->archive.root) + "/" KS_LEDGER_FILE; }

void ks_record_unreadable(const char *error)
{
    fprintf(stderr, "error: cannot read the crash ledger: %s: %s\n", ledger_path().c_str(), error);
    exit(1);
}

[[noreturn]] static void missing(int root)
{
    struct stat st;

    // The archiver sets a damaged ledger aside and starts a new one with
    // the next crash: until then there is none, though crashes were seen.
    if (root != -1 && fstatat(root, KS_LEDGER_DAMAGED, &st, AT_SYMLINK_NOFOLLOW) == 0)
        fprintf(stderr,
                "error: the crash ledger was damaged and has been set aside as %s/" KS_LEDGER_DAMAGED
                "; a new one begins with the next crash\n",
                ks_cf_get()->archive.root);
    else
        fprintf(stderr, "no crash has been recorded yet in %s\n", ks_cf_get()->archive.root);
    exit(1);
}

// The file is looked at through the root as the tree opened it, never
// through a link; SQLite then opens it by its path, read-only.
struct ks_ledger *ks_record_open(bool required)
{
    int root = ks_tree_root();
    struct stat st;
    struct ks_ledger *ledger;
    const char *error = "";

    if (root == -1) {
        if (required)
            missing(root);
        return nullptr;
    }
    int fd = openat(root, KS_LEDGER_FILE, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int why = errno;
    bool regular = fd != -1 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (fd != -1)
        ks_fd_close(fd);
    if (!required && (fd == -1 || !regular))
        return nullptr;
    if (fd == -1 && why == ENOENT)
        missing(root);
    if (fd == -1 && (why == EACCES || why == EPERM))
        ks_tree_refused("the crash ledger", root, KS_LEDGER_FILE, ledger_path().c_str());
    if (fd == -1 && why == ELOOP)
        ks_tree_link_refused(ledger_path().c_str());
    if (fd == -1)
        ks_record_unreadable(strerror(why));
    if (!regular)
        ks_record_unreadable("not a regular file");
    if (!ks_ledger_open_read(&ledger, ks_cf_get()->archive.root, &error)) {
        if (required)
            ks_record_unreadable(error);
        return nullptr;
    }
    return ledger;
}

// A ledger holds few users, each on many rows: each is looked up once.
const char *ks_record_user(uid_t uid)
{
    try {
        if (record.users == nullptr)
            record.users = new std::unordered_map<uid_t, std::string>;
        auto found = record.users->find(uid);
        if (found == record.users->end()) {
            struct passwd *pw = getpwuid(uid);
            found = record.users->emplace(uid, pw != nullptr && pw->pw_name != nullptr ? pw->pw_name : "").first;
        }
        return found->second.empty() ? nullptr : found->second.c_str();
    } catch (const std::bad_alloc &) {
        ks_client_allocation_failure();
    }
}

size_t ks_record_time(time_t when, char text[32])
{
    struct tm tm;

    if (localtime_r(&when, &tm) == nullptr || strftime(text, 32, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        snprintf(text, 32, "%lld", static_cast<long long>(when));
    return strlen(text);
}

size_t ks_record_offset(uint64_t offset, char text[32])
{
    return static_cast<size_t>(snprintf(text, 32, "0x%" PRIx64, offset));
}

bool ks_record_number(const char *text, unsigned long long max, unsigned long long *value)
{
    char *end;

    if (*text < '0' || *text > '9')
        return false;
    errno = 0;
    unsigned long long n = strtoull(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || n > max)
        return false;
    *value = n;
    return true;
}
