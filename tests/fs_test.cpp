#include "common/fs.h"
#include "support.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <sys/wait.h>
#include <unistd.h>

static const uid_t nobody = 65534;
static const gid_t nogroup = 65534;

static struct stat stat_of(const std::string &path)
{
    struct stat st = {};

    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(FsEnsurePath, RejectsRelativeAndOverlongPaths)
{
    errno = 0;
    EXPECT_FALSE(ks_fs_ensure_path("relative/dir", 0, 0, 0755));
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_FALSE(ks_fs_ensure_path("", 0, 0, 0755));
    EXPECT_EQ(errno, EINVAL);

    std::string longest = "/" + std::string(PATH_MAX - 1, 'a');
    errno = 0;
    EXPECT_FALSE(ks_fs_ensure_path(longest.c_str(), 0, 0, 0755));
    EXPECT_EQ(errno, E2BIG);
}

TEST(FsEnsurePath, CreatesMissingComponentsOnly)
{
    ks_test_dir dir;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (ks_test_is_root()) {
        uid = nobody;
        gid = nogroup;
    }
    ASSERT_EQ(chmod(dir.path.c_str(), 0700), 0);

    std::string target = dir / "a/b//c/";
    ASSERT_TRUE(ks_fs_ensure_path(target.c_str(), uid, gid, 0750));
    for (const char *created : {"a", "a/b", "a/b/c"}) {
        struct stat st = stat_of(dir / created);
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << created;
        EXPECT_EQ(st.st_mode & 0777, 0750u) << created;
        EXPECT_EQ(st.st_uid, uid) << created;
        EXPECT_EQ(st.st_gid, gid) << created;
    }
    // The existing parent keeps its owner and mode.
    struct stat parent = stat_of(dir.path);
    EXPECT_EQ(parent.st_mode & 0777, 0700u);
    EXPECT_EQ(parent.st_uid, getuid());

    // An existing directory is accepted as it is.
    ASSERT_EQ(chmod((dir / "a").c_str(), 0711), 0);
    ASSERT_TRUE(ks_fs_ensure_path((dir / "a").c_str(), 0, 0, 0755));
    EXPECT_EQ(stat_of(dir / "a").st_mode & 0777, 0711u);
    EXPECT_TRUE(ks_fs_ensure_path("/", 0, 0, 0755));
}

TEST(FsEnsurePath, FilesInTheWayGiveEnotdir)
{
    ks_test_dir dir;
    ks_test_write_file(dir / "file", "x");

    errno = 0;
    EXPECT_FALSE(ks_fs_ensure_path((dir / "file/sub/dir").c_str(), 0, 0, 0755));
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_FALSE(ks_fs_ensure_path((dir / "file").c_str(), 0, 0, 0755));
    EXPECT_EQ(errno, ENOTDIR);
}

TEST(FsEnsurePath, ReportsMkdirFailuresAndKeepsWhatItMade)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to drop to nobody";
    ks_test_dir dir;
    ASSERT_EQ(mkdir((dir / "locked").c_str(), 0755), 0);

    pid_t child = fork();
    if (child == 0) {
        if (setgid(nogroup) != 0 || setuid(nobody) != 0)
            _exit(2);
        errno = 0;
        bool ok = ks_fs_ensure_path((dir.path + "/locked/x/y").c_str(), nobody, nogroup, 0755);
        _exit(!ok && errno == EACCES ? 0 : 1);
    }
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(ks_test_exists(dir / "locked/x"));
}

// The daemon and an archiver may make a missing tree at the same moment;
// both must succeed. Two processes race for the same deep paths, each round
// started together through a pipe they both wait on.
TEST(FsEnsurePath, TwoProcessesMakingTheSameTree)
{
    ks_test_dir dir;

    for (int round = 0; round < 40; round++) {
        std::string target = dir / ("r" + std::to_string(round) + "/a/b/c/d/e/f/g/h/i/j/k/l");
        int gate[2];
        ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
        pid_t children[2];
        for (pid_t &child : children) {
            child = fork();
            if (child == 0) {
                char c;
                close(gate[1]);
                (void) read(gate[0], &c, 1);
                _exit(ks_fs_ensure_path(target.c_str(), getuid(), getgid(), 0755) ? 0 : 1);
            }
        }
        close(gate[0]);
        close(gate[1]);
        for (pid_t child : children) {
            int status = -1;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_EQ(status, 0) << "round " << round << ": " << ks_test_status_text(status);
        }
    }
}

