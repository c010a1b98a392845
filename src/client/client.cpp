// kestrel: lists the crashes of the archive tree, shows one in detail or
// under the debugger, and puts failed ones back into the pipeline. It reads
// the daemon's configuration but never talks to the daemon and takes no lock.

#include "client/json.h"
#include "common/array.h"
#include "common/cf.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/parse.h"
#include "common/tar.h"
#include "server/misc.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// One read of this much of an asset finds the executable's entry, which the
// archiver writes near the start; larger objects are mapped only when not.
static constexpr size_t asset_prefix = 4096;

// Every page a listing touches costs, so an object is small: its path is
// the directory it was found in and its base name, and crashes of one
// program share the executable's text.
struct ks_object {
    ks_stage stage;
    bool examined; // the file's status could be read
    const char *basename; // the trailing payload
    const char *executable; // with control characters shown as "?"
    const char *directory;  // where the file first found lies
    unsigned long resources;
    struct {
        const char *unit;
        double bytes;
        off_t size;
        time_t creation;
    } st;
    const char *original; // the executable as the asset holds it, when that differs
    char payload[];
};

struct object_filter {
    const char *fn;
    char **path;
    // Looking one crash up: names are matched before anything is read, and
    // the committed directories are searched as well.
    bool lookup;
};

struct object_stat {
    size_t bytes;
    unsigned int n_object;
};

struct scan_row {
    const char *directory;
    ks_stage stage;
    unsigned int bit;
};

static const char resource_string[] = "csa";
static const char *const resource_names[OBJECT_R_COUNT] = {"core", "snapshot", "asset"};

static const char usage_text[] = "Usage: kestrel [-c <configuration file>] <command> [<arguments>]\n\n"
                                 "    list           Query state of dumps\n"
                                 "    retry          Attempt to retry sending of a dump\n"
                                 "    info           Show one dump in detail\n"
                                 "    debug          Open one dump in gdb\n";

// Objects and their texts are carved from large blocks released together:
// a listing keeps nearly everything it allocates until it ends.
struct arena_block {
    struct arena_block *next;
    size_t used;
    size_t size;
    alignas(16) char data[];
};

// A transparent huge page where the system has them: faulting in memory a
// 4 KiB page at a time costs more than the rest of a large listing.
static constexpr size_t arena_block_size = 2 * 1024 * 1024;

// A loaded object under the hash of its base name: 1 + its place in
// object_table, 0 for a free slot.
struct name_slot {
    uint32_t hash;
    uint32_t place;
};

// One executable path, shared by all crashes of the program.
struct executable {
    size_t hash;
    size_t length;
    const char *text;     // as the asset holds it
    const char *shown;    // control characters as "?"
    size_t application;   // length of the application name in shown
};

// ctime's text of one creation time.
struct time_text {
    time_t creation;
    bool valid;
    unsigned char length;
    char text[64];
};

