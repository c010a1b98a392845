#ifndef KS_COMMON_CF_H
#define KS_COMMON_CF_H

#include "common/parse.h"
#include "common/storm.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

typedef enum ks_cf_action {
    KS_CF_A_UNLINK = 0,
    KS_CF_A_ARCHIVE = 1,
} ks_cf_action;

typedef enum ks_cf_slave_output {
    KS_CF_SLAVE_OUTPUT_NULL = 0,
    KS_CF_SLAVE_OUTPUT_SYSLOG = 1,
    KS_CF_SLAVE_OUTPUT_INHERIT = 2,
    KS_CF_SLAVE_OUTPUT_APPEND = 3,
} ks_cf_slave_output;

typedef enum ks_cf_append_output_action {
    KS_CF_APPEND_OUTPUT_ACTION_PURGE = 0,
    KS_CF_APPEND_OUTPUT_ACTION_RENAME = 1,
} ks_cf_append_output_action;

// What becomes of a core image kept at commit (snapshot.compress).
typedef enum ks_cf_compress {
    KS_CF_COMPRESS_NONE = 0, // stored as the archiver wrote it
    KS_CF_COMPRESS_ZSTD = 1, // compressed with zstd under the same name
} ks_cf_compress;

// The names that compressions write under in committed/coredump until they
// are complete: dot names, which no reader of the tree takes for a crash.
#define KS_CF_COMPRESS_PRIVATE ".compress-"

typedef enum ks_slave_type {
    KS_SLAVE_SNAPSHOT = 0,
    KS_SLAVE_SEND = 1,
    KS_SLAVE_TYPE_COUNT = 2,
} ks_slave_type;

struct ks_cf_stage {
    unsigned int concurrency;
    const char *template_; // "template" is a keyword in C++
    ks_format_t *format;
    unsigned int limit;
    time_t interval;
    time_t timeout;
    ks_cf_action commit;
    ks_cf_action retry;
    ks_cf_slave_output output;
    struct {
        const char *file_path;
        ks_cf_append_output_action action;
        size_t byte_limit;
        FILE *file;           // run-time state of the append log
        size_t cur_file_size; // run-time state
        bool disabled;        // run-time state
    } append_output;
};

struct ks_cf {
    struct {
        const char *staging;
        const char *pending;
        const char *sending;
        const char *committed;
        const char *sent;
        const char *assets;
        struct {
            const char *pending;
            const char *sending;
        } failed;
    } path;
    struct {
        const char *suffix;
        const char *root;
        const char *home;
        mode_t mode;
        uid_t uid;
        gid_t gid;
        size_t limit;
        bool unlink;
        const char *command;
        bool disabled;
        double quota;
        uint64_t size_max; // dump.size.max: bytes of an image taken at most; 0 for no limit
        struct ks_storm_limits storm; // dump.storm.*: cores stored per window
        bool core_limit_ignore;       // dump.core.limit = ignore: a core limit of 0 stores anyway
        time_t ledger_age;            // dump.ledger.age: crash ledger rows kept this long
    } archive;
    struct {
        struct ks_cf_stage stages[KS_SLAVE_TYPE_COUNT];
        const char *defaults_command;
        const char *defaults_variable;
        ks_format_t *defaults_format;
        struct {
            time_t age;
            unsigned long quota;
            bool disabled;
        } purge;
        struct {
            int level; // a syslog priority: less urgent messages are dropped
        } log;
        struct {
            ks_cf_compress method; // snapshot.compress
            const char *client;    // snapshot.compress.client; null: kestrel beside kestreld
        } compress;
    } daemon;
};

// Resets the record to its defaults and opens the syslog connection.
void ks_cf_init(void);
// The process's one record; valid (all zero) even before ks_cf_init.
struct ks_cf *ks_cf_get(void);
// The path of the file ks_cf_load read, or null.
const char *ks_cf_path_get(void);
// Computes the archive-tree paths; bit 0 of n also creates the directories.
bool ks_cf_ensure(unsigned long n, const char **error);
// Reads the configuration file (null: the default places); ends the process on any error.
void ks_cf_load(const char *path);
// Releases everything the record and the rule lists own and zeroes them; the
// programs never call it, tests and fuzzing do between loads.
void ks_cf_deinit(void);
// Splits a key = value line in place; ends the process when there is no "=".
void ks_cf_kv(char **k, char **v, char *line, size_t length, unsigned int ln);

// The value of the first format rule that applies to %position, or "blackhole".
const char *ks_cf_format_match(char position, ks_format_value_cb_t *cb, void *cl);
// Whether an ignore rule matches the command line.
bool ks_cf_archive_ignore(const char *command);
bool ks_cf_archive_has_ignore(void);

#endif
