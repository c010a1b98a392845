#ifndef KS_CLIENT_COMPRESS_H
#define KS_CLIENT_COMPRESS_H

// kestrel compress: the kept core images of crashes (committed/coredump)
// compressed with zstd in place, under the same name, each only when that
// takes fewer blocks on disk. kestreld runs it for every core image it
// keeps when snapshot.compress asks for it.
void ks_compress_run(int argc, char **argv);

#endif
