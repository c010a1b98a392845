#ifndef KS_CLIENT_RETRY_H
#define KS_CLIENT_RETRY_H

// kestrel retry: moves given-up crashes back into the pipeline directories,
// where the daemon takes them up again.
void ks_retry_run(int argc, char **argv);

#endif
