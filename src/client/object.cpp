#include "client/object.h"

#include "client/asset.h"
#include "client/client.h"
#include "client/text.h"
#include "client/tree.h"
#include "common/fd.h"
#include "common/facts.h"
#include "common/parse.h"
#include "common/tar.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// One read of this much of an asset finds the executable's entry, which the
// archiver writes near the start; larger objects are mapped only when not.
static constexpr size_t asset_prefix = 4096;

struct scan_row {
    enum ks_tree_place place;
    ks_stage stage;
    unsigned int bit;
};

static const char *const resource_names[KS_OBJECT_R_COUNT] = {"core", "snapshot", "asset"};

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

static struct {
    ks_array_t *object_table;
    struct ks_object_stat object_stat[KS_STAGE_COUNT];
    struct {
        int size;
        int executable;
    } column;
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
    struct ks_tar_iterator prefix;
    char asset[asset_prefix];
} client;

const char *ks_object_application(const char *executable)
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
            ks_client_allocation_failure();
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
        ks_client_allocation_failure();
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
struct ks_object *ks_object_at(const ks_array_t *table, uint32_t i)
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
        struct ks_object *object = ks_object_at(table, slot->place - 1);
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

const char *ks_object_path(const struct ks_object *object, char *buffer, size_t size)
{
    snprintf(buffer, size, "%s/%s", object->directory, object->basename);
    return buffer;
}

const char *ks_object_executable(const struct ks_object *object)
{
    return object->original != nullptr ? object->original : object->executable;
}

// The executable path is whatever the crashed process was started as, so a
// user can put terminal control sequences into it; the table never echoes
// those. The original stays for the JSON output and the debugger.
static struct executable *executable_new(const char *text, size_t length, size_t hash)
{
    bool clean = ks_text_clean(text, length);
    size_t room = sizeof(struct executable) + (length + 1) * (clean ? 1 : 2);
    auto *e = static_cast<struct executable *>(arena_alloc(&client.strings, room));
    char *copy = reinterpret_cast<char *>(e + 1);

