#include "common/cred.h"
#include "support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

static const uid_t nobody = 65534;
static const gid_t nogroup = 65534;

static std::string user(const char *name)
{
    uid_t uid = 4242;
    const char *home = "unset";
    const char *error = "";

    if (!ks_cred_uid_name(&uid, &home, name, &error))
        return std::string("error: ") + error;
    std::string result = std::to_string(uid) + " " + (home ? home : "(null)");
    free(const_cast<char *>(home));
    return result;
}

static std::string group(const char *name)
{
    gid_t gid = 4242;
    const char *error = "";

    if (!ks_cred_gid_name(&gid, name, &error))
        return std::string("error: ") + error;
    return std::to_string(gid);
}

// In a private mount namespace, replaces an account database with content.
static bool replace_database(const std::string &database, const std::string &content)
{
    static ks_test_dir *dir = new ks_test_dir; // lives in the child until it exits
    std::string file = *dir / database.substr(database.rfind('/') + 1);

    ks_test_write_file(file, content);
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(file.c_str(), database.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

TEST(Cred, LooksUpUsersAndGroups)
{
    EXPECT_EQ(user("root"), "0 /root");
    EXPECT_EQ(user("nobody"), "65534 /nonexistent");
    EXPECT_EQ(user("no-such-user-kestrel"), "error: user not found");
    EXPECT_EQ(user(""), "error: user not found");
    EXPECT_EQ(group("root"), "0");
    EXPECT_EQ(group("nogroup"), "65534");
    EXPECT_EQ(group("no-such-group-kestrel"), "error: group not found");
}

TEST(Cred, AccountsWithoutHomeAndWithHugeEntries)
{
    if (!ks_test_is_root() || !ks_test_can_mount())
        GTEST_SKIP() << "needs root with a private mount namespace";

    std::string result = ks_test_in_child([] {
        std::string members;
        for (int i = 0; i < 4000; i++)
            members += (i ? "," : "") + std::string("member") + std::to_string(i);
        std::string passwd = "root:x:0:0:root:/root:/bin/sh\n"
                             "homeless:x:4343:4343:no home::/bin/sh\n"
                             "wide:x:4444:4444:" + std::string(40000, 'g') + ":/home/wide:/bin/sh\n";
        if (!replace_database("/etc/passwd", passwd) ||
            !replace_database("/etc/group", "big:x:5555:" + members + "\n"))
            return std::string("namespace set-up failed");
        return user("homeless") + "|" + user("wide") + "|" + group("big");
    });
    EXPECT_EQ(result, "4343 (null)|4444 /home/wide|5555");
}

TEST(Cred, DropsGroupThenUser)
{
    if (!ks_test_is_root())
        GTEST_SKIP() << "needs root to change credentials";

    std::string result = ks_test_in_child([] {
        const char *error = "";
        if (!ks_cred_suid(getuid(), getgid(), &error))
            return std::string("same ids: ") + error;
        if (!ks_cred_suid(nobody, nogroup, &error))
            return std::string("drop: ") + error;
        std::string ids = std::to_string(geteuid()) + ":" + std::to_string(getegid());
        bool regain = ks_cred_suid(0, 0, &error);
        std::string group_error = error;
        error = "";
        bool user_only = ks_cred_suid(0, nogroup, &error);
        return ids + "|" + std::to_string(regain) + " " + group_error + "|" + std::to_string(user_only) + " " + error;
    });
    EXPECT_EQ(result, "65534:65534|0 failed to drop group privileges|0 failed to drop user privileges");
}
