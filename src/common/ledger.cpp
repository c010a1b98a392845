#include "common/ledger.h"

#include "common/fd.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <csignal>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <unistd.h>

// "KsLg": a database that lacks it is not a ledger, whatever its tables.
static constexpr int application_id = 0x4b734c67;
static constexpr int schema_version = 1;
static const char lock_name[] = "ledger.lock";
// Rows deleted by one prune: a backlog is worked off over several crashes.
static constexpr int prune_batch = 5000;

static const char schema[] = "BEGIN;"
                             "CREATE TABLE crashes ("
                             " id INTEGER PRIMARY KEY,"
                             " time INTEGER NOT NULL,"
                             " pid INTEGER NOT NULL,"
                             " uid INTEGER NOT NULL,"
                             " executable TEXT,"
                             " signal INTEGER,"
                             " signature TEXT,"
                             " module TEXT,"
                             " offset INTEGER,"
                             " name TEXT,"
                             " outcome TEXT NOT NULL);"
                             "CREATE INDEX crashes_time ON crashes(time);"
                             "CREATE INDEX crashes_user ON crashes(uid, outcome, time);"
                             "CREATE INDEX crashes_signature ON crashes(signature, uid, outcome, time);"
                             "PRAGMA application_id = 1265847399;"
                             "PRAGMA user_version = 1;"
                             "COMMIT;"
                             "PRAGMA journal_mode = WAL;";
static_assert(application_id == 1265847399);

static const char columns[] = "id, time, pid, uid, executable, signal, signature, module, offset, name, outcome";

static const char *const outcome_names[KS_LEDGER_OUTCOME_COUNT] = {
    "stored", "cut", "ignored", "limit-0", "quota", "disk-full", "storm", "failed",
};

struct ks_ledger {
    sqlite3 *db;
    int dirfd;
    bool writer;
    mode_t mode;
    // The file as opened: moved aside only while the name still holds it.
    dev_t device;
    ino_t inode;
    uint64_t deadline; // CLOCK_MONOTONIC, nanoseconds
    unsigned seed;
    char path[PATH_MAX];
};

const char *ks_ledger_outcome_name(ks_ledger_outcome outcome)
{
    return outcome >= 0 && outcome < KS_LEDGER_OUTCOME_COUNT ? outcome_names[outcome] : "failed";
}