static struct {
    ks_array_t *object_table;
    struct object_stat object_stat[KS_STAGE_COUNT];
    struct {
        int size;
        int executable;
    } column;
    const char *cf_path;
    object_sort sort_factor;
    struct arena_block *arena;   // objects
    struct arena_block *strings; // executables
    // The object being loaded; it goes into the arena only when it is kept.
    alignas(struct ks_object) char loading[sizeof(struct ks_object) + NAME_MAX + 1];
    // Every object in object_table by its base name, so that finding a name
    // already loaded does not make listing quadratic: open addressing over
    // a flat array, as a crash is nearly always found in one directory only
    // and most lookups miss.
    struct {
        struct name_slot *slots;
        size_t capacity; // a power of two, or 0
        size_t used;
    } index;
    struct {
        struct executable **slots;
        size_t capacity; // a power of two, or 0
        size_t used;
    } executables;
    // The assets directory while loading: -1 when it could not be opened
    // (then each asset is opened by its path), -2 when it does not exist.
    int assets;
    size_t assets_length;
    struct ks_tar_iterator prefix;
    char asset[asset_prefix];
    // Times repeat from line to line; converting each once is enough.
    struct time_text times[64];
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

// Zeroed memory; blocks of huge-page size are aligned to it and asked to
// be backed by huge pages, others come from calloc.
static void *block_alloc(size_t size)
{
    if (size % arena_block_size != 0)
        return calloc(1, size);
    void *map = mmap(nullptr, size + arena_block_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return nullptr;
    auto start = reinterpret_cast<uintptr_t>(map);
    uintptr_t aligned = (start + arena_block_size - 1) & ~uintptr_t{arena_block_size - 1};
    if (aligned != start)
        (void) munmap(map, aligned - start);
    (void) munmap(reinterpret_cast<void *>(aligned + size), arena_block_size - (aligned - start));
    (void) madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void *>(aligned);
}

static void block_free(void *block, size_t size)
{
    if (block == nullptr)
        return;
    if (size % arena_block_size != 0)
        free(block);
    else
        (void) munmap(block, size);
}

static void *arena_alloc(struct arena_block **arena, size_t size)
{
    struct arena_block *block = *arena;

    size = (size + 7) & ~size_t{7};
    if (block == nullptr || block->size - block->used < size) {
        // Blocks are whole huge pages; the rare larger text gets its own.
        size_t room = (sizeof(*block) + size + arena_block_size - 1) & ~(arena_block_size - 1);
        block = static_cast<struct arena_block *>(block_alloc(room));
        if (block == nullptr)
            allocation_failure();
        block->next = *arena;
        block->used = 0;
        block->size = room - sizeof(*block);
        *arena = block;
    }
    void *p = block->data + block->used;
    block->used += size;
    return p;
}

static void arena_release(struct arena_block **arena)
{
    while (*arena != nullptr) {
        struct arena_block *next = (*arena)->next;
        block_free(*arena, (*arena)->size + sizeof(**arena));
        *arena = next;
    }
}

static size_t text_hash(const char *text, size_t length)
{
    return std::hash<std::string_view>{}(std::string_view(text, length));
}

// Doubles an open-addressing table whose free slots are all zero bytes;
// hash(slot) gives a taken slot's hash.
template <typename Slot, typename Hash>
static void table_grow(Slot **slots, size_t *capacity, Hash hash)
{
    static const Slot free_slot = {};
    size_t grown = *capacity != 0 ? *capacity * 2 : 1024;
    auto *fresh = static_cast<Slot *>(block_alloc(grown * sizeof(Slot)));

    if (fresh == nullptr)
        allocation_failure();
    for (size_t i = 0; i < *capacity; i++) {
        if (memcmp(&(*slots)[i], &free_slot, sizeof(Slot)) == 0)
            continue;
        size_t j = hash((*slots)[i]) & (grown - 1);
        while (memcmp(&fresh[j], &free_slot, sizeof(Slot)) != 0)
            j = (j + 1) & (grown - 1);
        fresh[j] = (*slots)[i];
    }
    block_free(*slots, *capacity * sizeof(Slot));
    *slots = fresh;
    *capacity = grown;
}

// The object in slot i of the table, which holds only objects.
static struct ks_object *object_of(const ks_array_t *table, uint32_t i)
{
    return const_cast<struct ks_object *>(static_cast<const struct ks_object *>(table->value[i]));
}

// The loaded object of this base name; the table's index answers.
static struct ks_object *object_find(const ks_array_t *table, const char *basename, size_t hash)
{
    size_t mask = client.index.capacity - 1;

    if (client.index.capacity == 0)
        return nullptr;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const struct name_slot *slot = &client.index.slots[i];
        if (slot->place == 0)
            return nullptr;
        struct ks_object *object = object_of(table, slot->place - 1);
        if (slot->hash == static_cast<uint32_t>(hash) && strcmp(object->basename, basename) == 0)
            return object;
    }
}

// Kept at most half full, so that probes stay short.
static void index_add(uint32_t place, size_t hash)
{
    if ((client.index.used + 1) * 2 > client.index.capacity)
        table_grow(&client.index.slots, &client.index.capacity, [](const struct name_slot &slot) { return slot.hash; });
    size_t mask = client.index.capacity - 1, i = hash & mask;
    while (client.index.slots[i].place != 0)
        i = (i + 1) & mask;
    client.index.slots[i] = {static_cast<uint32_t>(hash), place};
    client.index.used++;
}

// The path of the file first found.
static const char *object_path(const struct ks_object *object, char *buffer, size_t size)
{
    snprintf(buffer, size, "%s/%s", object->directory, object->basename);
    return buffer;
}

// The executable exactly as the asset names it.
static const char *object_executable(const struct ks_object *object)
{
    return object->original != nullptr ? object->original : object->executable;
}

static bool is_control(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

// The executable path is whatever the crashed process was started as, so a
// user can put terminal control sequences into it; the table never echoes
// those. The original stays for the JSON output and the debugger.
static struct executable *executable_new(const char *text, size_t length, size_t hash)
{
    bool control = false;

    for (size_t i = 0; i < length; i++)
        control = control || is_control(static_cast<unsigned char>(text[i]));
    size_t room = sizeof(struct executable) + (length + 1) * (control ? 2 : 1);
    auto *e = static_cast<struct executable *>(arena_alloc(&client.strings, room));
    char *copy = reinterpret_cast<char *>(e + 1);
    memcpy(copy, text, length);
    copy[length] = '\0';
    e->hash = hash;
    e->length = length;
    e->text = copy;
    e->shown = copy;
    if (control) {
        char *shown = copy + length + 1;
        for (size_t i = 0; i <= length; i++)
            shown[i] = is_control(static_cast<unsigned char>(copy[i])) && i < length ? '?' : copy[i];
        e->shown = shown;
    }
    e->application = strlen(application(e->shown));
    return e;
}

// Sets the executable, at most length bytes of content up to a NUL.
static void object_executable_set(struct ks_object *object, const char *content, size_t length)
{
    size_t n = strnlen(content, length), hash = text_hash(content, n);

    if ((client.executables.used + 1) * 2 > client.executables.capacity)
        table_grow(&client.executables.slots, &client.executables.capacity,
                   [](struct executable *const &e) { return e->hash; });
    size_t mask = client.executables.capacity - 1, i = hash & mask;
    struct executable *e;
    while ((e = client.executables.slots[i]) != nullptr) {
        if (e->hash == hash && e->length == n && memcmp(e->text, content, n) == 0)
            break;
        i = (i + 1) & mask;
    }
    if (e == nullptr) {
        e = executable_new(content, n, hash);
        client.executables.slots[i] = e;
        client.executables.used++;
    }
    object->executable = e->shown;
    object->original = e->shown != e->text ? e->text : nullptr;
    widen(&client.column.executable, e->application);
}

// The first "/proc/self/exe" entry of the whole object, mapped.
static void object_asset_iterate(struct ks_tar_iterator *it, struct ks_object *object)
{
    size_t length;
    ks_tar_type type;
    const char *content = ks_tar_iterate_to(it, "/proc/self/exe", &length, &type);

    if (content != nullptr)
        object_executable_set(object, content, length);
    ks_tar_iterator_destroy(it);
}

static void object_asset_by_path(const char *path, struct ks_object *object)
{
    struct ks_tar_iterator *it = ks_tar_iterator_open(path);

    if (it == nullptr) {
        if (access(path, R_OK) == 0)
            object->resources |= 1UL << OBJECT_R_ASSET;
        return;
    }
    object->resources |= 1UL << OBJECT_R_ASSET;
    object_asset_iterate(it, object);
}

// One open, one read and one close for almost every asset, relative to the
// open assets directory; the object is mapped whole only when its start
// does not settle where the executable is.
static void object_asset(struct ks_cf *cf, struct ks_object *object)
{
    char path[4096];

    // Assets whose path would not fit are not looked at.
    if (client.assets_length + 1 + strlen(object->basename) >= sizeof(path) || client.assets == -2)
        return;
    if (client.assets == -1) {
        snprintf(path, sizeof(path), "%s/%s", cf->path.assets, object->basename);
        object_asset_by_path(path, object);
        return;
    }

    // O_NONBLOCK: a FIFO in place of an asset must not hang the open.
    int fd = openat(client.assets, object->basename, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1) {
        if (errno != ENOENT && faccessat(client.assets, object->basename, R_OK, 0) == 0)
            object->resources |= 1UL << OBJECT_R_ASSET;
        return;
    }
    object->resources |= 1UL << OBJECT_R_ASSET;
    // pread fails on FIFOs and directories, which hold no executable.
    ssize_t got = pread(fd, client.asset, sizeof(client.asset), 0);
    ks_fd_close(fd);
    if (got <= 0)
        return;

    const char *content;
    size_t length;
    ks_tar_type type;
    bool whole = static_cast<size_t>(got) < sizeof(client.asset);
    switch (ks_tar_find(&client.prefix, client.asset, static_cast<size_t>(got), whole, "/proc/self/exe", &content,
                        &length, &type)) {
    case KS_TAR_L_FOUND:
        object_executable_set(object, content, length);
        break;
    case KS_TAR_L_ABSENT:
        break;
    case KS_TAR_L_UNKNOWN: {
        snprintf(path, sizeof(path), "%s/%s", cf->path.assets, object->basename);
        struct ks_tar_iterator *it = ks_tar_iterator_open(path);
        if (it != nullptr)
            object_asset_iterate(it, object);
        break;
    }
    }
}

static void object_examine(struct ks_object *object, int directory)
{
    struct stat st;

    if (fstatat(directory, object->basename, &st, 0) == -1) {
        fprintf(stderr, "warning: failed to extract metadata for [%s]: %s\n", object->basename, strerror(errno));
        return;
    }
    object->examined = true;
    object->st.size = st.st_size;
    object->st.bytes = ks_parse_bytes(&object->st.unit, static_cast<unsigned long long>(st.st_size));
    object->st.creation = st.st_ctime;
}

// The size as "%.2f" prints it into text (32 bytes); to_chars rounds the
// same way, only faster. Returns the length.
static size_t object_size_text(const struct ks_object *object, char *text)
{
    auto r = std::to_chars(text, text + 31, object->st.bytes, std::chars_format::fixed, 2);

    if (r.ec == std::errc()) {
        *r.ptr = '\0';
        return static_cast<size_t>(r.ptr - text);
    }
    return std::min(static_cast<size_t>(snprintf(text, 32, "%.2f", object->st.bytes)), size_t{31});
}

static bool object_name_wanted(const char *basename, const struct object_filter *filter)
{
    if (filter->path == nullptr)
        return true;
    for (char **prefix = filter->path; *prefix != nullptr; prefix++)
        if (strncmp(basename, *prefix, strlen(*prefix)) == 0)
            return true;
    return false;
}

static bool object_wanted(const struct ks_object *object, const struct object_filter *filter)
{
    if (filter->fn != nullptr) {
        if (object->executable == nullptr)
            return false;
        if (strncmp(application(object->executable), filter->fn, strlen(filter->fn)) != 0)
            return false;
    }
    return object_name_wanted(object->basename, filter);
}

static void object_keep(struct ks_object *object, size_t hash)
{
    struct object_stat *total = &client.object_stat[object->stage];
    int place = ks_array_append_offset(&client.object_table, object);

    if (place < 0)
        allocation_failure();
    index_add(static_cast<uint32_t>(place) + 1, hash);
    total->bytes += static_cast<size_t>(object->st.size);
    total->n_object++;
}

static void object_add(struct ks_cf *cf, const struct scan_row *row, int directory, const char *name,
                       const struct object_filter *filter)
{
    size_t name_length = strlen(name);
    size_t hash = text_hash(name, name_length);
    struct ks_object *object = object_find(client.object_table, name, hash);
    char size[32];

    if (object != nullptr) {
        object->resources |= 1UL << row->bit;
        return;
    }

    // Directory entries hold at most NAME_MAX bytes.
    if (name_length > NAME_MAX)
        return;
    object = reinterpret_cast<struct ks_object *>(client.loading);
    memset(object, 0, sizeof(*object));
    memcpy(object->payload, name, name_length + 1);
    object->basename = object->payload;
    object->directory = row->directory;
    object->resources = 1UL << row->bit;
    object->stage = row->stage;
    // A file that cannot be examined is listed as 0 bytes, not with a null unit.
    object->st.bytes = ks_parse_bytes(&object->st.unit, 0);

    object_examine(object, directory);
    widen(&client.column.size, object_size_text(object, size));
    object_asset(cf, object);
    if (!object_wanted(object, filter))
        return;
    auto *kept = static_cast<struct ks_object *>(arena_alloc(&client.arena, sizeof(*object) + name_length + 1));
    memcpy(kept, object, sizeof(*object) + name_length + 1);
    kept->basename = kept->payload;
    object_keep(kept, hash);
}

static void assets_open(struct ks_cf *cf)
{
    client.assets_length = strlen(cf->path.assets);
    // O_PATH needs no read permission, only what a path lookup needs.
    client.assets = open(cf->path.assets, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (client.assets == -1 && (errno == ENOENT || errno == ENOTDIR))
        client.assets = -2;
}

static void assets_close(void)
{
    if (client.assets >= 0)
        ks_fd_close(client.assets);
    client.assets = -1;
}

// Loads the crashes of the pipeline and failure directories; returns the
// width of the widest size number.
static int object_load(const struct object_filter *filter)
{
    struct ks_cf *cf = ks_cf_get();
    const struct scan_row scan[] = {
        {cf->path.sending, KS_STAGE_SENDING, OBJECT_R_SNAPSHOT},
        {cf->path.pending, KS_STAGE_PENDING, OBJECT_R_COREDUMP},
        {cf->path.staging, KS_STAGE_STAGING, OBJECT_R_COREDUMP},
        {cf->path.failed.sending, KS_STAGE_F_SENDING, OBJECT_R_SNAPSHOT},
        {cf->path.failed.pending, KS_STAGE_F_PENDING, OBJECT_R_COREDUMP},
        {cf->path.committed, KS_STAGE_COMMITTED, OBJECT_R_COREDUMP},
        {cf->path.sent, KS_STAGE_COMMITTED, OBJECT_R_SNAPSHOT},
    };
    size_t rows = filter->lookup ? 7 : 5;

    if (!ks_array_init(&client.object_table, 4)) {
        fputs("error: failed to allocate result cache\n", stderr);
        exit(1);
    }
    assets_open(cf);
    for (size_t i = 0; i < rows; i++) {
        const struct scan_row *row = &scan[i];
        DIR *dir;
        if (!ks_fs_directory_open(&dir, row->directory)) {
            if (errno == ENOENT)
                continue;
            perror("error: failed to open archive");
            exit(1);
        }
        struct dirent *entry;
        while ((entry = readdir(dir)) != nullptr) {
            if (entry->d_type != DT_REG)
                continue;
            if (filter->lookup && !object_name_wanted(entry->d_name, filter))
                continue;
            object_add(cf, row, dirfd(dir), entry->d_name, filter);
        }
        (void) closedir(dir);
    }
    assets_close();
    return client.column.size;
}

static void object_table_release(void)
{
    block_free(client.index.slots, client.index.capacity * sizeof(struct name_slot));
    client.index = {};
    block_free(client.executables.slots, client.executables.capacity * sizeof(struct executable *));
    client.executables = {};
    arena_release(&client.arena);
    arena_release(&client.strings);
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
    return x == y ? 0 : strcmp(x, y);
}

// Equal keys keep the order in which the objects were found, whatever the
// C library's qsort does with them.
static void object_sort(ks_array_t *table)
{
    int (*compare)(const void *, const void *) =
        client.sort_factor == OBJECT_S_APPLICATION ? sort_application : sort_creation;

    std::stable_sort(table->value, table->value + table->length,
                     [compare](const void *a, const void *b) { return compare(&a, &b) < 0; });
}

static void object_resource_sprint(char *buffer, const struct ks_object *object)
{
    for (unsigned int i = 0; i < OBJECT_R_COUNT; i++)
        buffer[i] = object->resources & (1UL << i) ? resource_string[i] : '-';
    buffer[OBJECT_R_COUNT] = '\0';
}

// ctime's text without its newline, "-" when the time has none.
static const struct time_text *ctime_text(time_t creation)
{
    struct time_text *slot = &client.times[static_cast<unsigned long long>(creation) % 64];
    struct tm tm;
    char text[64];

    if (slot->valid && slot->creation == creation)
        return slot;
    slot->valid = true;
    slot->creation = creation;
    snprintf(slot->text, sizeof(slot->text), "-");
    // localtime_r, unlike ctime, does not look at the time zone file again.
    if (localtime_r(&creation, &tm) != nullptr && asctime_r(&tm, text) != nullptr)
        snprintf(slot->text, sizeof(slot->text), "%.*s", static_cast<int>(strcspn(text, "\n")), text);
    slot->length = static_cast<unsigned char>(strlen(slot->text));
    return slot;
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

// The lines as "%10s/%.*s%s %s %*s   %s    %*.2f%s\n" prints them, each put
// together in one buffer and written at once.
static void object_print(const ks_array_t *table, int length)
{
    size_t room = 10 + 1 + 64 + 3 + 1 + OBJECT_R_COUNT + 1 + std::max(client.column.executable, 2) + 3 +
                  sizeof(client.times[0].text) + 4 + std::max(client.column.size, 32) + 4 + 1;
    char *line = static_cast<char *>(malloc(room));

    if (line == nullptr)
        allocation_failure();
    for (uint32_t i = 0; i < table->length; i++) {
        const struct ks_object *object = object_of(table, i);
        const char *name = "--";
        char resources[OBJECT_R_COUNT + 1], size[32];

        if (object->executable != nullptr && strchr(object->executable, '/') != nullptr)
            name = application(object->executable);
        object_resource_sprint(resources, object);
        const struct time_text *when = ctime_text(object->st.creation);
        const char *stage = ks_stage_str(object->stage);

        char *p = put_right(line, stage, strlen(stage), 10);
        *p++ = '/';
        p = put(p, object->basename, strnlen(object->basename, static_cast<size_t>(length)));
        if (length == 12)
            p = put(p, "...", 3);
        *p++ = ' ';
        p = put(p, resources, OBJECT_R_COUNT);
        *p++ = ' ';
        p = put_right(p, name, strlen(name), client.column.executable);
        p = put(p, "   ", 3);
        p = put(p, when->text, when->length);
        p = put(p, "    ", 4);
        p = put_right(p, size, object_size_text(object, size), client.column.size);
        p = put(p, object->st.unit, strlen(object->st.unit));
        *p++ = '\n';
        fwrite_unlocked(line, 1, static_cast<size_t>(p - line), stdout);
    }
    free(line);
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

// Seconds since the epoch and their ISO 8601 text in UTC, or nulls.
static void json_time(struct ks_json *json, bool known, time_t when)
{
    struct tm tm;
    char text[64];

    ks_json_key(json, "time");
    if (known)
        ks_json_integer(json, when);
    else
        ks_json_null(json);
    ks_json_key(json, "time_utc");
    if (known && gmtime_r(&when, &tm) != nullptr && strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm) > 0)
        ks_json_text(json, text);
    else
        ks_json_null(json);
}

// The members that a listed crash and a crash in detail share.
static void object_json_members(struct ks_json *json, const struct ks_object *object)
{
    const char *executable = object->executable != nullptr ? object_executable(object) : nullptr;

    ks_json_key(json, "name");
    ks_json_text(json, object->basename);
    ks_json_key(json, "stage");
    ks_json_text(json, ks_stage_str(object->stage));
    char path[8192];
    ks_json_key(json, "path");
    ks_json_text(json, object_path(object, path, sizeof(path)));
    ks_json_key(json, "files");
    ks_json_array_begin(json);
    for (unsigned int i = 0; i < OBJECT_R_COUNT; i++)
        if (object->resources & (1UL << i))
            ks_json_text(json, resource_names[i]);
    ks_json_array_end(json);
    ks_json_key(json, "size");
    if (object->examined)
        ks_json_integer(json, object->st.size);
    else
        ks_json_null(json);
    json_time(json, object->examined, object->st.creation);
    ks_json_key(json, "executable");
    ks_json_text(json, executable);
    // As -a matches it: the whole path when it has no "/".
    ks_json_key(json, "application");
    ks_json_text(json, executable != nullptr ? application(executable) : nullptr);
}

static void object_print_json(const ks_array_t *table)
{
    struct ks_json json;

    for (uint32_t i = 0; i < table->length; i++) {
        ks_json_init(&json, stdout);
        ks_json_object_begin(&json);
        object_json_members(&json, object_of(table, i));
        ks_json_object_end(&json);
        putc_unlocked('\n', stdout);
    }
}

[[noreturn]] static void list_usage(void)
{
    fputs("Usage: list [-a <application>] [-s <creation | application>]\n", stderr);
    exit(1);
}

static void cm_list(int argc, char **argv)
{
    struct object_filter filter = {nullptr, nullptr, false};
    int length = 12;
    bool json = false;
    int option;

    client.sort_factor = OBJECT_S_CREATION;
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
    object_sort(table);
    if (json) {
        object_print_json(table);
    } else if (table->length > 0) {
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
    char path[8192];
    object_path(object, path, sizeof(path));
    if (rename(path, target) == -1) {
        ks_log(LOG_ERR, "error: rename of %s failed: %s\n", object->basename, strerror(errno));
        return;
    }
    printf("%s => %s\n", path, target);
}

static void cm_retry(int argc, char **argv)
{
    struct object_filter filter = {nullptr, nullptr, false};
    struct ks_cf *cf = ks_cf_get();

    if (argc < 2) {
        fputs("Usage: retry <object> ...\n", stderr);
        exit(1);
    }
    if (!(argc == 2 && strcmp(argv[1], "all") == 0))
        filter.path = argv + 1;

    object_load(&filter);
    for (uint32_t i = 0; i < client.object_table->length; i++)
        object_retry(cf, object_of(client.object_table, i));
    object_table_release();
}

// ---------------------------------------------------------------- one crash

// Text for a terminal: bytes that are not printable (controls, the C1 range,
// anything that is not UTF-8) are shown as \xNN, and so a backslash is "\\".
static void put_safe(FILE *out, const char *text, size_t length)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text);

    for (size_t i = 0; i < length;) {
        uint32_t c = s[i];
        size_t n = 1, bad = 1;
        bool shown = c >= 0x20 && c < 0x7f && c != '\\';
        if (c >= 0x80) {
            n = ks_json_utf8(s + i, length - i, &c, &bad);
            shown = n > 0 && c >= 0xa0 && c != 0x2028 && c != 0x2029;
        }
        if (shown) {
            fwrite_unlocked(s + i, 1, n, out);
            i += n;
            continue;
        }
        for (size_t end = i + (n > 0 ? n : bad); i < end; i++) {
            if (s[i] == '\\')
                fputs("\\\\", out);
            else
                fprintf(out, "\\x%02x", s[i]);
        }
    }
}

static void put_safe_text(FILE *out, const char *text)
{
    put_safe(out, text, strlen(text));
}

// The one crash that a name selects: its full base name, or a prefix that
// only it begins with. Anything else ends the program.
static struct ks_object *object_resolve(const char *prefix)
{
    char *names[] = {const_cast<char *>(prefix), nullptr};
    struct object_filter filter = {nullptr, names, true};

    object_load(&filter);
    const ks_array_t *table = client.object_table;
    for (uint32_t i = 0; i < table->length; i++) {
        struct ks_object *object = object_of(table, i);
        if (strcmp(object->basename, prefix) == 0 || table->length == 1)
            return object;
    }
    if (table->length == 0) {
        fputs("error: no dump matches ", stderr);
        put_safe_text(stderr, prefix);
        fputs("\n", stderr);
        exit(1);
    }
    fputs("error: ", stderr);
    put_safe_text(stderr, prefix);
    fprintf(stderr, " is ambiguous; %u dump names begin with it:\n", table->length);
    for (uint32_t i = 0; i < table->length && i < 10; i++) {
        fputs("    ", stderr);
        put_safe_text(stderr, object_of(table, i)->basename);
        fputs("\n", stderr);
    }
    if (table->length > 10)
        fputs("    ...\n", stderr);
    exit(1);
}

struct crash_file {
    const char *kind;
    std::string path;
    struct stat st;
};

struct asset_entry {
    std::string name;
    ks_tar_type type;
    size_t size;
    std::string target;
    bool shown; // the executable or the command line, shown on their own
};

struct crash_detail {
    std::vector<crash_file> files;
    std::vector<asset_entry> entries;
    bool has_arguments;
    std::vector<std::string> arguments;
};

static std::string path_join(const char *directory, const char *name)
{
    return std::string(directory) + "/" + name;
}

// Every file of the crash, wherever the pipeline has put it.
static void detail_files(const struct ks_object *object, struct crash_detail *detail)
{
    struct ks_cf *cf = ks_cf_get();
    const struct {
        const char *directory;
        const char *kind;
    } places[] = {
        {cf->path.staging, "core"},         {cf->path.pending, "core"},        {cf->path.sending, "snapshot"},
        {cf->path.failed.pending, "core"},  {cf->path.failed.sending, "snapshot"},
        {cf->path.committed, "core"},       {cf->path.sent, "snapshot"},       {cf->path.assets, "asset"},
    };

    for (const auto &place : places) {
        struct crash_file file = {place.kind, path_join(place.directory, object->basename), {}};
        // The asset is read through a link as the reader opens it; the
        // listing takes only regular directory entries for the others.
        bool asset = place.directory == cf->path.assets;
        int r = asset ? stat(file.path.c_str(), &file.st) : lstat(file.path.c_str(), &file.st);
        if (r == 0 && S_ISREG(file.st.st_mode))
            detail->files.push_back(file);
    }
}

static void detail_arguments(struct crash_detail *detail, const char *content, size_t length)
{
    size_t start = 0;

    detail->has_arguments = true;
    for (size_t i = 0; i < length; i++) {
        if (content[i] != '\0')
            continue;
        detail->arguments.emplace_back(content + start, i - start);
        start = i + 1;
    }
    if (start < length)
        detail->arguments.emplace_back(content + start, length - start);
}

static void detail_asset(const struct ks_object *object, struct crash_detail *detail)
{
    std::string path = path_join(ks_cf_get()->path.assets, object->basename);
    struct ks_tar_iterator *it = ks_tar_iterator_open(path.c_str());
    bool executable = false;

    if (it == nullptr)
        return;
    const char *name, *content;
    size_t length;
    ks_tar_type type;
    while ((content = ks_tar_iterate(it, &name, &length, &type)) != nullptr) {
        struct asset_entry entry = {name, type, 0, "", false};
        if (type == KS_TAR_T_FILE)
            entry.size = length;
        else
            entry.target.assign(content, strnlen(content, length));
        if (!executable && strcmp(name, "/proc/self/exe") == 0) {
            executable = true;
            entry.shown = true;
        } else if (!detail->has_arguments && type == KS_TAR_T_FILE && strcmp(name, "/proc/self/cmdline") == 0) {
            detail_arguments(detail, content, length);
            entry.shown = true;
        }
        detail->entries.push_back(entry);
    }
    ks_tar_iterator_destroy(it);
}

static unsigned int digits(unsigned long long n)
{
    unsigned int d = 1;

    while (n >= 10) {
        n /= 10;
        d++;
    }
    return d;
}

static void info_print(const struct ks_object *object, const struct crash_detail *detail)
{
    const char *executable = object->executable != nullptr ? object_executable(object) : nullptr;
    unsigned int width = 0;

    printf("name:         ");
    put_safe_text(stdout, object->basename);
    printf("\nstage:        %s\n", ks_stage_str(object->stage));
    printf("executable:   ");
    if (executable != nullptr) {
        put_safe_text(stdout, executable);
        printf("\napplication:  ");
        put_safe_text(stdout, application(executable));
    } else {
        printf("unknown");
    }
    printf("\ncommand line:");
    if (!detail->has_arguments)
        printf(" unknown\n");
    else if (detail->arguments.empty())
        printf(" empty\n");
    else
        printf("\n");
    for (size_t i = 0; i < detail->arguments.size(); i++) {
        printf("    [%zu] ", i);
        put_safe(stdout, detail->arguments[i].data(), detail->arguments[i].size());
        printf("\n");
    }

    printf("files:\n");
    for (const auto &file : detail->files)
        width = std::max(width, digits(static_cast<unsigned long long>(file.st.st_size)));
    for (const auto &file : detail->files) {
        printf("    %-8s  %*lld  %s  ", file.kind, static_cast<int>(width), static_cast<long long>(file.st.st_size),
               ctime_text(file.st.st_ctime)->text);
        put_safe(stdout, file.path.data(), file.path.size());
        printf("\n");
    }

    // Sizes first: names may hold bytes shown wider than they are.
    bool others = false;
    width = 0;
    for (const auto &entry : detail->entries) {
        if (entry.shown)
            continue;
        others = true;
        width = std::max(width, entry.type == KS_TAR_T_FILE ? digits(entry.size) : 4);
    }
    printf("other entries:%s\n", others ? "" : " none");
    for (const auto &entry : detail->entries) {
        if (entry.shown)
            continue;
        if (entry.type == KS_TAR_T_FILE)
            printf("    %*zu  ", static_cast<int>(width), entry.size);
        else
            printf("    %*s  ", static_cast<int>(width), "link");
        put_safe(stdout, entry.name.data(), entry.name.size());
        if (entry.type == KS_TAR_T_LINK) {
            printf(" -> ");
            put_safe(stdout, entry.target.data(), entry.target.size());
        }
        printf("\n");
    }
}

static void info_json(const struct ks_object *object, const struct crash_detail *detail)
{
    struct ks_json json;

    ks_json_init(&json, stdout);
    ks_json_object_begin(&json);
    object_json_members(&json, object);
    ks_json_key(&json, "command_line");
    if (detail->has_arguments) {
        ks_json_array_begin(&json);
        for (const auto &argument : detail->arguments)
            ks_json_string(&json, argument.data(), argument.size());
        ks_json_array_end(&json);
    } else {
        ks_json_null(&json);
    }
    ks_json_key(&json, "file_details");
    ks_json_array_begin(&json);
    for (const auto &file : detail->files) {
        ks_json_object_begin(&json);
        ks_json_key(&json, "kind");
        ks_json_text(&json, file.kind);
        ks_json_key(&json, "path");
        ks_json_string(&json, file.path.data(), file.path.size());
        ks_json_key(&json, "size");
        ks_json_integer(&json, file.st.st_size);
        json_time(&json, true, file.st.st_ctime);
        ks_json_object_end(&json);
    }
    ks_json_array_end(&json);
    ks_json_key(&json, "entries");
    ks_json_array_begin(&json);
    for (const auto &entry : detail->entries) {
        ks_json_object_begin(&json);
        ks_json_key(&json, "name");
        ks_json_string(&json, entry.name.data(), entry.name.size());
        ks_json_key(&json, "type");
        ks_json_text(&json, entry.type == KS_TAR_T_FILE ? "file" : "link");
        if (entry.type == KS_TAR_T_FILE) {
            ks_json_key(&json, "size");
            ks_json_integer(&json, static_cast<long long>(entry.size));
        } else {
            ks_json_key(&json, "target");
            ks_json_string(&json, entry.target.data(), entry.target.size());
        }
        ks_json_object_end(&json);
    }
    ks_json_array_end(&json);
    ks_json_object_end(&json);
    putchar('\n');
}

[[noreturn]] static void info_usage(void)
{
    fputs("Usage: info [-j] <object>\n", stderr);
    exit(1);
}

static void cm_info(int argc, char **argv)
{
    bool json = false;
    int option;

    while ((option = getopt(argc, argv, "jh")) != -1) {
        if (option != 'j')
            info_usage();
        json = true;
    }
    if (argc - optind != 1)
        info_usage();

    const struct ks_object *object = object_resolve(argv[optind]);
    struct crash_detail detail = {};
    try {
        detail_files(object, &detail);
        detail_asset(object, &detail);
    } catch (const std::bad_alloc &) {
        allocation_failure();
    }
    if (json)
        info_json(object, &detail);
    else
        info_print(object, &detail);
    object_table_release();
}

// The kept core image: where the pipeline keeps it, never while the
// archiver is still writing it.
static bool core_find(const struct ks_object *object, char *path, size_t size)
{
    struct ks_cf *cf = ks_cf_get();
    const char *const places[] = {cf->path.pending, cf->path.committed, cf->path.failed.pending};
    struct stat st;

    for (const char *directory : places) {
        int n = snprintf(path, size, "%s/%s", directory, object->basename);
        if (n > 0 && static_cast<size_t>(n) < size && lstat(path, &st) == 0 && S_ISREG(st.st_mode))
            return true;
    }
    return false;
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

[[noreturn]] static void debug_usage(void)
{
    fputs("Usage: debug <object> [-- <gdb arguments>]\n", stderr);
    exit(1);
}

static void cm_debug(int argc, char **argv)
{
    char core[4096], gdb[4096];

    if (argc < 2 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--") == 0 ||
        (argc > 2 && strcmp(argv[2], "--") != 0))
        debug_usage();

    const struct ks_object *object = object_resolve(argv[1]);
    if (!core_find(object, core, sizeof(core))) {
        fputs("error: no core image of ", stderr);
        put_safe_text(stderr, object->basename);
        fputs(" is kept\n", stderr);
        exit(1);
    }
    if (object->executable == nullptr) {
        fputs("error: the executable of ", stderr);
        put_safe_text(stderr, object->basename);
        fputs(" is not known\n", stderr);
        exit(1);
    }
    if (!program_find("gdb", gdb, sizeof(gdb))) {
        fputs("error: gdb not found in PATH; install the package \"gdb\"\n", stderr);
        exit(1);
    }

    // gdb [<gdb arguments>] -- <executable> <core image>: "--" keeps any
    // executable path from reading as an option.
    std::vector<char *> args;
    try {
        args.push_back(const_cast<char *>("gdb"));
        for (int i = 3; i < argc; i++)
            args.push_back(argv[i]);
        args.push_back(const_cast<char *>("--"));
        args.push_back(const_cast<char *>(object_executable(object)));
        args.push_back(core);
        args.push_back(nullptr);
    } catch (const std::bad_alloc &) {
        allocation_failure();
    }
    fflush(stdout);
    execv(gdb, args.data());
    fprintf(stderr, "error: failed to start %s: %s\n", gdb, strerror(errno));
    exit(1);
}

// ---------------------------------------------------------------- start

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
    {"info", cm_info},
    {"debug", cm_debug},
};

int main(int argc, char **argv)
{
    int i;

    ks_cf_init();
    client.assets = -1;
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