    memcpy(copy, text, length);
    copy[length] = '\0';
    e->hash = hash;
    e->length = length;
    e->text = copy;
    e->shown = copy;
    if (!clean) {
        char *shown = copy + length + 1;
        ks_text_mask(copy, length, shown);
        e->shown = shown;
    }
    e->application = strlen(ks_object_application(e->shown));
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

static void object_facts_set(struct ks_object *object, const char *content, size_t length)
{
    struct ks_asset_facts facts;

    ks_asset_facts_parse(&facts, content, length);
    object->signal = static_cast<short>(facts.signal);
    if (facts.signature[0] != '\0') {
        auto *signature = static_cast<char *>(arena_alloc(&client.strings, sizeof(facts.signature)));
        memcpy(signature, facts.signature, sizeof(facts.signature));
        object->signature = signature;
    }
}

// The entries still unknown, from the whole object.
static void object_asset_iterate(struct ks_object *object, int fd, bool executable, bool facts)
{
    struct ks_tar_iterator *it = ks_tar_iterator_fdopen(fd);
    const char *name, *content;
    size_t length;
    ks_tar_type type;

    if (it == nullptr)
        return;
    while ((executable || facts) && (content = ks_tar_iterate(it, &name, &length, &type)) != nullptr) {
        if (executable && strcmp(name, "/proc/self/exe") == 0) {
            object_executable_set(object, content, length);
            executable = false;
        } else if (facts && type == KS_TAR_T_FILE && strcmp(name, KS_FACTS_ENTRY) == 0) {
            object_facts_set(object, content, length);
            facts = false;
        }
    }
    ks_tar_iterator_destroy(it);
}

// Where the start of the object settles an entry: false when only the whole
// object can tell.
static bool object_asset_find(const char *name, ssize_t got, const char **content, size_t *length,
                              ks_tar_type *type, bool *found)
{
    bool whole = static_cast<size_t>(got) < sizeof(client.asset);

    switch (ks_tar_find(&client.prefix, client.asset, static_cast<size_t>(got), whole, name, content, length, type)) {
    case KS_TAR_L_FOUND:
        *found = true;
        return true;
    case KS_TAR_L_ABSENT:
        *found = false;
        return true;
    case KS_TAR_L_UNKNOWN:
        break;
    }
    return false;
}

// One open, one read and one close for almost every asset, relative to the
// assets directory; the object is mapped whole only when its start does not
// settle where the entries are. The facts are read for JSON only.
static void object_asset(struct ks_object *object, bool facts)
{
    int fd = ks_asset_open(object->basename);

    if (fd == -1) {
        // A link is no asset; an asset this user may not read still exists.
        if (errno != ENOENT && errno != ELOOP && ks_tree_dir(KS_TREE_ASSETS) != -1 &&
            faccessat(ks_tree_dir(KS_TREE_ASSETS), object->basename, R_OK, AT_SYMLINK_NOFOLLOW) == 0)
            object->resources |= 1UL << KS_OBJECT_R_ASSET;
        return;
    }
    object->resources |= 1UL << KS_OBJECT_R_ASSET;
    // pread fails on FIFOs and directories, which hold nothing.
    ssize_t got = pread(fd, client.asset, sizeof(client.asset), 0);
    if (got <= 0) {
        ks_fd_close(fd);
        return;
    }

    const char *content;
    size_t length;
    ks_tar_type type;
    bool found, executable = true;
    if (object_asset_find("/proc/self/exe", got, &content, &length, &type, &found)) {
        executable = false;
        if (found)
            object_executable_set(object, content, length);
    }
    if (facts && object_asset_find(KS_FACTS_ENTRY, got, &content, &length, &type, &found)) {
        facts = false;
        if (found && type == KS_TAR_T_FILE)
            object_facts_set(object, content, length);
    }
    if (executable || facts)
        object_asset_iterate(object, fd, executable, facts);
    else
        ks_fd_close(fd);
}

static void object_examine(struct ks_object *object, int directory)
{
    struct stat st;

    if (fstatat(directory, object->basename, &st, AT_SYMLINK_NOFOLLOW) == -1) {
        // The name as the table shows it: the archive owner chooses names.
        char name[NAME_MAX + 1];
        int error = errno;
        ks_text_mask(object->basename, strlen(object->basename), name);
        fprintf(stderr, "warning: failed to extract metadata for [%s]: %s\n", name, strerror(error));
        return;
    }
    object->examined = true;
    object->st.size = st.st_size;
    object->st.bytes = ks_parse_bytes(&object->st.unit, static_cast<unsigned long long>(st.st_size));
    object->st.creation = st.st_ctime;
}

// to_chars rounds as "%.2f" does, only faster.
size_t ks_object_size_text(const struct ks_object *object, char *text)
{
    auto r = std::to_chars(text, text + 31, object->st.bytes, std::chars_format::fixed, 2);

    if (r.ec == std::errc()) {
        *r.ptr = '\0';
        return static_cast<size_t>(r.ptr - text);
    }
    return std::min(static_cast<size_t>(snprintf(text, 32, "%.2f", object->st.bytes)), size_t{31});
}

static bool object_name_wanted(const char *basename, const struct ks_object_filter *filter)
{
    if (filter->path == nullptr)
        return true;
    for (char **prefix = filter->path; *prefix != nullptr; prefix++)
        if (strncmp(basename, *prefix, strlen(*prefix)) == 0)
            return true;
    return false;
}

static bool object_wanted(const struct ks_object *object, const struct ks_object_filter *filter)
{
    if (filter->fn != nullptr) {
        if (object->executable == nullptr)
            return false;
        if (strncmp(ks_object_application(object->executable), filter->fn, strlen(filter->fn)) != 0)
            return false;
    }
    return object_name_wanted(object->basename, filter);
}

static void object_keep(struct ks_object *object, size_t hash)
{
    struct ks_object_stat *total = &client.object_stat[object->stage];
    int place = ks_array_append_offset(&client.object_table, object);

    if (place < 0)
        ks_client_allocation_failure();
    index_add(static_cast<uint32_t>(place) + 1, hash);
    total->bytes += static_cast<size_t>(object->st.size);
    total->n_object++;
}

static void object_add(const struct scan_row *row, int directory, const char *name,
                       const struct ks_object_filter *filter)
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
    object->directory = ks_tree_path(row->place);
    object->resources = 1UL << row->bit;
    object->stage = row->stage;
    // A file that cannot be examined is listed as 0 bytes, not with a null unit.
    object->st.bytes = ks_parse_bytes(&object->st.unit, 0);

    object_examine(object, directory);
    widen(&client.column.size, ks_object_size_text(object, size));
    object_asset(object, filter->facts);
    if (!object_wanted(object, filter))
        return;
    auto *kept = static_cast<struct ks_object *>(arena_alloc(&client.arena, sizeof(*object) + name_length + 1));
    memcpy(kept, object, sizeof(*object) + name_length + 1);
    kept->basename = kept->payload;
    object_keep(kept, hash);
}

