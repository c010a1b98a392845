// The archive reader on arbitrary objects: every entry is walked and its
// data touched, with the object placed right before an inaccessible page so
// that a read past its end faults. The lookup in the first bytes of an
// object must agree with the walk whenever it gives an answer.

#include "common/tar.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

static int memfd = -1;
static char memfd_path[64];
static size_t page;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    memfd = memfd_create("tar_fuzz", MFD_CLOEXEC);
    if (memfd == -1)
        abort();
    snprintf(memfd_path, sizeof memfd_path, "/proc/self/fd/%d", memfd);
    page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    // The reader's messages would drown the fuzzer's own output, which goes
    // to the stream it took at start-up; sanitizer reports use fd 2 directly.
    FILE *null = fopen("/dev/null", "we");
    if (null != nullptr)
        stderr = null;
    return 0;
}

static void check(bool condition)
{
    if (!condition)
        abort();
}

static void walk(struct ks_tar_iterator *it)
{
    const char *path, *content;
    size_t length, count = 0, sum = 0;
    ks_tar_type type;

    while ((content = ks_tar_iterate(it, &path, &length, &type)) != nullptr) {
        check(++count <= it->length / 512);
        check(path == it->path && memchr(it->path, '\0', sizeof it->path) != nullptr);
        if (type == KS_TAR_T_FILE) {
            check(content >= it->buffer + 512);
            check(length <= static_cast<size_t>(it->buffer + it->length - content));
            for (size_t i = 0; i < length; i++)
                sum += static_cast<unsigned char>(content[i]);
        } else {
            check(type == KS_TAR_T_LINK && content == it->link);
            check(length <= sizeof it->link && memchr(it->link, '\0', sizeof it->link) != nullptr);
        }
    }
    check(ks_tar_iterate(it, &path, &length, &type) == nullptr);
    // Keeps the reads of the data.
    volatile size_t sink = sum;
    (void) sink;
}

struct found {
    bool present;
    std::string content;
    size_t length;
    ks_tar_type type;
};

// The first "/proc/self/exe" as the whole walk finds it.
static struct found walk_find(struct ks_tar_iterator *it)
{
    size_t length;
    ks_tar_type type;
    const char *content = ks_tar_iterate_to(it, "/proc/self/exe", &length, &type);

    if (content == nullptr)
        return {false, "", 0, KS_TAR_T_FILE};
    return {true, type == KS_TAR_T_LINK ? std::string(content) : std::string(content, length), length, type};
}

// The lookup in the first cut bytes, which lie right before an inaccessible
// page, against the walk's answer.
static void lookup_agrees(const char *copy_end, const uint8_t *data, size_t cut, bool whole,
                          const struct found &expected)
{
    static struct ks_tar_iterator it;
    const char *content;
    size_t length;
    ks_tar_type type;
    const char *prefix = copy_end - cut;

    memmove(const_cast<char *>(prefix), data, cut);
    ks_tar_lookup answer = ks_tar_find(&it, prefix, cut, whole, "/proc/self/exe", &content, &length, &type);
    if (answer == KS_TAR_L_UNKNOWN)
        return;
    check((answer == KS_TAR_L_FOUND) == expected.present);
    if (answer == KS_TAR_L_FOUND) {
        check(type == expected.type && length == expected.length);
        check((type == KS_TAR_T_LINK ? std::string(content) : std::string(content, length)) == expected.content);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(memfd, 0) == -1 ||
        (size != 0 && pwrite(memfd, data, size, 0) != static_cast<ssize_t>(size)))
        abort();
    struct ks_tar_iterator *it = ks_tar_iterator_open(memfd_path);
    if (it == nullptr) {
        check(size == 0);
        return 0;
    }
    check(it->length == size);

    size_t bytes = (size + page - 1) / page * page;
    char *region = static_cast<char *>(
        mmap(nullptr, bytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    check(region != MAP_FAILED);
    char *copy = region + bytes - size;
    memcpy(copy, data, size);
    check(mprotect(region, bytes, PROT_READ) == 0 && mprotect(region + bytes, page, PROT_NONE) == 0);

    char *mapping = it->buffer;
    it->buffer = copy;
    walk(it);
    it->buffer = mapping;
    ks_tar_iterator_destroy(it);

    // The lookup reads its bytes from a writable copy against the guard page.
    check(mprotect(region, bytes, PROT_READ | PROT_WRITE) == 0);
    it = ks_tar_iterator_open(memfd_path);
    check(it != nullptr);
    struct found expected = walk_find(it);
    ks_tar_iterator_destroy(it);
    lookup_agrees(region + bytes, data, size, true, expected);
    lookup_agrees(region + bytes, data, size / 2, false, expected);
    munmap(region, bytes + page);
    return 0;
}
