#ifndef KS_CLIENT_OBJECT_H
#define KS_CLIENT_OBJECT_H

// The crashes of the archive tree as the client sees them: found by reading
// the stage directories, with what the asset says about the executable.

#include "client/json.h"
#include "common/array.h"
#include "server/misc.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

enum {
    KS_OBJECT_R_COREDUMP = 0,
    KS_OBJECT_R_SNAPSHOT = 1,
    KS_OBJECT_R_ASSET = 2,
    KS_OBJECT_R_COUNT = 3,
};

// Every page a listing touches costs, so an object is small: its path is
// the directory it was found in and its base name, and crashes of one
// program share the executable's text.
struct ks_object {
    ks_stage stage;
    bool examined; // the file's status could be read
    short signal;  // the fatal signal, 0 when unknown (read for JSON only)
    const char *basename; // the trailing payload
    const char *executable; // with control characters and non-UTF-8 shown as "?"
    const char *directory;  // where the file first found lies
    unsigned long resources;
    struct {
        const char *unit;
        double bytes;
        off_t size;
        time_t creation;
    } st;
    const char *original; // the executable as the asset holds it, when that differs
    const char *signature; // 16 hexadecimal digits, or null (read for JSON only)
    char payload[];
};

struct ks_object_filter {
    const char *fn;
    char **path;
    // Looking one crash up: names are matched before anything is read, and
    // the committed directories are searched as well.
    bool lookup;
    // The facts that JSON shows (signature, signal) are read as well.
    bool facts;
};

struct ks_object_stat {
    size_t bytes;
    unsigned int n_object;
};

// Loads the crashes of the pipeline and failure directories into the table;
// returns the width of the widest size number. Ends the program when a
// directory cannot be read (see ks_tree_dir).
int ks_object_load(const struct ks_object_filter *filter);
// Releases what the last load made.
void ks_object_release(void);

// The loaded crashes, in load order until someone sorts them.
ks_array_t *ks_object_table(void);
struct ks_object *ks_object_at(const ks_array_t *table, uint32_t i);
// Totals per stage of the loaded crashes.
const struct ks_object_stat *ks_object_stats(void);
// The width of the widest application name met while loading.
int ks_object_application_width(void);

// The one crash that a name selects: its full base name, or a prefix that
// only it begins with. Anything else ends the program with a message.
struct ks_object *ks_object_resolve(const char *prefix);

// The path of the file first found.
const char *ks_object_path(const struct ks_object *object, char *buffer, size_t size);
// The executable exactly as the asset names it.
const char *ks_object_executable(const struct ks_object *object);
// The part of an executable path after its last "/".
const char *ks_object_application(const char *executable);
// The size as "%.2f" prints it into text (32 bytes). Returns the length.
size_t ks_object_size_text(const struct ks_object *object, char *text);

// The members that a listed crash and a crash in detail share.
void ks_object_json_members(struct ks_json *json, const struct ks_object *object);

#endif
