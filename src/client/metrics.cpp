#include "client/metrics.h"

#include "client/client.h"
#include "client/object.h"
#include "client/record.h"
#include "client/text.h"
#include "client/tree.h"
#include "common/ledger.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// Applications and signatures beyond these are counted, not named: every
// distinct name is a series for the monitoring system to keep, and a user
// can make many.
static constexpr size_t applications_shown = 20;
static constexpr size_t signatures_shown = 20;
// The ledger's series count the crashes of the last hour.
static constexpr time_t ledger_window = 3600;

static const char usage_text[] = "Usage: metrics\n";
static const char help_text[] =
    "\n"
    "Prints the state of the pipeline in the Prometheus text exposition format:\n"
    "crashes, bytes and the age of the oldest file in each directory of the\n"
    "archive tree, the committed and failed crashes, and the crashes of the\n"
    "pipeline and failure directories by application; from the crash ledger, the\n"
    "crashes of the last hour by outcome and by signature.\n"
    "\n"
    "    -h   this text\n";

typedef enum ks_metrics_type {
    KS_METRICS_GAUGE = 0,
    KS_METRICS_COUNTER = 1,
} ks_metrics_type;

struct ks_metrics_label {
    const char *name;  // [a-zA-Z_][a-zA-Z0-9_]*, chosen by the source
    const char *value; // any bytes
    size_t length;
};

typedef void ks_metrics_source_t(struct ks_metrics *m);

struct ks_metrics {
    FILE *out;
    time_t now;
    const char *family; // the one whose samples are being written
};

// Label values and help texts: the format escapes only backslash, quote
// (in values) and newline; everything else a terminal or a parser could
// stumble on (controls, bytes that are not UTF-8) is shown as "?".
static void put_escaped(FILE *out, const char *text, size_t length, bool quote)
{
    std::string masked(length, '\0');

    masked.resize(ks_text_mask(text, length, masked.data()));
    for (char c : masked) {
        if (c == '\\' || (quote && c == '"'))
            putc_unlocked('\\', out);
        putc_unlocked(c, out);
    }
}

// Starts a family: its HELP and TYPE lines. Every family name is written
// once per run, and its samples follow it before the next family.
static void metrics_family(struct ks_metrics *m, const char *name, ks_metrics_type type, const char *help)
{
    fprintf(m->out, "# HELP %s ", name);
    put_escaped(m->out, help, strlen(help), false);
    fprintf(m->out, "\n# TYPE %s %s\n", name, type == KS_METRICS_COUNTER ? "counter" : "gauge");
    m->family = name;
}

// One sample of the current family.
static void metrics_sample(struct ks_metrics *m, const struct ks_metrics_label *labels, size_t n_labels, double value)
{
    fputs(m->family, m->out);
    for (size_t i = 0; i < n_labels; i++) {
        fprintf(m->out, "%c%s=\"", i == 0 ? '{' : ',', labels[i].name);
        put_escaped(m->out, labels[i].value, labels[i].length, true);
        putc_unlocked('"', m->out);
    }
    fprintf(m->out, "%s %.17g\n", n_labels > 0 ? "}" : "", value);
}

// ---------------------------------------------------------------- the tree

struct directory_state {
    enum ks_tree_place place;
    unsigned long long crashes;
    unsigned long long bytes;
    time_t oldest; // 0 while empty
};

static void directory_scan(struct directory_state *d, std::unordered_set<std::string> *names)
{
    int fd = ks_tree_dir(d->place);
    struct stat st;

    if (fd == -1)
        return;
    DIR *dir = ks_tree_opendir(fd, "error: failed to open archive");
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        if (entry->d_type != DT_REG)
            continue;
        d->crashes++;
        if (names != nullptr)
            names->insert(entry->d_name);
        // A file gone since the directory was read still counts, with no size.
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == -1)
            continue;
        d->bytes += static_cast<unsigned long long>(st.st_size);
        if (d->oldest == 0 || st.st_ctime < d->oldest)
            d->oldest = st.st_ctime;
    }
    (void) closedir(dir);
}

