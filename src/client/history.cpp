#include "client/history.h"

#include "client/client.h"
#include "client/json.h"
#include "client/object.h"
#include "client/record.h"
#include "client/table.h"
#include "client/text.h"
#include "client/tree.h"
#include "common/facts.h"
#include "common/ledger.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

// A screenful: the administrator who wants more says how many.
static constexpr size_t default_count = 50;

static const char usage_text[] = "Usage: history [-j] [-n <count>]\n";
static const char help_text[] = "\n"
                                "Shows the crash ledger, newest first: every crash the kernel handed over,\n"
                                "stored or not, with its time, process, user, signal, what became of it\n"
                                "(outcome), whether its files are still in the archive tree, its signature\n"
                                "and its executable.\n"
                                "\n"
                                "    -n <count>  the newest count crashes (default 50); 0 for all of them\n"
                                "    -j          JSON Lines instead of the table, one crash per line\n"
                                "    -h          this text\n";

static const struct ks_table_column columns[] = {
    {"TIME", false},    {"PID", true},   {"USER", false},      {"SIGNAL", false},
    {"OUTCOME", false}, {"FILES", false}, {"SIGNATURE", false}, {"EXECUTABLE", false},
};

// Where each kind of file of a crash may lie, committed ones included.
static const struct {
    enum ks_tree_place place;
    unsigned int resource;
} places[] = {
    {KS_TREE_STAGING, KS_OBJECT_R_COREDUMP},  {KS_TREE_PENDING, KS_OBJECT_R_COREDUMP},
    {KS_TREE_COMMITTED, KS_OBJECT_R_COREDUMP}, {KS_TREE_FAILED_PENDING, KS_OBJECT_R_COREDUMP},
    {KS_TREE_SENDING, KS_OBJECT_R_SNAPSHOT},  {KS_TREE_SENT, KS_OBJECT_R_SNAPSHOT},
    {KS_TREE_FAILED_SENDING, KS_OBJECT_R_SNAPSHOT}, {KS_TREE_ASSETS, KS_OBJECT_R_ASSET},
};

// Crashes looked up file by file before the tree's directories are read
// whole instead.
static constexpr unsigned long lookups_before_index = 1000;

static struct {
    unsigned long lookups;
    std::unordered_map<std::string, unsigned long> *files; // name to KS_OBJECT_R_* bits, once read
} history;

static const char resource_letters[] = "csa";
static const char *const resource_names[KS_OBJECT_R_COUNT] = {"core", "snapshot", "asset"};

struct history_state {
    bool json;
    bool failed; // an allocation failed inside the ledger's loop
    struct ks_table *table;
};

