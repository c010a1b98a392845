#ifndef KS_CLIENT_SIGNATURES_H
#define KS_CLIENT_SIGNATURES_H

// kestrel signatures: the crash ledger by signature, the one seen last
// first, as a table or as JSON Lines.

void ks_signatures_run(int argc, char **argv);

#endif
