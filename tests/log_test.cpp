#include "common/log.h"
#include "support.h"

#include <cerrno>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

TEST(Log, MessagesKeepTheirPriorityAndText)
{
    ks_test_syslog_start();
    ks_log(LOG_WARNING, "warning: %s %d\n", "value", 42);
    ks_log(LOG_INFO, "plain");

    auto logs = ks_test_syslog_read();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].priority, LOG_WARNING);
    EXPECT_EQ(logs[0].text, "warning: value 42\n");
    EXPECT_EQ(logs[1].priority, LOG_INFO);
    EXPECT_EQ(logs[1].text, "plain");
}

TEST(Log, PerrorAppendsTheErrorTextOnce)
{
    ks_test_syslog_start();
    errno = ENOENT;
    ks_perror("error: failed to open %s", "x");
    EXPECT_EQ(errno, ENOENT);
    errno = EACCES;
    ks_perror("100%% %s", "%s%n"); // a % in the arguments is never reinterpreted

    auto logs = ks_test_syslog_read();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].priority, LOG_ERR);
    EXPECT_EQ(logs[0].text, "error: failed to open x: No such file or directory");
    EXPECT_EQ(logs[1].text, "100% %s%n: Permission denied");
}

TEST(Log, PerrorCutsLongTexts)
{
    ks_test_syslog_start();
    errno = EIO;
    ks_perror("%s", std::string(1023, 'a').c_str());
    ks_perror("%s", std::string(1020, 'b').c_str());
    ks_perror("%s", std::string(5000, 'c').c_str());

    auto logs = ks_test_syslog_read();
    ASSERT_EQ(logs.size(), 3u);
    // The error text is cut to the room left in the 1024-byte line.
    EXPECT_EQ(logs[0].text, std::string(1023, 'a'));
    EXPECT_EQ(logs[1].text, std::string(1020, 'b') + ": I");
    EXPECT_EQ(logs[2].text, std::string(1023, 'c'));
}

TEST(Log, FprintfReportsShortWrites)
{
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(ks_fprintf(full, "%s", "lost"), -1);
    fclose(full);

    ks_test_dir dir;
    FILE *file = fopen((dir / "log").c_str(), "w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ks_fprintf(file, "[%s] %.*s%s", "stdout", 3, "abcdef", "\n"), 13);
    EXPECT_EQ(ks_fprintf(file, "%s", ""), 0);
    fclose(file);
    EXPECT_EQ(ks_test_read_file(dir / "log"), "[stdout] abc\n");
}
