#include "client/retry.h"

#include "client/object.h"
#include "common/cf.h"
#include "common/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void object_retry(struct ks_cf *cf, const struct ks_object *object)
{
    const char *directory;
    char target[4096];

    switch (object->stage) {
    case KS_STAGE_F_PENDING:
        directory = cf->path.pending;
        break;
    case KS_STAGE_F_SENDING:
        directory = cf->path.sending;
        break;
    default:
        return;
    }
    int n = snprintf(target, sizeof(target), "%s/%s", directory, object->basename);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(target)) {
        ks_log(LOG_ERR, "error: failed to generate path.\n");
        return;
    }
    char path[8192];
    ks_object_path(object, path, sizeof(path));
    if (rename(path, target) == -1) {
        ks_log(LOG_ERR, "error: rename of %s failed: %s\n", object->basename, strerror(errno));
        return;
    }
    printf("%s => %s\n", path, target);
}

void ks_retry_run(int argc, char **argv)
{
    struct ks_object_filter filter = {nullptr, nullptr, false};
    struct ks_cf *cf = ks_cf_get();

    if (argc < 2) {
        fputs("Usage: retry <object> ...\n", stderr);
        exit(1);
    }
    if (!(argc == 2 && strcmp(argv[1], "all") == 0))
        filter.path = argv + 1;

    ks_object_load(&filter);
    for (uint32_t i = 0; i < ks_object_table()->length; i++)
        object_retry(cf, ks_object_at(ks_object_table(), i));
    ks_object_release();
}