TEST(FsOpen, CreatesFilesUnderFreshUuidNames)
{
    ks_test_dir dir;
    char first[PATH_MAX], second[PATH_MAX];
    const std::regex uuid("/[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

    ks_test_syslog_start();
    int a = ks_fs_open(first, dir.path.c_str(), O_WRONLY | O_CLOEXEC, getuid(), getgid(), 0640);
    int b = ks_fs_open(second, dir.path.c_str(), O_WRONLY | O_CLOEXEC, getuid(), getgid(), 0600);
    ASSERT_NE(a, -1);
    ASSERT_NE(b, -1);
    EXPECT_NE(std::string(first), std::string(second));
    for (const char *path : {first, second}) {
        std::string name(path);
        ASSERT_EQ(name.compare(0, dir.path.size(), dir.path), 0);
        EXPECT_TRUE(std::regex_match(name.substr(dir.path.size()), uuid)) << name;
    }
    EXPECT_EQ(stat_of(first).st_mode & 0777, 0640u);
    EXPECT_EQ(write(a, "x", 1), 1);
    close(a);
    close(b);
    EXPECT_TRUE(ks_test_syslog_read().empty());
}

TEST(FsOpen, FailuresCreateNothing)
{
    ks_test_dir dir;
    char path[PATH_MAX];

    ks_test_syslog_start();
    errno = 0;
    EXPECT_EQ(ks_fs_open(path, (dir / "missing").c_str(), O_WRONLY, 0, 0, 0600), -1);
    EXPECT_EQ(errno, ENOENT);

    // The composed name would need 4096 characters: refused before any open.
    std::string root = dir.path + std::string(PATH_MAX - 37 - dir.path.size(), '/');
    ASSERT_EQ(root.size() + 1 + 36, static_cast<size_t>(PATH_MAX));
    EXPECT_EQ(ks_fs_open(path, root.c_str(), O_WRONLY, 0, 0, 0600), -1);
    EXPECT_TRUE(ks_test_syslog_read().empty());

    DIR *d;
    ASSERT_TRUE(ks_fs_directory_open(&d, dir.path.c_str()));
    int entries = 0;
    while (readdir(d) != nullptr)
        entries++;
    closedir(d);
    EXPECT_EQ(entries, 2);
    EXPECT_FALSE(ks_fs_directory_open(&d, (dir / "missing").c_str()));
    EXPECT_EQ(d, nullptr);
}

TEST(FsOpen, OwnershipFailureOnlyWarns)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to drop to nobody";
    ks_test_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
    ks_test_syslog_start();

    pid_t child = fork();
    if (child == 0) {
        char path[PATH_MAX];
        if (setgid(nogroup) != 0 || setuid(nobody) != 0)
            _exit(2);
        int fd = ks_fs_open(path, dir.path.c_str(), O_WRONLY, 0, 0, 0600);
        _exit(fd >= 0 ? 0 : 1);
    }
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    auto logs = ks_test_syslog_read();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].priority, LOG_ERR);
    EXPECT_TRUE(logs[0].text.starts_with("warning: failed to set privileges on '" + dir.path + "/"));
    EXPECT_TRUE(logs[0].text.ends_with("': Operation not permitted"));
}

TEST(FsFlock, ExclusiveWithoutWaiting)
{
    ks_test_dir dir;
    ks_fs_flock first, second, missing;

    EXPECT_FALSE(ks_fs_flock_init(&missing, (dir / "missing").c_str()));
    EXPECT_EQ(missing.fd, -1);

    ASSERT_TRUE(ks_fs_flock_init(&first, dir.path.c_str()));
    ASSERT_TRUE(ks_fs_flock_init(&second, dir.path.c_str()));
    EXPECT_TRUE(fcntl(first.fd, F_GETFD) & FD_CLOEXEC);
    ASSERT_TRUE(ks_fs_flock_trylock(&first));
    EXPECT_FALSE(ks_fs_flock_trylock(&second));
    ks_fs_flock_unlock(&first);
    EXPECT_TRUE(ks_fs_flock_trylock(&second));
    ks_fs_flock_deinit(&second); // releases the lock
    EXPECT_TRUE(ks_fs_flock_trylock(&first));
    ks_fs_flock_deinit(&first);
}
