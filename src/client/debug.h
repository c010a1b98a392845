#ifndef KS_CLIENT_DEBUG_H
#define KS_CLIENT_DEBUG_H

// kestrel debug: gdb on a crash's executable and kept core image, handed
// over as descriptors.
void ks_debug_run(int argc, char **argv);
// Whether the arguments name a crash's files outside the archive tree
// (--core and --asset): then neither the configuration nor the tree is read.
bool ks_debug_outside(int argc, char **argv);

#endif