static uint64_t now_ns(void)
{
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

static void deadline_start(struct ks_ledger *l) { l->deadline = now_ns() + KS_LEDGER_WAIT_MS * 1000000ull; }

// Random pauses growing from a fraction of a millisecond to a few: the
// library's own back-off (up to 100 ms) leaves archivers asleep while the
// lock stands free, and hundreds of archivers polling every few hundred
// microseconds starve the one that holds it of the processor.
static bool wait_more(struct ks_ledger *l, int count)
{
    uint64_t now = now_ns();

    if (now >= l->deadline)
        return false;
    unsigned ceiling = 500u * static_cast<unsigned>(count < 40 ? count + 1 : 40);
    uint64_t pause = ceiling / 2 + rand_r(&l->seed) % ceiling;
    if (now + pause * 1000 > l->deadline)
        pause = (l->deadline - now) / 1000 + 1;
    usleep(static_cast<useconds_t>(pause));
    return true;
}

static int busy_wait(void *cl, int count) { return wait_more(static_cast<struct ks_ledger *>(cl), count) ? 1 : 0; }

static bool is_damage(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }

static void alarm_ignore(int) {}

// Every writer counts its turn in the lock file as it lets go. A waiter that
// sees the count move knows the queue is being served and waits on; only a
// ledger that serves nobody for the whole bound (locked by another process,
// stuck) is given up. However busy the storm, no wait passes the cap.
static uint64_t turns_served(int fd)
{
    uint64_t n = 0;

    return pread(fd, &n, sizeof n, 0) == static_cast<ssize_t>(sizeof n) ? n : 0;
}

// A turn that wrote nothing is no progress: waiters behind a ledger that
// fails every writer give up at their own bound.
static void turn_release(int fd, bool served)
{
    uint64_t n = turns_served(fd) + 1;

    if (served)
        (void) pwrite(fd, &n, sizeof n, 0);
    ks_fd_close(fd);
}

// Waits in the kernel for an exclusive flock, until the deadline. Writers
// queue here rather than poll SQLite's lock: a poller wakes hundreds of
// times a second, and in a storm of hundreds of archivers the pollers
// starve the one holding the lock and some wait past the deadline. The
// wait ends by SIGALRM from a timer that repeats, so that a first signal
// arriving before flock blocks cannot leave it blocked. The caller's
// SIGALRM action, mask and timer are put back.
static bool lock_wait(struct ks_ledger *l, int fd)
{
    struct sigaction quiet = {}, saved_action;
    struct itimerval tick = {}, saved_timer;
    sigset_t alarm, saved_mask;
    int rc, error;

    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno != EWOULDBLOCK)
        return false;
    uint64_t now = now_ns();
    if (now >= l->deadline) {
        errno = EWOULDBLOCK;
        return false;
    }
    quiet.sa_handler = alarm_ignore; // without SA_RESTART: flock returns EINTR
    sigemptyset(&quiet.sa_mask);
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    const uint64_t cap = now + KS_LEDGER_WAIT_MAX_MS * 1000000ull;
    uint64_t served = turns_served(fd);
    tick.it_value.tv_usec = tick.it_interval.tv_usec = 50000;
    (void) sigaction(SIGALRM, &quiet, &saved_action);
    (void) sigprocmask(SIG_UNBLOCK, &alarm, &saved_mask);
    (void) setitimer(ITIMER_REAL, &tick, &saved_timer);
    while ((rc = flock(fd, LOCK_EX)) == -1 && errno == EINTR) {
        now = now_ns();
        uint64_t seen = turns_served(fd);
        if (seen != served) {
            served = seen;
            deadline_start(l);
            l->deadline = std::min(l->deadline, cap);
        }
        if (now >= l->deadline)
            break;
    }
    error = rc == -1 && errno == EINTR ? EWOULDBLOCK : errno;
    (void) setitimer(ITIMER_REAL, &saved_timer, nullptr);
    (void) sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    (void) sigaction(SIGALRM, &saved_action, nullptr);
    errno = error;
    return rc == 0;
}

// The lock of writers and of creation. Only the owner can open it: a
// reader holding it would stall every archiver.
static int lock_take(struct ks_ledger *l, const char **error)
{
    int fd = openat(l->dirfd, lock_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);

    if (fd == -1) {
        *error = strerror(errno);
        return -1;
    }
    if (!lock_wait(l, fd)) {
        *error = errno == EWOULDBLOCK ? "the ledger is locked" : strerror(errno);
        ks_fd_close(fd);
        return -1;
    }
    return fd;
}

static void unlink_companions(int dirfd, const char *name)
{
    static const char *const suffixes[] = {"-wal", "-shm", "-journal"};
    char companion[NAME_MAX + 1];

    for (const char *suffix : suffixes) {
        snprintf(companion, sizeof companion, "%s%s", name, suffix);
        (void) unlinkat(dirfd, companion, 0);
    }
}

