#include "client/signatures.h"

#include "client/client.h"
#include "client/json.h"
#include "client/record.h"
#include "client/table.h"
#include "client/text.h"
#include "common/facts.h"
#include "common/ledger.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <new>
#include <string>

static constexpr time_t default_window = 86400;

static const char usage_text[] = "Usage: signatures [-j] [--since <seconds>]\n";
static const char help_text[] = "\n"
                                "Shows the crash ledger by signature, one line each, the one seen last first:\n"
                                "its crashes in the window and in all, the cores stored, when it was first\n"
                                "and last seen, and the signal, location (module+offset) and executable of\n"
                                "its latest crash. Crashes without a signature are left out.\n"
                                "\n"
                                "    --since <seconds>  the window: the last so many seconds (default 86400,\n"
                                "                       a day)\n"
                                "    -j                 JSON Lines instead of the table, one signature per line\n"
                                "    -h                 this text\n";

static const struct ks_table_column columns[] = {
    {"SIGNATURE", false}, {"WINDOW", true},  {"TOTAL", true},    {"STORED", true},     {"FIRST SEEN", false},
    {"LAST SEEN", false}, {"SIGNAL", false}, {"LOCATION", false}, {"EXECUTABLE", false},
};

struct signatures_state {
    bool json;
    bool failed; // an allocation failed inside the ledger's loop
    time_t window;
    struct ks_table *table;
};

static void summary_json(const struct ks_ledger_summary *s, time_t window)
{
    struct ks_json json;
    char text[32];

    ks_json_init(&json, stdout);
    ks_json_object_begin(&json);
    ks_json_key(&json, "signature");
    ks_json_text(&json, s->signature);
    ks_json_key(&json, "window");
    ks_json_integer(&json, window);
    ks_json_key(&json, "recent");
    ks_json_integer(&json, static_cast<long long>(s->recent));
    ks_json_key(&json, "total");
    ks_json_integer(&json, static_cast<long long>(s->total));
    ks_json_key(&json, "stored");
    ks_json_integer(&json, static_cast<long long>(s->stored));
    ks_json_time_as(&json, "first", true, s->first);
    ks_json_time_as(&json, "last", true, s->last);
    ks_json_key(&json, "executable");
    ks_json_text(&json, s->executable);
    ks_json_key(&json, "signal");
    if (s->signal > 0)
        ks_json_integer(&json, s->signal);
    else
        ks_json_null(&json);
    ks_json_key(&json, "signal_name");
    ks_json_text(&json, ks_facts_signal_name(s->signal, text, sizeof text));
    ks_json_key(&json, "module");
    ks_json_text(&json, s->module);
    ks_json_key(&json, "offset");
    if (s->has_offset)
        ks_json_string(&json, text, ks_record_offset(s->offset, text));
    else
        ks_json_null(&json);
    ks_json_object_end(&json);
    putc_unlocked('\n', stdout);
}

// The module by its base name, for the table's width; JSON has its path.
static std::string location(const struct ks_ledger_summary *s)
{
    std::string text;
    char offset[32];

    if (s->module != nullptr) {
        const char *slash = strrchr(s->module, '/');
        text = slash != nullptr && slash[1] != '\0' ? slash + 1 : s->module;
    }
    if (s->has_offset)
        text.append(s->module != nullptr ? "+" : "").append(offset, ks_record_offset(s->offset, offset));
    return text;
}

static void summary_table(struct ks_table *table, const struct ks_ledger_summary *s)
{
    char text[64];

    ks_table_cell_str(table, s->signature);
    ks_table_cell_str(table, std::to_string(s->recent).c_str());
    ks_table_cell_str(table, std::to_string(s->total).c_str());
    ks_table_cell_str(table, std::to_string(s->stored).c_str());
    ks_table_cell(table, text, ks_record_time(s->first, text));
    ks_table_cell(table, text, ks_record_time(s->last, text));
    ks_table_cell_str(table, ks_facts_signal_name(s->signal, text, sizeof text));
    std::string where = location(s);
    ks_table_cell_str(table, where.empty() ? nullptr : where.c_str());
    ks_table_cell_str(table, s->executable);
}

static bool signatures_summary(const struct ks_ledger_summary *s, void *cl)
{
    auto *state = static_cast<struct signatures_state *>(cl);

    try {
        if (state->json)
            summary_json(s, state->window);
        else
            summary_table(state->table, s);
    } catch (const std::bad_alloc &) {
        state->failed = true;
        return false;
    }
    return true;
}

void ks_signatures_run(int argc, char **argv)
{
    static const struct option options[] = {
        {"since", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    struct signatures_state state = {false, false, default_window, nullptr};
    unsigned long long number;
    const char *error = "";
    int option;

    while ((option = getopt_long(argc, argv, "jh", options, nullptr)) != -1) {
        switch (option) {
        case 'j':
            state.json = true;
            break;
        case 's':
            if (!ks_record_number(optarg, LLONG_MAX, &number))
                ks_text_usage(usage_text, help_text, false);
            state.window = static_cast<time_t>(number);
            break;
        case 'h':
            ks_text_usage(usage_text, help_text, true);
        default:
            ks_text_usage(usage_text, help_text, false);
        }
    }
    if (optind < argc)
        ks_text_usage(usage_text, help_text, false);

    time_t now = time(nullptr);
    // A window longer than the epoch's age takes in every crash.
    time_t since = state.window < now ? now - state.window : 0;
    struct ks_ledger *ledger = ks_record_open(true);
    if (!state.json)
        state.table = ks_table_new(columns, sizeof columns / sizeof columns[0]);
    bool read = ks_ledger_signatures(ledger, since, signatures_summary, &state, &error);
    ks_ledger_close(ledger);
    if (state.failed)
        ks_client_allocation_failure();
    if (!read)
        ks_record_unreadable(error);
    if (state.table != nullptr)
        ks_table_print(state.table, stdout);
    ks_table_free(state.table);
}