// A name that could reach outside the directories is no crash's name.
static bool plain_name(const char *name)
{
    return name != nullptr && *name != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

static bool regular(int directory, const char *name)
{
    struct stat st;

    return fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// Every crash file of the tree by base name, each directory read once.
static void files_index(void)
{
    for (const auto &p : places) {
        int fd = ks_tree_dir(p.place);
        if (fd == -1)
            continue;
        DIR *dir = ks_tree_opendir(fd, "error: failed to open archive");
        struct dirent *entry;
        while ((entry = readdir(dir)) != nullptr) {
            if (entry->d_type == DT_REG || (entry->d_type == DT_UNKNOWN && regular(dirfd(dir), entry->d_name)))
                (*history.files)[entry->d_name] |= 1UL << p.resource;
        }
        (void) closedir(dir);
    }
}

// The files of the crash still in the tree, as bits of KS_OBJECT_R_*;
// links and other files that the pipeline does not make are not its files.
// A few crashes are looked up file by file; for many, reading the
// directories once costs less than eight lookups each.
static unsigned long files_of(const char *name)
{
    unsigned long found = 0;

    if (!plain_name(name))
        return 0;
    if (history.files == nullptr && ++history.lookups > lookups_before_index) {
        history.files = new std::unordered_map<std::string, unsigned long>;
        files_index();
    }
    if (history.files != nullptr) {
        auto entry = history.files->find(name);
        return entry != history.files->end() ? entry->second : 0;
    }
    for (const auto &p : places) {
        int directory = ks_tree_dir(p.place);
        if (directory != -1 && regular(directory, name))
            found |= 1UL << p.resource;
    }
    return found;
}

static void row_json(const struct ks_ledger_row *row, unsigned long files)
{
    struct ks_json json;
    char text[32];

    ks_json_init(&json, stdout);
    ks_json_object_begin(&json);
    ks_json_time(&json, true, row->when);
    ks_json_key(&json, "pid");
    ks_json_integer(&json, row->pid);
    ks_json_key(&json, "uid");
    ks_json_integer(&json, row->uid);
    ks_json_key(&json, "user");
    ks_json_text(&json, ks_record_user(row->uid));
    ks_json_key(&json, "signal");
    if (row->signal > 0)
        ks_json_integer(&json, row->signal);
    else
        ks_json_null(&json);
    ks_json_key(&json, "signal_name");
    ks_json_text(&json, ks_facts_signal_name(row->signal, text, sizeof text));
    ks_json_key(&json, "executable");
    ks_json_text(&json, row->executable);
    ks_json_key(&json, "signature");
    ks_json_text(&json, row->signature);
    ks_json_key(&json, "module");
    ks_json_text(&json, row->module);
    ks_json_key(&json, "offset");
    if (row->has_offset)
        ks_json_string(&json, text, ks_record_offset(row->offset, text));
    else
        ks_json_null(&json);
    ks_json_key(&json, "outcome");
    ks_json_text(&json, row->outcome);
    ks_json_key(&json, "name");
    ks_json_text(&json, row->name);
    ks_json_key(&json, "files");
    ks_json_array_begin(&json);
    for (unsigned int i = 0; i < KS_OBJECT_R_COUNT; i++)
        if (files & (1UL << i))
            ks_json_text(&json, resource_names[i]);
    ks_json_array_end(&json);
    ks_json_object_end(&json);
    putc_unlocked('\n', stdout);
}

static void row_table(struct ks_table *table, const struct ks_ledger_row *row, unsigned long files)
{
    char text[64];
    std::string user = std::to_string(row->uid);
    const char *name = ks_record_user(row->uid);

    ks_table_cell(table, text, ks_record_time(row->when, text));
    ks_table_cell_str(table, std::to_string(row->pid).c_str());
    if (name != nullptr)
        user.append(" (").append(name).append(")");
    ks_table_cell(table, user.data(), user.size());
    ks_table_cell_str(table, ks_facts_signal_name(row->signal, text, sizeof text));
    ks_table_cell_str(table, row->outcome);
    if (plain_name(row->name)) {
        for (unsigned int i = 0; i < KS_OBJECT_R_COUNT; i++)
            text[i] = files & (1UL << i) ? resource_letters[i] : '-';
        ks_table_cell(table, text, KS_OBJECT_R_COUNT);
    } else {
        ks_table_cell_str(table, nullptr);
    }
    ks_table_cell_str(table, row->signature);
    ks_table_cell_str(table, row->executable);
}

static bool history_row(const struct ks_ledger_row *row, void *cl)
{
    auto *state = static_cast<struct history_state *>(cl);

    try {
        unsigned long files = files_of(row->name);
        if (state->json)
            row_json(row, files);
        else
            row_table(state->table, row, files);
    } catch (const std::bad_alloc &) {
        state->failed = true;
        return false;
    }
    return true;
}

void ks_history_run(int argc, char **argv)
{
    struct history_state state = {false, false, nullptr};
    size_t count = default_count;
    unsigned long long number;
    const char *error = "";
    int option;

    while ((option = getopt(argc, argv, "jn:h")) != -1) {
        switch (option) {
        case 'j':
            state.json = true;
            break;
        case 'n':
            if (!ks_record_number(optarg, SIZE_MAX, &number))
                ks_text_usage(usage_text, help_text, false);
            count = static_cast<size_t>(number);
            break;
        case 'h':
            ks_text_usage(usage_text, help_text, true);
        default:
            ks_text_usage(usage_text, help_text, false);
        }
    }
    if (optind < argc)
        ks_text_usage(usage_text, help_text, false);

    struct ks_ledger *ledger = ks_record_open(true);
    if (!state.json)
        state.table = ks_table_new(columns, sizeof columns / sizeof columns[0]);
    bool read = ks_ledger_history(ledger, count, history_row, &state, &error);
    ks_ledger_close(ledger);
    if (state.failed)
        ks_client_allocation_failure();
    if (!read)
        ks_record_unreadable(error);
    if (state.table != nullptr)
        ks_table_print(state.table, stdout);
    ks_table_free(state.table);
}
