#ifndef KS_CLIENT_METRICS_H
#define KS_CLIENT_METRICS_H

// kestrel metrics: the pipeline's state in the Prometheus text exposition
// format, for a textfile collector. Series come from sources (the archive
// tree, the crash ledger), each a function in the table of metrics.cpp that
// writes families of samples; names, label values and help texts are
// escaped in one place, so that nothing a crashed process chose can break
// the file.

void ks_metrics_run(int argc, char **argv);

#endif
