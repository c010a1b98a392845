#include "client/asset.h"

#include "client/tree.h"
#include "common/facts.h"
#include "common/fd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int ks_asset_open(const char *basename)
{
    int assets = ks_tree_dir(KS_TREE_ASSETS);

    if (assets == -1) {
        errno = ENOENT;
        return -1;
    }
    // O_NONBLOCK: a FIFO in place of an asset must not hang the open.
    return openat(assets, basename, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
}

struct ks_tar_iterator *ks_asset_map(int fd)
{
    struct stat st;
    struct ks_tar_iterator *it = nullptr;
    void *map = MAP_FAILED;

    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    ks_fd_close(fd);
    if (map == MAP_FAILED)
        return nullptr;
    // The iterator of a fresh open: zeroed, with the cursor before the first record.
    it = static_cast<struct ks_tar_iterator *>(calloc(1, sizeof(*it)));
    if (it == nullptr) {
        (void) munmap(map, static_cast<size_t>(st.st_size));
        return nullptr;
    }
    it->length = static_cast<size_t>(st.st_size);
    it->buffer = static_cast<char *>(map);
    return it;
}

void ks_asset_facts_parse(struct ks_asset_facts *facts, const char *text, size_t length)
{
    const char *value;
    size_t n;
    char number[16];

    *facts = {};
    (void) ks_facts_signature(text, length, facts->signature);
    value = ks_facts_find(text, length, "signal", &n);
    if (value != nullptr && n > 0 && n < sizeof(number)) {
        memcpy(number, value, n);
        number[n] = '\0';
        char *end;
        long signal = strtol(number, &end, 10);
        if (*end == '\0' && signal > 0 && signal < 128)
            facts->signal = static_cast<int>(signal);
    }
}
