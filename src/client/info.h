#ifndef KS_CLIENT_INFO_H
#define KS_CLIENT_INFO_H

// kestrel info: one crash in detail, every file of it and the asset's
// entries, as text or one JSON object.
void ks_info_run(int argc, char **argv);

#endif
