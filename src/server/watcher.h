#ifndef KS_SERVER_WATCHER_H
#define KS_SERVER_WATCHER_H

// The dump pipeline. Every crash is one object, loaded when its core image
// is moved into the pending directory (or found there, or its snapshot found
// in the sending directory), driven through the snapshot and send stages by
// the slave pools, and committed: its files kept in the committed tree or
// deleted. Kept files are purged by age. Everything runs on the loop's thread.
//
// Three files: watcher.cpp drives one crash, tree.cpp keeps the archive tree
// (lock, watch, scans), purge.cpp removes expired files.

#include "common/facts.h"
#include "common/list.h"
#include "libqu/src/os.h"
#include "server/linux/io.h"
#include "server/misc.h"

#include <ctime>

// Which list holds an object.
typedef enum ks_watcher_state {
    KS_WATCHER_FLOAT = 0,   // in none: being built or removed
    KS_WATCHER_PENDING = 1, // handled at the next processing pass
    KS_WATCHER_ACTIVE = 2,  // a stage command runs for it
    KS_WATCHER_FAILED = 3,  // waits for the retry timer, or for a pool place
    KS_WATCHER_COUNT = 4,
} ks_watcher_state;

// One crash; one allocation holding its paths.
typedef struct ks_watcher_object {
    ks_tailq_entry linkage; // in the list that state names
    ks_stage stage;
    ks_watcher_state state;
    char **argv;          // the stage command last started; alive until it ends
    char **defaults_argv; // the defaults command while it runs
    const char *basename; // into path
    char *executable;     // from the asset; null when unknown
    char signature[KS_FACTS_SIGNATURE_SIZE]; // from the asset's facts; empty when unknown
    struct qu_env child_env; // envp null until the first attempt builds it
    struct {
        char *committed;
        char *asset;
        char *sending; // where the snapshot is written and read
        char *sent;
    } pst; // into the record, behind path
    struct {
        time_t creation; // modification time of the first file found at loading
        struct timespec added;
        struct timespec attempt;
        unsigned int n_attempt; // commands started in the current stage
    } st;
    ks_tailq_entry waiting; // in its stage's queue while waiting for a pool place
    ks_tailq_head *queue;   // that queue, null when in none
    const char *compress_argv[6]; // the compression of the kept core image while it runs
    char path[];            // the core image in the pending directory
} ks_watcher_object;

// Call once, after the loop and the slave pools exist. False when the
// pipeline cannot watch the pending directory.
bool ks_watcher_init(ks_io_t *io);

// The tree.
// Loads the crashes of the pending and then the sending directory that are
// not known yet, then purges. Does nothing while another daemon holds the
// archive. False when a directory cannot be read. Never call it from inside
// a watcher operation (a signal handler, say).
bool ks_watcher_scan(void);
// Prepares tree, lock and watch, or arms the 3-second retry; false only when
// the watch cannot be registered.
bool ks_watcher_ensure(void);
bool ks_watcher_defer(void);
bool ks_watcher_lock(void);
void ks_watcher_event(ks_io_fs_t *fs, const char *root, const char *base, unsigned long mask);
// Whether this daemon holds the archive lock: without it nothing runs.
bool ks_watcher_locked(void);

// Objects. ks_watcher_init calls ks_watcher_pipeline_init first (false when
// the processing pass cannot be registered with the loop), and runs the first
// processing pass; the loop runs one after every iteration.
bool ks_watcher_pipeline_init(ks_io_t *io);
void ks_watcher_process(void);
// Destroys the objects that wait (pending or failed), leaving their files.
void ks_watcher_forget_queued(void);
void ks_watcher_add(ks_stage stage, const char *base);
// The pending and assets directories, open for a scan: the crashes it finds
// are looked at relative to them.
struct ks_watcher_dirs {
    int pending;
    int assets;
};
void ks_watcher_add_at(ks_stage stage, const char *base, const struct ks_watcher_dirs *dirs);
ks_watcher_object *ks_watcher_find(const char *base);
void ks_watcher_unlink(ks_watcher_object *o);
// Moves the object into the list of st; with KS_WATCHER_FAILED it may be
// given up and destroyed instead.
void ks_watcher_step(ks_watcher_object *o, ks_watcher_state st);
// False when the object was given up (its files deleted or moved aside, the
// record destroyed).
bool ks_watcher_object_invariant(ks_watcher_object *o);
// Keeps or deletes the object's files as the commit actions say; true when
// its core image is now kept in the committed directory.
bool ks_watcher_object_commit(ks_watcher_object *o);

// Kept core images compressed (compress.cpp): the client's compress command
// runs in a place of the send pool, as part of the commit.
// Call once, before the daemon detaches and leaves its working directory:
// finds the client and the configuration file's absolute path when
// snapshot.compress asks for compression. False, after one message, when
// the client cannot be run.
bool ks_watcher_compress_init(void);
// Whether the user the daemon now runs as can run the client with the
// configuration file; false after one message.
bool ks_watcher_compress_check(void);
// Removes what compressions that never ended left in the committed
// directory; compressions still running keep theirs.
void ks_watcher_compress_clean(void);
// Starts compressing the object's kept core image, when that is wanted; done
// gets the object once the compression has ended and been logged. False
// when none was started (not wanted, or logged as failed).
bool ks_watcher_compress_start(ks_watcher_object *o, void (*done)(ks_watcher_object *o));

// The purge of kept files.
void ks_watcher_gc_init(ks_io_t *io);
// Whether purge.age and purge.disabled ask for purging at all.
bool ks_watcher_gc_active(void);
void ks_watcher_gc(void);
time_t ks_watcher_gc_scan(const char *path);
// Asks for a purge at tm (seconds since the epoch); 0 cancels.
void ks_watcher_gc_timer(time_t tm);

#endif
