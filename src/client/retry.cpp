#include "client/retry.h"

#include "client/object.h"
#include "client/text.h"
#include "client/tree.h"
#include "common/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A rename between two descriptors of the tree: neither directory can be
// swapped for a link on the way.
static void object_retry(const struct ks_object *object)
{
    enum ks_tree_place from, to;
    char target[4096];

    switch (object->stage) {
    case KS_STAGE_F_PENDING:
        from = KS_TREE_FAILED_PENDING;
        to = KS_TREE_PENDING;
        break;
    case KS_STAGE_F_SENDING:
        from = KS_TREE_FAILED_SENDING;
        to = KS_TREE_SENDING;
        break;
    default:
        return;
    }
    int n = snprintf(target, sizeof(target), "%s/%s", ks_tree_path(to), object->basename);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(target)) {
        ks_log(LOG_ERR, "error: failed to generate path.\n");
        return;
    }
    char path[8192];
    ks_object_path(object, path, sizeof(path));
    int directory = ks_tree_dir(to);
    if (directory == -1)
        errno = ENOENT;
    if (directory == -1 || renameat(ks_tree_dir(from), object->basename, directory, object->basename) == -1) {
        ks_log(LOG_ERR, "error: rename of %s failed: %s\n", object->basename, strerror(errno));
        return;
    }
    printf("%s => %s\n", path, target);
}

static const char usage_text[] = "Usage: retry <object> ...\n";
static const char help_text[] = "       retry all\n"
                                "\n"
                                "Moves crashes given up after failing back into the pipeline: the core\n"
                                "image of a \"! pending\" crash into pending, the snapshot of a \"! sending\"\n"
                                "crash into sending. <object> is a prefix of base names; all moves every\n"
                                "failed crash.\n"
                                "\n"
                                "    -h   this text\n";

void ks_retry_run(int argc, char **argv)
{
    struct ks_object_filter filter = {nullptr, nullptr, false, false};

    if (argc < 2 || strcmp(argv[1], "-h") == 0)
        ks_text_usage(usage_text, help_text, argc >= 2);
    if (!(argc == 2 && strcmp(argv[1], "all") == 0))
        filter.path = argv + 1;

    ks_object_load(&filter);
    for (uint32_t i = 0; i < ks_object_table()->length; i++)
        object_retry(ks_object_at(ks_object_table(), i));
    ks_object_release();
}
