#ifndef KS_CLIENT_DEBUG_H
#define KS_CLIENT_DEBUG_H

// kestrel debug: gdb on a crash's executable and kept core image.
void ks_debug_run(int argc, char **argv);

#endif