// A damaged ledger is kept for inspection under one name, so that repeated
// damage cannot fill the disk.
static bool move_aside(struct ks_ledger *l, const char **error)
{
    struct stat st;
    int lock = lock_take(l, error);

    if (lock == -1)
        return false;
    if (fstatat(l->dirfd, KS_LEDGER_FILE, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == l->device &&
        st.st_ino == l->inode) {
        unlink_companions(l->dirfd, KS_LEDGER_DAMAGED);
        if (renameat(l->dirfd, KS_LEDGER_FILE, l->dirfd, KS_LEDGER_DAMAGED) == -1) {
            *error = strerror(errno);
            ks_fd_close(lock);
            return false;
        }
        (void) renameat(l->dirfd, KS_LEDGER_FILE "-wal", l->dirfd, KS_LEDGER_DAMAGED "-wal");
        (void) unlinkat(l->dirfd, KS_LEDGER_FILE "-shm", 0);
    }
    ks_fd_close(lock);
    return true;
}

static int db_open(struct ks_ledger *l, const char *path, int flags, sqlite3 **db)
{
    int rc = sqlite3_open_v2(path, db, flags | SQLITE_OPEN_NOFOLLOW, nullptr);

    if (rc != SQLITE_OK) {
        sqlite3_close_v2(*db);
        *db = nullptr;
        return rc;
    }
    sqlite3_busy_handler(*db, busy_wait, l);
    return SQLITE_OK;
}

// The new database is built whole under a private name and linked into
// place, so that no archiver ever sees half a schema. It is built under the
// lock: of archivers that find no ledger at once one builds it, the others
// find it when their turn comes. A write-ahead log left by a deleted ledger
// would be replayed into the new one: it goes first, while no ledger.db
// exists that could own it.
static bool create(struct ks_ledger *l, const char **error)
{
    char name[64], path[PATH_MAX + 64];
    sqlite3 *db = nullptr;
    struct stat st;
    int lock = lock_take(l, error);

    if (lock == -1)
        return false;
    if (fstatat(l->dirfd, KS_LEDGER_FILE, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        ks_fd_close(lock);
        return true;
    }
    snprintf(name, sizeof name, KS_LEDGER_FILE ".new-%ld", static_cast<long>(getpid()));
    snprintf(path, sizeof path, "%.*s%s", static_cast<int>(strlen(l->path) - strlen(KS_LEDGER_FILE)), l->path, name);
    (void) unlinkat(l->dirfd, name, 0);
    unlink_companions(l->dirfd, name);
    unlink_companions(l->dirfd, KS_LEDGER_FILE);
    int rc = db_open(l, path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "PRAGMA synchronous = OFF;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, schema, nullptr, nullptr, nullptr);
    if (db != nullptr)
        sqlite3_close_v2(db);
    if (rc != SQLITE_OK) {
        *error = sqlite3_errstr(rc);
    } else if (fchmodat(l->dirfd, name, l->mode, 0) == -1 ||
               (linkat(l->dirfd, name, l->dirfd, KS_LEDGER_FILE, 0) == -1 && errno != EEXIST)) {
        *error = strerror(errno);
        rc = SQLITE_ERROR;
    }
    (void) unlinkat(l->dirfd, name, 0);
    unlink_companions(l->dirfd, name);
    ks_fd_close(lock);
    return rc == SQLITE_OK;
}

static int pragma_int(sqlite3 *db, const char *sql, int *value)
{
    sqlite3_stmt *st;
    int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);

    if (rc != SQLITE_OK)
        return rc;
    rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        *value = sqlite3_column_int(st, 0);
        rc = SQLITE_OK;
    }
    sqlite3_finalize(st);
    return rc;
}

// SQLITE_OK for a ledger of this version; SQLITE_NOTADB for any other
// database, however valid.
static int verify(sqlite3 *db)
{
    char sql[256];
    sqlite3_stmt *st;
    int id = 0, version = 0;
    int rc = pragma_int(db, "PRAGMA application_id", &id);

    if (rc == SQLITE_OK)
        rc = pragma_int(db, "PRAGMA user_version", &version);
    if (rc != SQLITE_OK)
        return rc;
    if (id != application_id || version != schema_version)
        return SQLITE_NOTADB;
    snprintf(sql, sizeof sql, "SELECT %s FROM crashes LIMIT 0", columns);
    rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    sqlite3_finalize(st);
    return rc == SQLITE_OK ? SQLITE_OK : is_damage(rc) ? rc : SQLITE_NOTADB;
}

// SQLite refuses, with SQLITE_OPEN_NOFOLLOW, a path that has a link
// anywhere in it, not only at its end: the root is named by its real path,
// so that a link above it (the directories there belong to the system and
// are followed) does not keep every crash out of the ledger.
static struct ks_ledger *ledger_new(const char *root, const char **error)
{
    auto *l = static_cast<struct ks_ledger *>(calloc(1, sizeof(struct ks_ledger)));
    char real[PATH_MAX];

    if (l == nullptr) {
        *error = strerror(ENOMEM);
        return nullptr;
    }
    if (realpath(root, real) != nullptr)
        root = real;
    l->seed = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(now_ns());
    l->dirfd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (l->dirfd == -1) {
        *error = strerror(errno);
        free(l);
        return nullptr;
    }
    if (snprintf(l->path, sizeof l->path, "%s/%s", root, KS_LEDGER_FILE) >= static_cast<int>(sizeof l->path)) {
        *error = strerror(ENAMETOOLONG);
        ks_ledger_close(l);
        return nullptr;
    }
    deadline_start(l);
    return l;
}

static bool open_failed(struct ks_ledger *l, const char **error, const char *why)
{
    *error = why;
    ks_ledger_close(l);
    return false;
}

static bool replaced(const struct ks_ledger *l)
{
    struct stat st;

    return fstatat(l->dirfd, KS_LEDGER_FILE, &st, AT_SYMLINK_NOFOLLOW) == -1 || st.st_dev != l->device ||
           st.st_ino != l->inode;
}

bool ks_ledger_open(struct ks_ledger **ledger, const char *root, mode_t mode, const char **error)
{
    struct ks_ledger *l = ledger_new(root, error);
    struct stat st;
    int one = 1;

    *ledger = nullptr;
    if (l == nullptr)
        return false;
    l->writer = true;
    l->mode = mode & 0666;
    // Each round either opens a sound ledger or changes what lies there;
    // others may be changing it too.
    for (int round = 0; round < 4; round++) {
        if (fstatat(l->dirfd, KS_LEDGER_FILE, &st, AT_SYMLINK_NOFOLLOW) == -1) {
            if (errno != ENOENT)
                return open_failed(l, error, strerror(errno));
            if (!create(l, error))
                return open_failed(l, error, *error);
            continue;
        }
        l->device = st.st_dev;
        l->inode = st.st_ino;
        int rc = S_ISREG(st.st_mode) ? db_open(l, l->path, SQLITE_OPEN_READWRITE, &l->db) : SQLITE_NOTADB;
        if (rc == SQLITE_OK)
            rc = verify(l->db);
        if (rc == SQLITE_OK && sqlite3_db_readonly(l->db, "main") == 1)
            rc = SQLITE_READONLY;
        if (rc == SQLITE_OK) {
            // The log files stay between archivers, so that a reader
            // without write access to the directory finds them.
            (void) sqlite3_file_control(l->db, "main", SQLITE_FCNTL_PERSIST_WAL, &one);
            (void) sqlite3_exec(l->db, "PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = 1048576;",
                                nullptr, nullptr, nullptr);
            *ledger = l;
            return true;
        }
        sqlite3_close_v2(l->db);
        l->db = nullptr;
        // Another archiver moved a damaged ledger aside or made a new one
        // between the look and the open: look again.
        if ((rc & 0xff) == SQLITE_CANTOPEN && replaced(l))
            continue;
        if (!is_damage(rc))
            return open_failed(l, error, sqlite3_errstr(rc));
        if (!move_aside(l, error))
            return open_failed(l, error, *error);
    }
    return open_failed(l, error, "the ledger keeps changing");
}

bool ks_ledger_open_read(struct ks_ledger **ledger, const char *root, const char **error)
{
    struct ks_ledger *l = ledger_new(root, error);

    *ledger = nullptr;
    if (l == nullptr)
        return false;
    int rc = db_open(l, l->path, SQLITE_OPEN_READONLY, &l->db);
    if (rc == SQLITE_OK)
        rc = verify(l->db);
    if (rc != SQLITE_OK)
        return open_failed(l, error, is_damage(rc) ? "the ledger is damaged" : sqlite3_errstr(rc));
    *ledger = l;
    return true;
}

void ks_ledger_close(struct ks_ledger *l)
{
    if (l == nullptr)
        return;
    if (l->db != nullptr)
        sqlite3_close_v2(l->db);
    if (l->dirfd != -1)
        ks_fd_close(l->dirfd);
    free(l);
}

// Every failure ends here: a damaged ledger is moved aside for the next
// archiver to create anew; this crash goes without.
static bool failed(struct ks_ledger *l, int rc, const char **error)
{
    const char *ignored;

    *error = sqlite3_errstr(rc);
    if (l->writer && is_damage(rc))
        (void) move_aside(l, &ignored);
    return false;
}

static void bind_text(sqlite3_stmt *st, int index, const char *text)
{
    if (text != nullptr && text[0] != '\0')
        sqlite3_bind_text(st, index, text, -1, SQLITE_STATIC);
    else
        sqlite3_bind_null(st, index);
}

static int insert(struct ks_ledger *l, const struct ks_ledger_crash *c, ks_ledger_outcome outcome, int64_t *row)
{
    sqlite3_stmt *st;
    int rc = sqlite3_prepare_v2(l->db,
                                "INSERT INTO crashes (time, pid, uid, executable, signal, signature, module,"
                                " offset, name, outcome) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                -1, &st, nullptr);

    if (rc != SQLITE_OK)
        return rc;
    sqlite3_bind_int64(st, 1, c->when);
    sqlite3_bind_int64(st, 2, c->pid);
    sqlite3_bind_int64(st, 3, c->uid);
    bind_text(st, 4, c->executable);
    if (c->signal > 0)
        sqlite3_bind_int(st, 5, c->signal);
    bind_text(st, 6, c->signature);
    bind_text(st, 7, c->module);
    if (c->has_offset)
        sqlite3_bind_int64(st, 8, static_cast<sqlite3_int64>(c->offset));
    bind_text(st, 9, c->name);
    sqlite3_bind_text(st, 10, ks_ledger_outcome_name(outcome), -1, SQLITE_STATIC);
    rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE)
        return rc;
    *row = sqlite3_last_insert_rowid(l->db);
    return SQLITE_OK;
}

static int count(struct ks_ledger *l, const struct ks_ledger_crash *c, time_t window, struct ks_storm_counts *n)
{
    sqlite3_stmt *st;
    int rc = sqlite3_prepare_v2(
        l->db,
        "SELECT"
        " (SELECT count(*) FROM crashes WHERE signature = ?1 AND uid = ?2 AND outcome IN ('stored', 'cut')"
        "  AND time > ?3),"
        " (SELECT count(*) FROM crashes WHERE uid = ?2 AND outcome IN ('stored', 'cut') AND time > ?3),"
        " (SELECT count(*) FROM crashes WHERE signature = ?1 AND uid = ?2 AND outcome = 'storm' AND time > ?3),"
        " (SELECT count(*) FROM crashes WHERE uid = ?2 AND outcome = 'storm' AND time > ?3)",
        -1, &st, nullptr);

    if (rc != SQLITE_OK)
        return rc;
    bind_text(st, 1, c->signature);
    sqlite3_bind_int64(st, 2, c->uid);
    sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(c->when) - window);
    rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        n->signature_stored = static_cast<unsigned long>(sqlite3_column_int64(st, 0));
        n->user_stored = static_cast<unsigned long>(sqlite3_column_int64(st, 1));
        n->signature_skipped = static_cast<unsigned long>(sqlite3_column_int64(st, 2));
        n->user_skipped = static_cast<unsigned long>(sqlite3_column_int64(st, 3));
        rc = SQLITE_OK;
    }
    sqlite3_finalize(st);
    return rc;
}