static void tree_directories(struct ks_metrics *m)
{
    struct directory_state directories[] = {
        {KS_TREE_STAGING, 0, 0, 0},        {KS_TREE_PENDING, 0, 0, 0},   {KS_TREE_SENDING, 0, 0, 0},
        {KS_TREE_FAILED_PENDING, 0, 0, 0}, {KS_TREE_FAILED_SENDING, 0, 0, 0},
        {KS_TREE_COMMITTED, 0, 0, 0},      {KS_TREE_SENT, 0, 0, 0},      {KS_TREE_ASSETS, 0, 0, 0},
    };
    std::unordered_set<std::string> committed, failed;

    for (auto &d : directories) {
        bool is_committed = d.place == KS_TREE_COMMITTED || d.place == KS_TREE_SENT;
        bool is_failed = d.place == KS_TREE_FAILED_PENDING || d.place == KS_TREE_FAILED_SENDING;
        directory_scan(&d, is_committed ? &committed : is_failed ? &failed : nullptr);
    }

    const struct {
        const char *name;
        const char *help;
        int what;
    } families[] = {
        {"kestrel_directory_files", "Files in the directory of the archive tree, one per crash.", 0},
        {"kestrel_directory_bytes", "Bytes of the files in the directory of the archive tree.", 1},
        {"kestrel_directory_oldest_age_seconds",
         "Age of the oldest file in the directory of the archive tree by its status-change time; 0 when it is empty.", 2},
    };
    for (const auto &f : families) {
        metrics_family(m, f.name, KS_METRICS_GAUGE, f.help);
        for (const auto &d : directories) {
            const char *name = ks_tree_name(d.place);
            struct ks_metrics_label label = {"directory", name, strlen(name)};
            double value = f.what == 0   ? static_cast<double>(d.crashes)
                           : f.what == 1 ? static_cast<double>(d.bytes)
                           : d.oldest != 0 && m->now > d.oldest ? static_cast<double>(m->now - d.oldest)
                                                               : 0.0;
            metrics_sample(m, &label, 1, value);
        }
    }
    metrics_family(m, "kestrel_committed_crashes", KS_METRICS_GAUGE,
           "Crashes processed whose core image or snapshot is kept in the committed directories.");
    metrics_sample(m, nullptr, 0, static_cast<double>(committed.size()));
    metrics_family(m, "kestrel_failed_crashes", KS_METRICS_GAUGE,
           "Crashes given up after failing, in failed/pending or failed/sending until retried.");
    metrics_sample(m, nullptr, 0, static_cast<double>(failed.size()));
}

// The crashes that kestrel list shows, by the application that crashed.
static void tree_applications(struct ks_metrics *m)
{
    struct ks_object_filter filter = {nullptr, nullptr, false, false};
    std::unordered_map<std::string, unsigned long long> counts;

    ks_object_load(&filter);
    const ks_array_t *table = ks_object_table();
    for (uint32_t i = 0; i < table->length; i++) {
        const struct ks_object *object = ks_object_at(table, i);
        // An executable path that ends in "/" names no application.
        const char *application = object->executable != nullptr ? ks_object_application(ks_object_executable(object)) : "";
        if (*application != '\0')
            counts[application]++;
    }
    ks_object_release();

    std::vector<std::pair<std::string, unsigned long long>> sorted(counts.begin(), counts.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto &a, const auto &b) { return a.second != b.second ? a.second > b.second : a.first < b.first; });
    metrics_family(m, "kestrel_application_crashes", KS_METRICS_GAUGE,
           "Crashes in the pipeline and failure directories by the application that crashed, the most frequent first.");
    for (size_t i = 0; i < sorted.size() && i < applications_shown; i++) {
        struct ks_metrics_label label = {"application", sorted[i].first.data(), sorted[i].first.size()};
        metrics_sample(m, &label, 1, static_cast<double>(sorted[i].second));
    }
    metrics_family(m, "kestrel_application_others", KS_METRICS_GAUGE,
           "Applications with crashes in the pipeline and failure directories beyond those named.");
    metrics_sample(m, nullptr, 0, static_cast<double>(sorted.size() > applications_shown ? sorted.size() - applications_shown : 0));
}

static void tree_collect(struct ks_metrics *m)
{
    tree_directories(m);
    tree_applications(m);
}

// ---------------------------------------------------------------- the ledger

struct signature_count {
    std::string executable; // of its latest crash
    unsigned long long crashes;
};

