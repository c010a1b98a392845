// kestrel: lists the crashes of the archive tree and puts failed ones back
// into the pipeline. It reads the daemon's configuration but never talks to
// the daemon and takes no lock.

#include "common/array.h"
#include "common/cf.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/parse.h"
#include "common/tar.h"
#include "server/misc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

enum {
    OBJECT_R_COREDUMP = 0,
    OBJECT_R_SNAPSHOT = 1,
    OBJECT_R_ASSET = 2,
    OBJECT_R_COUNT = 3,
};

enum object_sort {
    OBJECT_S_CREATION = 0,
    OBJECT_S_APPLICATION = 1,
};

struct ks_object {
    ks_stage stage;
    const char *basename;
    char *executable;
    char *path;
    unsigned long resources;
    struct {
        const char *unit;
        double bytes;
        off_t size;
        time_t creation;
    } st;
};

struct object_filter {
    const char *fn;
    char **path;
};

struct object_stat {
    size_t bytes;
    unsigned int n_object;
};

static const char resource_string[] = "csa";

static const char usage_text[] = "Usage: kestrel [-c <configuration file>] <command> [<arguments>]\n\n"
                                 "    list           Query state of dumps\n"
                                 "    retry          Attempt to retry sending of a dump\n";

static struct {
    ks_array_t *object_table;
    struct object_stat object_stat[KS_STAGE_COUNT];
    struct {
        int size;
        int executable;
    } column;
    const char *cf_path;
    object_sort sort_factor;
    // Base name of every object in object_table, so that finding a name
    // already loaded does not make listing quadratic.
    std::unordered_map<std::string_view, struct ks_object *> index;
} client;

[[noreturn]] static void usage(FILE *fp)
{
    fputs(usage_text, fp);
    exit(fp == stderr ? 1 : 0);
}

[[noreturn]] static void allocation_failure(void)
{
    perror("error: internal allocation failure");
    exit(1);
}

// The part of an executable path after its last "/".
static const char *application(const char *executable)
{
    const char *slash = strrchr(executable, '/');

    return slash != nullptr ? slash + 1 : executable;
}

static void widen(int *column, size_t width)
{
    if (width > static_cast<size_t>(*column))
        *column = static_cast<int>(width);
}

static struct ks_object *object_find(const ks_array_t *table, const char *basename)
{
    (void) table;
    auto found = client.index.find(basename);

    return found != client.index.end() ? found->second : nullptr;
}

static void object_destroy(struct ks_object *object)
{
    free(object->path);
    free(object->executable);
    free(object);
}

// The executable path is whatever the crashed process was started as, so a
// user can put terminal control sequences into it; never echo those.
static void executable_sanitize(char *executable)
{
    for (unsigned char *c = reinterpret_cast<unsigned char *>(executable); *c != '\0'; c++)
        if (*c < 0x20 || *c == 0x7f)
            *c = '?';
}

static void object_asset(struct ks_cf *cf, struct ks_object *object)
{
    char path[4096];
    int n = snprintf(path, sizeof(path), "%s/%s", cf->path.assets, object->basename);

    if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
        return;

    struct ks_tar_iterator *it = ks_tar_iterator_open(path);
    if (it == nullptr) {
        if (access(path, R_OK) == 0)
            object->resources |= 1UL << OBJECT_R_ASSET;
        return;
    }
    object->resources |= 1UL << OBJECT_R_ASSET;

    const char *name, *content;
    size_t length;
    ks_tar_type type;
    while ((content = ks_tar_iterate(it, &name, &length, &type)) != nullptr) {
        if (strcmp(name, "/proc/self/exe") != 0)
            continue;
        object->executable = strndup(content, length);
        if (object->executable == nullptr) {
            ks_tar_iterator_destroy(it);
            allocation_failure();
        }
        executable_sanitize(object->executable);
        widen(&client.column.executable, strlen(application(object->executable)));
        break;
    }
    ks_tar_iterator_destroy(it);
}

static void object_examine(struct ks_object *object)
{
    struct stat st;

    if (stat(object->path, &st) == -1) {
        fprintf(stderr, "warning: failed to extract metadata for [%s]: %s\n", object->basename, strerror(errno));
        return;
    }
    object->st.size = st.st_size;
    object->st.bytes = ks_parse_bytes(&object->st.unit, static_cast<unsigned long long>(st.st_size));
    object->st.creation = st.st_ctime;

    char text[64];
    int n = snprintf(text, sizeof(text), "%.2f", object->st.bytes);
    if (n > 0)
        widen(&client.column.size, static_cast<size_t>(n));
}

static bool object_wanted(const struct ks_object *object, const struct object_filter *filter)
{
    if (filter->fn != nullptr) {
        if (object->executable == nullptr)
            return false;
        if (strncmp(application(object->executable), filter->fn, strlen(filter->fn)) != 0)
            return false;
    }
    if (filter->path != nullptr) {
        for (char **prefix = filter->path; *prefix != nullptr; prefix++)
            if (strncmp(object->basename, *prefix, strlen(*prefix)) == 0)
                return true;
        return false;
    }
    return true;
}

