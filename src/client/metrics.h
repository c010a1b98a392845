#ifndef KS_CLIENT_METRICS_H
#define KS_CLIENT_METRICS_H

// kestrel metrics: the pipeline's state in the Prometheus text exposition
// format, for a textfile collector. Series come from sources, each a
// function that writes families of samples through the calls below; the
// archive tree is the first source, and every later one (the crash
// ledger's outcomes and signatures) is one more function in the table of
// metrics.cpp. Sources never format text themselves: names, label values
// and help texts are escaped here, so that nothing a crashed process chose
// can break the file.

#include <cstddef>

struct ks_metrics;

typedef enum ks_metrics_type {
    KS_METRICS_GAUGE = 0,
    KS_METRICS_COUNTER = 1,
} ks_metrics_type;

struct ks_metrics_label {
    const char *name;  // [a-zA-Z_][a-zA-Z0-9_]*, chosen by the source
    const char *value; // any bytes
    size_t length;
};

// Starts a family: its HELP and TYPE lines. Every family name is written
// once per run, and its samples follow it before the next family.
void ks_metrics_family(struct ks_metrics *m, const char *name, ks_metrics_type type, const char *help);
// One sample of the current family.
void ks_metrics_sample(struct ks_metrics *m, const struct ks_metrics_label *labels, size_t n_labels, double value);

typedef void ks_metrics_source_t(struct ks_metrics *m);

void ks_metrics_run(int argc, char **argv);

#endif