struct ledger_hour {
    time_t since;
    unsigned long long outcomes[KS_LEDGER_OUTCOME_COUNT];
    std::unordered_map<std::string, signature_count> signatures;
    bool failed; // an allocation failed inside the ledger's loop
};

// Rows come newest first: the first one older than the hour ends the walk,
// so that only the hour's rows are read, by the ledger's index on time.
static bool ledger_row(const struct ks_ledger_row *row, void *cl)
{
    auto *hour = static_cast<struct ledger_hour *>(cl);

    if (row->when < hour->since)
        return false;
    // An outcome word this client does not know is counted nowhere: the
    // label takes only the words it documents.
    for (int i = 0; i < KS_LEDGER_OUTCOME_COUNT; i++) {
        if (row->outcome != nullptr && strcmp(row->outcome, ks_ledger_outcome_name(static_cast<ks_ledger_outcome>(i))) == 0) {
            hour->outcomes[i]++;
            break;
        }
    }
    if (row->signature == nullptr)
        return true;
    try {
        auto [entry, fresh] = hour->signatures.try_emplace(row->signature);
        if (fresh && row->executable != nullptr)
            entry->second.executable = row->executable;
        entry->second.crashes++;
    } catch (const std::bad_alloc &) {
        hour->failed = true;
        return false;
    }
    return true;
}

// Without a readable ledger (none yet, damaged, another user's) its series
// are left out, silently: a metrics timer never fails for it.
static void ledger_collect(struct ks_metrics *m)
{
    struct ledger_hour hour = {m->now - ledger_window, {}, {}, false};
    const char *error = "";
    struct ks_ledger *ledger = ks_record_open(false);

    if (ledger == nullptr)
        return;
    bool read = ks_ledger_history(ledger, 0, ledger_row, &hour, &error);
    ks_ledger_close(ledger);
    if (hour.failed)
        throw std::bad_alloc();
    if (!read)
        return;

    metrics_family(m, "kestrel_ledger_crashes_last_hour", KS_METRICS_GAUGE,
                      "Crashes the kernel handed over in the last hour, by what became of them (outcome).");
    for (int i = 0; i < KS_LEDGER_OUTCOME_COUNT; i++) {
        const char *outcome = ks_ledger_outcome_name(static_cast<ks_ledger_outcome>(i));
        struct ks_metrics_label label = {"outcome", outcome, strlen(outcome)};
        metrics_sample(m, &label, 1, static_cast<double>(hour.outcomes[i]));
    }

    std::vector<std::pair<const std::string *, const signature_count *>> sorted;
    for (const auto &[signature, count] : hour.signatures)
        sorted.emplace_back(&signature, &count);
    std::sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) {
        return a.second->crashes != b.second->crashes ? a.second->crashes > b.second->crashes : *a.first < *b.first;
    });
    metrics_family(m, "kestrel_ledger_signature_crashes_last_hour", KS_METRICS_GAUGE,
                      "Crashes of the last hour by signature, the most frequent first, with the executable of the "
                      "latest.");
    for (size_t i = 0; i < sorted.size() && i < signatures_shown; i++) {
        const std::string &executable = sorted[i].second->executable;
        struct ks_metrics_label labels[] = {
            {"signature", sorted[i].first->data(), sorted[i].first->size()},
            {"executable", executable.data(), executable.size()},
        };
        metrics_sample(m, labels, 2, static_cast<double>(sorted[i].second->crashes));
    }
    metrics_family(m, "kestrel_ledger_signature_others_last_hour", KS_METRICS_GAUGE,
                      "Signatures with crashes in the last hour beyond those named.");
    metrics_sample(m, nullptr, 0,
                      static_cast<double>(sorted.size() > signatures_shown ? sorted.size() - signatures_shown : 0));
}

// The sources in the order their families are written.
static ks_metrics_source_t *const sources[] = {
    tree_collect,
    ledger_collect,
};

void ks_metrics_run(int argc, char **argv)
{
    if (argc > 1)
        ks_text_usage(usage_text, help_text, strcmp(argv[1], "-h") == 0);
    try {
        struct ks_metrics m = {stdout, time(nullptr), nullptr};
        for (ks_metrics_source_t *source : sources)
            source(&m);
    } catch (const std::bad_alloc &) {
        ks_client_allocation_failure();
    }
}
