#ifndef KS_CLIENT_HISTORY_H
#define KS_CLIENT_HISTORY_H

// kestrel history: the crash ledger, newest first, as a table or as JSON
// Lines.

void ks_history_run(int argc, char **argv);

#endif
