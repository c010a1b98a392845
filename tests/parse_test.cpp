#include "common/parse.h"

#include <cerrno>
#include <climits>
#include <gtest/gtest.h>
#include <string>

static std::string age_error(const char *text)
{
    time_t age = 12345;
    const char *error = "";

    EXPECT_FALSE(ks_parse_age(&age, text, &error)) << text;
    EXPECT_EQ(age, 12345) << "out-parameter written on failure";
    return error;
}

TEST(ParseAge, UnitsScaleTheCount)
{
    const struct {
        const char *text;
        time_t seconds;
    } cases[] = {{"90s", 90},     {"15m", 900},     {"2h", 7200},      {"1d", 86400},
                 {"1w", 604800},  {"1M", 2592000},  {"5days", 432000}, {" 3s", 3}};

    for (const auto &c : cases) {
        time_t age = 0;
        const char *error = nullptr;
        ASSERT_TRUE(ks_parse_age(&age, c.text, &error)) << c.text;
        EXPECT_EQ(age, c.seconds) << c.text;
    }
}

TEST(ParseAge, RejectsZeroMissingDigitsAndBadSuffixes)
{
    EXPECT_EQ(age_error("30"), "invalid age suffix specified");
    EXPECT_EQ(age_error("1x"), "invalid age suffix specified");
    EXPECT_EQ(age_error("0s"), "out of range");
    EXPECT_EQ(age_error("abc"), "out of range");
    EXPECT_EQ(age_error(""), "out of range");
    EXPECT_EQ(age_error("18446744073709551615s"), "out of range");
    EXPECT_EQ(age_error("99999999999999999999s"), "out of range");
}

TEST(ParseAge, RejectsCountsThatWouldWrap)
{
    // 2^63 / 2592000 is about 3.56e12 months: one more must not wrap around.
    time_t age = 0;
    const char *error = nullptr;

    ASSERT_TRUE(ks_parse_age(&age, "3558399705576M", &error));
    EXPECT_GT(age, 0);
    EXPECT_EQ(age_error("3558399705577M"), "out of range");
    EXPECT_EQ(age_error("9223372036854775808s"), "out of range");
    EXPECT_EQ(age_error("-1s"), "out of range");
}

TEST(ParseBytes, PicksTheLargestUnitExceeded)
{
    const char *unit = nullptr;

    EXPECT_EQ(ks_parse_bytes(&unit, 0), 0.0);
    EXPECT_STREQ(unit, "B");
    EXPECT_EQ(ks_parse_bytes(&unit, 1024), 1024.0);
    EXPECT_STREQ(unit, "B");
    EXPECT_EQ(ks_parse_bytes(&unit, 1025), 1.0009765625);
    EXPECT_STREQ(unit, "kB");
    EXPECT_EQ(ks_parse_bytes(&unit, 1048576), 1024.0);
    EXPECT_STREQ(unit, "kB");
    ks_parse_bytes(&unit, 1048577);
    EXPECT_STREQ(unit, "mB");
    EXPECT_EQ(ks_parse_bytes(&unit, 1073741824), 1024.0);
    EXPECT_STREQ(unit, "mB");
    ks_parse_bytes(&unit, 1073741825);
    EXPECT_STREQ(unit, "gB");
    EXPECT_DOUBLE_EQ(ks_parse_bytes(&unit, ULLONG_MAX), 17179869184.0);
}

TEST(ParseNumbers, SharedRules)
{
    size_t size = 7;
    time_t ts = 7;
    pid_t pid = 7;

    EXPECT_FALSE(ks_parse_size(&size, ""));
    EXPECT_FALSE(ks_parse_size(&size, "abc"));
    EXPECT_FALSE(ks_parse_size(&size, "18446744073709551616"));
    EXPECT_EQ(size, 7u);

    errno = EINVAL; // a stale errno must not fail a good zero
    ASSERT_TRUE(ks_parse_size(&size, "0"));
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(ks_parse_size(&size, "12abc"));
    EXPECT_EQ(size, 12u);
    ASSERT_TRUE(ks_parse_size(&size, "18446744073709551615"));
    EXPECT_EQ(size, SIZE_MAX);

    ASSERT_TRUE(ks_parse_timestamp(&ts, "-42"));
    EXPECT_EQ(ts, -42);
    EXPECT_FALSE(ks_parse_timestamp(&ts, "9223372036854775808"));
    EXPECT_FALSE(ks_parse_timestamp(&ts, "-9223372036854775809"));
    EXPECT_EQ(ts, -42);

    ASSERT_TRUE(ks_parse_pid(&pid, " 812\n"));
    EXPECT_EQ(pid, 812);
    EXPECT_FALSE(ks_parse_pid(&pid, "pid"));
    EXPECT_EQ(pid, 812);
}

TEST(ParseNumbers, LtrimStopsAtTheFirstNonBlank)
{
    const char *blank = " \t\r\n\v\f";

    EXPECT_EQ(ks_ltrim(blank), blank + 6);
    EXPECT_EQ(*ks_ltrim(blank), '\0');
    EXPECT_STREQ(ks_ltrim("  a b "), "a b ");
    EXPECT_STREQ(ks_ltrim(""), "");
}
