#ifndef KS_CLIENT_TREE_H
#define KS_CLIENT_TREE_H

// The archive tree, walked from its root one directory at a time by
// descriptors that never follow a link: whoever owns the tree can replace
// any directory in it by a link, and the client may run as root. Every
// later access is relative to these descriptors.

#include <dirent.h>

enum ks_tree_place {
    KS_TREE_STAGING = 0,
    KS_TREE_PENDING = 1,
    KS_TREE_SENDING = 2,
    KS_TREE_COMMITTED = 3,
    KS_TREE_SENT = 4,
    KS_TREE_ASSETS = 5,
    KS_TREE_FAILED_PENDING = 6,
    KS_TREE_FAILED_SENDING = 7,
    KS_TREE_COUNT = 8,
};

// The directory, opened for reading on first use; -1 when it or the root
// does not exist. A link where a directory of the tree should be, a tree
// that this user may not read, or any other failure ends the program with
// one line that names the directory.
int ks_tree_dir(enum ks_tree_place place);
// Its name below the archive root ("committed/coredump").
const char *ks_tree_name(enum ks_tree_place place);
// Its path, as messages and listings show it.
const char *ks_tree_path(enum ks_tree_place place);
// The archive root itself, opened as the directories are; -1 when it does
// not exist.
int ks_tree_root(void);
// Ends the program with one line telling the reader who may read path (the
// thing at name under at, such as "the archive tree"): its owner and the
// group it belongs to.
[[noreturn]] void ks_tree_refused(const char *what, int at, const char *name, const char *path);
// Ends the program: path is a link where the tree has none.
[[noreturn]] void ks_tree_link_refused(const char *path);
// A directory stream at the start of an open directory of the tree, read
// through a copy of the descriptor, which the tree keeps. A failure ends the
// program with what (perror's text).
DIR *ks_tree_opendir(int fd, const char *what);

#endif
