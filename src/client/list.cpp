#include "client/list.h"

#include "client/client.h"
#include "client/json.h"
#include "client/object.h"
#include "client/text.h"
#include "common/parse.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

enum object_sort {
    OBJECT_S_CREATION = 0,
    OBJECT_S_APPLICATION = 1,
};

static const char resource_string[] = "csa";

static struct {
    object_sort sort_factor;
    struct {
        int size;
        int executable;
    } column;
} list;

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
    return x == y ? 0 : strcmp(x, y);
}

// Equal keys keep the order in which the objects were found, whatever the
// C library's qsort does with them.
static void object_sort(ks_array_t *table)
{
    int (*compare)(const void *, const void *) =
        list.sort_factor == OBJECT_S_APPLICATION ? sort_application : sort_creation;

    std::stable_sort(table->value, table->value + table->length,
                     [compare](const void *a, const void *b) { return compare(&a, &b) < 0; });
}

static void object_resource_sprint(char *buffer, const struct ks_object *object)
{
    for (unsigned int i = 0; i < KS_OBJECT_R_COUNT; i++)
        buffer[i] = object->resources & (1UL << i) ? resource_string[i] : '-';
    buffer[KS_OBJECT_R_COUNT] = '\0';
}

// Text right-aligned in width, as "%*s" prints it.
static char *put_right(char *line, const char *text, size_t length, int width)
{
    if (width > 0 && static_cast<size_t>(width) > length) {
        memset(line, ' ', static_cast<size_t>(width) - length);
        line += static_cast<size_t>(width) - length;
    }
    memcpy(line, text, length);
    return line + length;
}

static char *put(char *line, const char *text, size_t length)
{
    memcpy(line, text, length);
    return line + length;
}

// The base name's first length bytes, after anything a terminal would take
// for a command is masked (the archive owner chooses the names).
static char *put_name(char *line, const char *name, size_t length)
{
    size_t n = strlen(name);
    char masked[NAME_MAX + 1];

    if (n < sizeof(masked) && !ks_text_clean(name, n)) {
        n = ks_text_mask(name, n, masked);
        name = masked;
    }
    return put(line, name, std::min(n, length));
}

// The lines as "%10s/%.*s%s %s %*s   %s    %*.2f%s\n" prints them, each put
// together in one buffer and written at once.
static void object_print(const ks_array_t *table, int length)
{
    size_t room = 10 + 1 + 64 + 3 + 1 + KS_OBJECT_R_COUNT + 1 + std::max(list.column.executable, 2) + 3 +
                  sizeof(ks_text_time::text) + 4 + std::max(list.column.size, 32) + 4 + 1;
    char *line = static_cast<char *>(malloc(room));

    if (line == nullptr)
        ks_client_allocation_failure();
    for (uint32_t i = 0; i < table->length; i++) {
        const struct ks_object *object = ks_object_at(table, i);
        const char *name = "--";
        char resources[KS_OBJECT_R_COUNT + 1], size[32];

        if (object->executable != nullptr && strchr(object->executable, '/') != nullptr)
            name = ks_object_application(object->executable);
        object_resource_sprint(resources, object);
        const struct ks_text_time *when = ks_text_ctime(object->st.creation);
        const char *stage = ks_stage_str(object->stage);

        char *p = put_right(line, stage, strlen(stage), 10);
        *p++ = '/';
        p = put_name(p, object->basename, static_cast<size_t>(length));
        if (length == 12)
            p = put(p, "...", 3);
        *p++ = ' ';
        p = put(p, resources, KS_OBJECT_R_COUNT);
        *p++ = ' ';
        p = put_right(p, name, strlen(name), list.column.executable);
        p = put(p, "   ", 3);
        p = put(p, when->text, when->length);
        p = put(p, "    ", 4);
        p = put_right(p, size, ks_object_size_text(object, size), list.column.size);
        p = put(p, object->st.unit, strlen(object->st.unit));
        *p++ = '\n';
        fwrite_unlocked(line, 1, static_cast<size_t>(p - line), stdout);
    }
    free(line);
}

static void summary_print(void)
{
    for (unsigned int stage = 0; stage < KS_STAGE_COUNT; stage++) {
        const struct ks_object_stat *stat = &ks_object_stats()[stage];
        const char *unit;
        double total;

        if (stat->bytes == 0)
            continue;
        total = ks_parse_bytes(&unit, stat->bytes);
        printf("[%s]/%uO/%.2f%s ", ks_stage_str(static_cast<ks_stage>(stage)), stat->n_object, total, unit);
    }
    putchar('\n');
}

static void object_print_json(const ks_array_t *table)
{
    struct ks_json json;

    for (uint32_t i = 0; i < table->length; i++) {
        ks_json_init(&json, stdout);
        ks_json_object_begin(&json);
        ks_object_json_members(&json, ks_object_at(table, i));
        ks_json_object_end(&json);
        putc_unlocked('\n', stdout);
    }
}

static const char usage_text[] = "Usage: list [-a <application>] [-s <creation | application>]\n";
static const char help_text[] = "            [-f] [-j]\n"
                                "\n"
                                "Lists the crashes of the pipeline and failure directories, oldest first.\n"
                                "\n"
                                "    -a <application>  only crashes whose application name begins with this\n"
                                "    -s creation|c     sort by crash time (the default)\n"
                                "    -s application|a  sort by the executable's path\n"
                                "    -f                show base names in full (up to 64 characters)\n"
                                "    -j                JSON Lines instead of the table, one crash per line\n"
                                "    -h                this text\n";

void ks_list_run(int argc, char **argv)
{
    struct ks_object_filter filter = {nullptr, nullptr, false, false};
    int length = 12;
    bool json = false;
    int option;

    list.sort_factor = OBJECT_S_CREATION;
    while ((option = getopt(argc, argv, "fja:s:h")) != -1) {
        switch (option) {
        case 'f':
            length = 64;
            break;
        case 'j':
            json = true;
            break;
        case 'a':
            filter.fn = optarg;
            break;
        case 's':
            if (strcmp(optarg, "creation") == 0 || strcmp(optarg, "c") == 0)
                list.sort_factor = OBJECT_S_CREATION;
            else if (strcmp(optarg, "application") == 0 || strcmp(optarg, "a") == 0)
                list.sort_factor = OBJECT_S_APPLICATION;
            break;
        case 'h':
            ks_text_usage(usage_text, help_text, true);
        default:
            ks_text_usage(usage_text, help_text, false);
        }
    }

    filter.facts = json;
    list.column.size = ks_object_load(&filter);
    list.column.executable = ks_object_application_width();
    ks_array_t *table = ks_object_table();
    object_sort(table);
    if (json) {
        object_print_json(table);
    } else if (table->length > 0) {
        object_print(table, length);
        putchar('\n');
        summary_print();
    }
    ks_object_release();
}