bool ks_ledger_admit(struct ks_ledger *l, const struct ks_ledger_crash *crash, const struct ks_storm_limits *limits,
                     struct ks_storm_decision *decision, int64_t *row, const char **error)
{
    struct ks_storm_counts counts = {};
    bool signed_crash = crash->signature != nullptr && crash->signature[0] != '\0';

    deadline_start(l);
    // Without the ledger's word the crash is handled as without a ledger.
    ks_storm_decide(limits, &counts, signed_crash, decision);
    int turn = lock_take(l, error);
    if (turn == -1)
        return false;
    // The write lock before counting: counting under a read lock would let
    // two archivers both see room for one more core.
    int rc = sqlite3_exec(l->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK && limits->window > 0)
        rc = count(l, crash, limits->window, &counts);
    struct ks_storm_decision verdict;
    ks_storm_decide(limits, &counts, signed_crash, &verdict);
    if (rc == SQLITE_OK)
        rc = insert(l, crash, verdict.verdict == KS_STORM_STORE ? KS_LEDGER_STORED : KS_LEDGER_STORM, row);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(l->db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        (void) sqlite3_exec(l->db, "ROLLBACK", nullptr, nullptr, nullptr);
    turn_release(turn, rc == SQLITE_OK);
    if (rc != SQLITE_OK)
        return failed(l, rc, error);
    *decision = verdict;
    return true;
}

// One statement that writes, in the writers' turn.
static bool write_one(struct ks_ledger *l, sqlite3_stmt *st, const char **error)
{
    int turn = lock_take(l, error);

    if (turn == -1) {
        sqlite3_finalize(st);
        return false;
    }
    int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    turn_release(turn, rc == SQLITE_DONE);
    return rc == SQLITE_DONE || failed(l, rc, error);
}

bool ks_ledger_add(struct ks_ledger *l, const struct ks_ledger_crash *crash, ks_ledger_outcome outcome, int64_t *row,
                   const char **error)
{
    deadline_start(l);
    int turn = lock_take(l, error);
    if (turn == -1)
        return false;
    int rc = insert(l, crash, outcome, row);
    turn_release(turn, rc == SQLITE_OK);
    return rc == SQLITE_OK || failed(l, rc, error);
}

bool ks_ledger_finish(struct ks_ledger *l, int64_t row, ks_ledger_outcome outcome, const char *name,
                      const char **error)
{
    sqlite3_stmt *st;

    deadline_start(l);
    int rc = sqlite3_prepare_v2(l->db, "UPDATE crashes SET outcome = ?1, name = coalesce(?2, name) WHERE id = ?3", -1,
                                &st, nullptr);
    if (rc != SQLITE_OK)
        return failed(l, rc, error);
    sqlite3_bind_text(st, 1, ks_ledger_outcome_name(outcome), -1, SQLITE_STATIC);
    bind_text(st, 2, name);
    sqlite3_bind_int64(st, 3, row);
    return write_one(l, st, error);
}

bool ks_ledger_prune(struct ks_ledger *l, time_t before, const char **error)
{
    sqlite3_stmt *st;
    bool any = false;

    deadline_start(l);
    int rc = sqlite3_prepare_v2(l->db, "SELECT EXISTS (SELECT 1 FROM crashes WHERE time < ?1)", -1, &st, nullptr);
    if (rc != SQLITE_OK)
        return failed(l, rc, error);
    sqlite3_bind_int64(st, 1, before);
    rc = sqlite3_step(st);
    if (rc == SQLITE_ROW)
        any = sqlite3_column_int(st, 0) != 0;
    sqlite3_finalize(st);
    if (rc != SQLITE_ROW)
        return failed(l, rc, error);
    if (!any)
        return true;
    rc = sqlite3_prepare_v2(l->db,
                            "DELETE FROM crashes WHERE id IN"
                            " (SELECT id FROM crashes WHERE time < ?1 ORDER BY time LIMIT ?2)",
                            -1, &st, nullptr);
    if (rc != SQLITE_OK)
        return failed(l, rc, error);
    sqlite3_bind_int64(st, 1, before);
    sqlite3_bind_int(st, 2, prune_batch);
    return write_one(l, st, error);
}

static const char *column_text(sqlite3_stmt *st, int i)
{
    return reinterpret_cast<const char *>(sqlite3_column_text(st, i));
}

bool ks_ledger_history(struct ks_ledger *l, size_t count, ks_ledger_row_cb *cb, void *cl, const char **error)
{
    char sql[256];
    sqlite3_stmt *st;

    deadline_start(l);
    snprintf(sql, sizeof sql, "SELECT %s FROM crashes ORDER BY time DESC, id DESC LIMIT ?1", columns);
    int rc = sqlite3_prepare_v2(l->db, sql, -1, &st, nullptr);
    if (rc != SQLITE_OK)
        return failed(l, rc, error);
    sqlite3_bind_int64(st, 1, count == 0 ? -1 : static_cast<sqlite3_int64>(count));
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        struct ks_ledger_row row = {};
        row.id = sqlite3_column_int64(st, 0);
        row.when = static_cast<time_t>(sqlite3_column_int64(st, 1));
        row.pid = static_cast<pid_t>(sqlite3_column_int64(st, 2));
        row.uid = static_cast<uid_t>(sqlite3_column_int64(st, 3));
        row.executable = column_text(st, 4);
        row.signal = sqlite3_column_int(st, 5);
        row.signature = column_text(st, 6);
        row.module = column_text(st, 7);
        row.has_offset = sqlite3_column_type(st, 8) != SQLITE_NULL;
        row.offset = static_cast<uint64_t>(sqlite3_column_int64(st, 8));
        row.name = column_text(st, 9);
        row.outcome = column_text(st, 10);
        if (!cb(&row, cl)) {
            rc = SQLITE_DONE;
            break;
        }
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE || failed(l, rc, error);
}

bool ks_ledger_signatures(struct ks_ledger *l, time_t since, ks_ledger_summary_cb *cb, void *cl, const char **error)
{
    sqlite3_stmt *st;

    deadline_start(l);
    int rc = sqlite3_prepare_v2(
        l->db,
        "WITH s AS (SELECT signature, sum(time >= ?1) AS recent, count(*) AS total,"
        "  sum(outcome IN ('stored', 'cut')) AS stored, min(time) AS first, max(time) AS last, max(id) AS latest"
        "  FROM crashes WHERE signature IS NOT NULL GROUP BY signature)"
        " SELECT s.signature, s.recent, s.total, s.stored, s.first, s.last, c.executable, c.signal, c.module,"
        "  c.offset FROM s JOIN crashes c ON c.id = s.latest ORDER BY s.last DESC, s.latest DESC",
        -1, &st, nullptr);
    if (rc != SQLITE_OK)
        return failed(l, rc, error);
    sqlite3_bind_int64(st, 1, since);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        struct ks_ledger_summary s = {};
        s.signature = column_text(st, 0);
        s.recent = static_cast<unsigned long>(sqlite3_column_int64(st, 1));
        s.total = static_cast<unsigned long>(sqlite3_column_int64(st, 2));
        s.stored = static_cast<unsigned long>(sqlite3_column_int64(st, 3));
        s.first = static_cast<time_t>(sqlite3_column_int64(st, 4));
        s.last = static_cast<time_t>(sqlite3_column_int64(st, 5));
        s.executable = column_text(st, 6);
        s.signal = sqlite3_column_int(st, 7);
        s.module = column_text(st, 8);
        s.has_offset = sqlite3_column_type(st, 9) != SQLITE_NULL;
        s.offset = static_cast<uint64_t>(sqlite3_column_int64(st, 9));
        if (!cb(&s, cl)) {
            rc = SQLITE_DONE;
            break;
        }
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE || failed(l, rc, error);
}