static void object_keep(struct ks_object *object)
{
    struct object_stat *total = &client.object_stat[object->stage];

    if (!ks_array_append(&client.object_table, object))
        allocation_failure();
    try {
        client.index.emplace(object->basename, object);
    } catch (const std::bad_alloc &) {
        allocation_failure();
    }
    total->bytes += static_cast<size_t>(object->st.size);
    total->n_object++;
}

static void object_add(struct ks_cf *cf, const char *directory, const char *name, ks_stage stage,
                       unsigned int bit, const struct object_filter *filter)
{
    struct ks_object *object = object_find(client.object_table, name);

    if (object != nullptr) {
        object->resources |= 1UL << bit;
        return;
    }

    object = static_cast<struct ks_object *>(calloc(1, sizeof(*object)));
    if (object == nullptr || asprintf(&object->path, "%s/%s", directory, name) == -1)
        allocation_failure();
    object->resources = 1UL << bit;
    object->basename = object->path + strlen(directory) + 1;
    object->stage = stage;
    // A file that cannot be examined is listed as 0 bytes, not with a null unit.
    object->st.bytes = ks_parse_bytes(&object->st.unit, 0);

    object_examine(object);
    object_asset(cf, object);
    if (!object_wanted(object, filter)) {
        object_destroy(object);
        return;
    }
    object_keep(object);
}

// Loads the crashes of the pipeline and failure directories; returns the
// width of the widest size number.
static int object_load(const struct object_filter *filter)
{
    struct ks_cf *cf = ks_cf_get();
    const struct {
        const char *directory;
        ks_stage stage;
        unsigned int bit;
    } scan[] = {
        {cf->path.sending, KS_STAGE_SENDING, OBJECT_R_SNAPSHOT},
        {cf->path.pending, KS_STAGE_PENDING, OBJECT_R_COREDUMP},
        {cf->path.staging, KS_STAGE_STAGING, OBJECT_R_COREDUMP},
        {cf->path.failed.sending, KS_STAGE_F_SENDING, OBJECT_R_SNAPSHOT},
        {cf->path.failed.pending, KS_STAGE_F_PENDING, OBJECT_R_COREDUMP},
    };

    if (!ks_array_init(&client.object_table, 4)) {
        fputs("error: failed to allocate result cache\n", stderr);
        exit(1);
    }
    for (const auto &row : scan) {
        DIR *dir;
        if (!ks_fs_directory_open(&dir, row.directory)) {
            if (errno == ENOENT)
                continue;
            perror("error: failed to open archive");
            exit(1);
        }
        struct dirent *entry;
        while ((entry = readdir(dir)) != nullptr) {
            if (entry->d_type != DT_REG)
                continue;
            object_add(cf, row.directory, entry->d_name, row.stage, row.bit, filter);
        }
        (void) closedir(dir);
    }
    return client.column.size;
}

static void object_table_release(void)
{
    client.index.clear();
    if (client.object_table == nullptr)
        return;
    for (uint32_t i = 0; i < client.object_table->length; i++)
        object_destroy(const_cast<struct ks_object *>(static_cast<const struct ks_object *>(client.object_table->value[i])));
    ks_array_deinit(&client.object_table);
}

static const struct ks_object *object_at(const void *slot)
{
    return *static_cast<const struct ks_object *const *>(slot);
}

static int sort_creation(const void *a, const void *b)
{
    time_t x = object_at(a)->st.creation, y = object_at(b)->st.creation;

    return (x > y) - (x < y);
}

static int sort_application(const void *a, const void *b)
{
    const char *x = object_at(a)->executable, *y = object_at(b)->executable;

    if (x == nullptr || y == nullptr)
        return (x != nullptr) - (y != nullptr);
    return strcmp(x, y);
}

static void object_resource_sprint(char *buffer, const struct ks_object *object)
{
    for (unsigned int i = 0; i < OBJECT_R_COUNT; i++)
        buffer[i] = object->resources & (1UL << i) ? resource_string[i] : '-';
    buffer[OBJECT_R_COUNT] = '\0';
}

// ctime's text without its newline. localtime_r, unlike ctime, does not look
// at the time zone file again for every line.
static void ctime_text(char *buffer, size_t size, time_t creation)
{
    struct tm tm;
    char text[64];

    if (localtime_r(&creation, &tm) == nullptr || asctime_r(&tm, text) == nullptr)
        return;
    snprintf(buffer, size, "%.*s", static_cast<int>(strcspn(text, "\n")), text);
}

static void object_print(const ks_array_t *table, int length)
{
    for (uint32_t i = 0; i < table->length; i++) {
        const struct ks_object *object = static_cast<const struct ks_object *>(table->value[i]);
        const char *name = "--";
        char resources[OBJECT_R_COUNT + 1];
        char when[64] = "-";

        if (object->executable != nullptr && strchr(object->executable, '/') != nullptr)
            name = application(object->executable);
        object_resource_sprint(resources, object);
        ctime_text(when, sizeof(when), object->st.creation);
        printf("%10s/%.*s%s %s %*s   %s    %*.2f%s\n", ks_stage_str(object->stage), length, object->basename,
               length == 12 ? "..." : "", resources, client.column.executable, name, when, client.column.size,
               object->st.bytes, object->st.unit);
    }
}

