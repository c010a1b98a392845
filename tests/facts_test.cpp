#include "common/facts.h"
#include "support.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

TEST(Facts, HostileValuesStayOnTheirLineAndComeBackWhole)
{
    const std::string values[] = {
        "/usr/bin/plain",
        "/tmp/x\nsignature=0000000000000000\nhost=prod-db-01",
        std::string("nul\0inside", 10),
        "\x1b[31mred\x1b[0m and \xc2\x9b csi",
        "back\\slash \\x41 not an escape",
        "\xff\xfe not utf-8",
        "",
    };
    struct ks_facts_text t = {};

    for (size_t i = 0; i < std::size(values); i++)
        ASSERT_TRUE(ks_facts_add(&t, ("k" + std::to_string(i)).c_str(), values[i].data(), values[i].size()));
    std::string text(t.data, t.length);
    ks_facts_release(&t);

    size_t lines = 0;
    for (unsigned char c : text) {
        lines += c == '\n';
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7e)) << "byte " << int(c) << " in " << text;
    }
    EXPECT_EQ(lines, std::size(values));
    auto facts = ks_test_facts(text);
    ASSERT_EQ(facts.size(), std::size(values));
    for (size_t i = 0; i < std::size(values); i++)
        EXPECT_EQ(facts["k" + std::to_string(i)], values[i]) << i;
}

TEST(Facts, FindAndFormattedValues)
{
    struct ks_facts_text t = {};

    ks_facts_addf(&t, "signal", "%d", 11);
    ks_facts_addf(&t, "pc", "0x%016llx", 0x401136ULL);
    ks_facts_add(&t, "signal.name", "SIGSEGV", 7);
    std::string text(t.data, t.length);
    ks_facts_release(&t);

    EXPECT_EQ(text, "signal=11\npc=0x0000000000401136\nsignal.name=SIGSEGV\n");
    size_t n = 0;
    const char *value = ks_facts_find(text.data(), text.size(), "signal", &n);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(value, n), "11");
    EXPECT_EQ(ks_facts_find(text.data(), text.size(), "signa", &n), nullptr);
    EXPECT_EQ(ks_facts_find(text.data(), text.size(), "module", &n), nullptr);
}

TEST(Facts, ReadersTolerateForeignText)
{
    // No newline at the end, lines without "=", malformed escapes, a value cut short.
    std::string text = "junk line\nkey=a\\x4\nother=\\q\\x41\\\nlast=end";
    auto facts = ks_test_facts(text);

    EXPECT_EQ(facts.size(), 3u);
    EXPECT_EQ(facts["key"], "a\\x4");
    EXPECT_EQ(facts["other"], "\\qA\\");
    EXPECT_EQ(facts["last"], "end");

    char small[4];
    EXPECT_EQ(ks_facts_unescape("abcdef", 6, small, sizeof small), 6u);
    EXPECT_STREQ(small, "abc");
}