int ks_object_load(const struct ks_object_filter *filter)
{
    static const struct scan_row scan[] = {
        {KS_TREE_SENDING, KS_STAGE_SENDING, KS_OBJECT_R_SNAPSHOT},
        {KS_TREE_PENDING, KS_STAGE_PENDING, KS_OBJECT_R_COREDUMP},
        {KS_TREE_STAGING, KS_STAGE_STAGING, KS_OBJECT_R_COREDUMP},
        {KS_TREE_FAILED_SENDING, KS_STAGE_F_SENDING, KS_OBJECT_R_SNAPSHOT},
        {KS_TREE_FAILED_PENDING, KS_STAGE_F_PENDING, KS_OBJECT_R_COREDUMP},
        {KS_TREE_COMMITTED, KS_STAGE_COMMITTED, KS_OBJECT_R_COREDUMP},
        {KS_TREE_SENT, KS_STAGE_COMMITTED, KS_OBJECT_R_SNAPSHOT},
    };
    size_t rows = filter->lookup ? 7 : 5;

    if (!ks_array_init(&client.object_table, 4)) {
        fputs("error: failed to allocate result cache\n", stderr);
        exit(1);
    }
    for (size_t i = 0; i < rows; i++) {
        const struct scan_row *row = &scan[i];
        int fd = ks_tree_dir(row->place);
        if (fd == -1)
            continue;
        DIR *dir = ks_tree_opendir(fd, "error: failed to open archive");
        struct dirent *entry;
        while ((entry = readdir(dir)) != nullptr) {
            if (entry->d_type != DT_REG)
                continue;
            if (filter->lookup && !object_name_wanted(entry->d_name, filter))
                continue;
            object_add(row, dirfd(dir), entry->d_name, filter);
        }
        (void) closedir(dir);
    }
    return client.column.size;
}

void ks_object_release(void)
{
    block_free(client.index.slots, client.index.capacity * sizeof(struct name_slot));
    client.index = {};
    block_free(client.executables.slots, client.executables.capacity * sizeof(struct executable *));
    client.executables = {};
    arena_release(&client.arena);
    arena_release(&client.strings);
    ks_array_deinit(&client.object_table);
}

struct ks_object *ks_object_resolve(const char *prefix)
{
    char *names[] = {const_cast<char *>(prefix), nullptr};
    struct ks_object_filter filter = {nullptr, names, true, true};

    ks_object_load(&filter);
    const ks_array_t *table = client.object_table;
    for (uint32_t i = 0; i < table->length; i++) {
        struct ks_object *object = ks_object_at(table, i);
        if (strcmp(object->basename, prefix) == 0 || table->length == 1)
            return object;
    }
    if (table->length == 0) {
        fputs("error: no dump matches ", stderr);
        ks_text_put_safe_str(stderr, prefix);
        fputs("\n", stderr);
        exit(1);
    }
    fputs("error: ", stderr);
    ks_text_put_safe_str(stderr, prefix);
    fprintf(stderr, " is ambiguous; %u dump names begin with it:\n", table->length);
    for (uint32_t i = 0; i < table->length && i < 10; i++) {
        fputs("    ", stderr);
        ks_text_put_safe_str(stderr, ks_object_at(table, i)->basename);
        fputs("\n", stderr);
    }
    if (table->length > 10)
        fputs("    ...\n", stderr);
    exit(1);
}

void ks_object_json_members(struct ks_json *json, const struct ks_object *object)
{
    const char *executable = object->executable != nullptr ? ks_object_executable(object) : nullptr;

    ks_json_key(json, "name");
    ks_json_text(json, object->basename);
    ks_json_key(json, "stage");
    ks_json_text(json, ks_stage_str(object->stage));
    char path[8192];
    ks_json_key(json, "path");
    ks_json_text(json, ks_object_path(object, path, sizeof(path)));
    ks_json_key(json, "files");
    ks_json_array_begin(json);
    for (unsigned int i = 0; i < KS_OBJECT_R_COUNT; i++)
        if (object->resources & (1UL << i))
            ks_json_text(json, resource_names[i]);
    ks_json_array_end(json);
    ks_json_key(json, "size");
    if (object->examined)
        ks_json_integer(json, object->st.size);
    else
        ks_json_null(json);
    ks_json_time(json, object->examined, object->st.creation);
    ks_json_key(json, "executable");
    ks_json_text(json, executable);
    // As -a matches it: the whole path when it has no "/".
    ks_json_key(json, "application");
    ks_json_text(json, executable != nullptr ? ks_object_application(executable) : nullptr);
    ks_json_key(json, "signature");
    ks_json_text(json, object->signature);
    ks_json_key(json, "signal");
    if (object->signal != 0)
        ks_json_integer(json, object->signal);
    else
        ks_json_null(json);
}


ks_array_t *ks_object_table(void)
{
    return client.object_table;
}

const struct ks_object_stat *ks_object_stats(void)
{
    return client.object_stat;
}

int ks_object_application_width(void)
{
    return client.column.executable;
}