static void summary_print(void)
{
    for (unsigned int stage = 0; stage < KS_STAGE_COUNT; stage++) {
        const struct object_stat *stat = &client.object_stat[stage];
        const char *unit;
        double total;

        if (stat->bytes == 0)
            continue;
        total = ks_parse_bytes(&unit, stat->bytes);
        printf("[%s]/%uO/%.2f%s ", ks_stage_str(static_cast<ks_stage>(stage)), stat->n_object, total, unit);
    }
    putchar('\n');
}

[[noreturn]] static void list_usage(void)
{
    fputs("Usage: list [-a <application>] [-s <creation | application>]\n", stderr);
    exit(1);
}

static void cm_list(int argc, char **argv)
{
    struct object_filter filter = {nullptr, nullptr};
    int length = 12;
    int option;

    client.sort_factor = OBJECT_S_CREATION;
    while ((option = getopt(argc, argv, "fa:s:h")) != -1) {
        switch (option) {
        case 'f':
            length = 64;
            break;
        case 'a':
            filter.fn = optarg;
            break;
        case 's':
            if (strcmp(optarg, "creation") == 0 || strcmp(optarg, "c") == 0)
                client.sort_factor = OBJECT_S_CREATION;
            else if (strcmp(optarg, "application") == 0 || strcmp(optarg, "a") == 0)
                client.sort_factor = OBJECT_S_APPLICATION;
            break;
        default:
            list_usage();
        }
    }

    client.column.size = object_load(&filter);
    ks_array_t *table = client.object_table;
    qsort(table->value, table->length, sizeof(table->value[0]),
          client.sort_factor == OBJECT_S_APPLICATION ? sort_application : sort_creation);
    if (table->length > 0) {
        object_print(table, length);
        putchar('\n');
        summary_print();
    }
    object_table_release();
}

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
    if (rename(object->path, target) == -1) {
        ks_log(LOG_ERR, "error: rename of %s failed: %s\n", object->basename, strerror(errno));
        return;
    }
    printf("%s => %s\n", object->path, target);
}

static void cm_retry(int argc, char **argv)
{
    struct object_filter filter = {nullptr, nullptr};
    struct ks_cf *cf = ks_cf_get();

    if (argc < 2) {
        fputs("Usage: retry <object> ...\n", stderr);
        exit(1);
    }
    if (!(argc == 2 && strcmp(argv[1], "all") == 0))
        filter.path = argv + 1;

    object_load(&filter);
    for (uint32_t i = 0; i < client.object_table->length; i++)
        object_retry(cf, static_cast<const struct ks_object *>(client.object_table->value[i]));
    object_table_release();
}

static bool unset(const char *value)
{
    return value == nullptr || *value == '\0';
}

// Without both stage templates the configuration computes no archive paths,
// and there would be nothing to look at.
[[noreturn]] static void archive_unknown(const char *error)
{
    struct ks_cf *cf = ks_cf_get();
    bool snapshot = unset(cf->daemon.stages[KS_SLAVE_SNAPSHOT].template_);
    bool send = unset(cf->daemon.stages[KS_SLAVE_SEND].template_);
    const char *file = ks_cf_path_get() != nullptr ? ks_cf_path_get() : "the configuration file";

    if (snapshot && send)
        fprintf(stderr, "error: snapshot.command and send.command are not set in %s\n", file);
    else if (snapshot || send)
        fprintf(stderr, "error: %s is not set in %s\n", snapshot ? "snapshot.command" : "send.command", file);
    else
        fprintf(stderr, "error: failed to compute the archive paths: %s\n", error != nullptr ? error : "unknown error");
    exit(1);
}

static const struct {
    const char *name;
    void (*handler)(int argc, char **argv);
} commands[] = {
    {"list", cm_list},
    {"retry", cm_retry},
};

int main(int argc, char **argv)
{
    int i;

    ks_cf_init();
    for (i = 1; i < argc && argv[i][0] == '-'; i++) {
        const char *option = argv[i];

        if (strcmp(option, "-v") == 0 || strcmp(option, "--version") == 0) {
            printf("kestrel version 1.5.18\n");
            return 0;
        }
        if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0)
            usage(stdout);
        if (strcmp(option, "-c") == 0 || strcmp(option, "--cf") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                usage(stderr);
            client.cf_path = argv[++i];
        }
    }
    if (i >= argc || argv[i][0] == '\0')
        usage(stdout);

    const char *error = nullptr;
    ks_cf_load(client.cf_path);
    bool ensured = ks_cf_ensure(0, &error);

    for (const auto &command : commands) {
        if (strcmp(argv[i], command.name) != 0)
            continue;
        if (!ensured)
            archive_unknown(error);
        command.handler(argc - i, argv + i);
        // A listing that did not reach its reader is a failure, not a success.
        if (fflush(stdout) == EOF || ferror(stdout)) {
            perror("error: failed to write output");
            return 1;
        }
        return 0;
    }
    fputs("error: unknown command.\n", stderr);
    usage(stderr);
}
