#include "client/asset.h"

#include "client/tree.h"
#include "common/facts.h"
#include "common/fd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
