#ifndef KS_CLIENT_LIST_H
#define KS_CLIENT_LIST_H

// kestrel list: one line per crash of the pipeline and failure directories
// and a summary per stage, or JSON Lines with -j.
void ks_list_run(int argc, char **argv);

#endif
