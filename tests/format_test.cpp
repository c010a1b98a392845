#include "common/parse.h"

#include "support.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

struct call {
    char value;
    std::string prefix, suffix;
    bool operator==(const call &) const = default;
};

// A value callback with a fixed table of letters; records every call.
struct values {
    std::map<char, std::string> table;
    std::vector<call> calls;
};

char *lookup(char value, const char *literal, const char *suffix, void *cl)
{
    auto *v = static_cast<values *>(cl);

    v->calls.push_back({value, literal, suffix});
    auto found = v->table.find(value);
    if (found == v->table.end())
        return nullptr;
    return strdup((std::string(literal) + found->second + suffix).c_str());
}

ks_format_t *compile(const char *text)
{
    ks_format_t *format = nullptr;
    const char *error = "unset";

    EXPECT_TRUE(ks_format_create(&format, text, "ceaSB", &error)) << text << ": " << error;
    return format;
}

std::string compile_error(const char *text)
{
    ks_format_t *format = nullptr;
    const char *error = "";

    EXPECT_FALSE(ks_format_create(&format, text, "ceaSB", &error)) << text;
    EXPECT_EQ(format, nullptr);
    return error;
}

// Renders with the table; a failed rendering gives {"<null>"}.
std::vector<std::string> render(const char *text, values &v)
{
    ks_format_t *format = compile(text);
    std::vector<std::string> out;
    size_t argc = 12345;

    if (format == nullptr)
        return {"<compile>"};
    char **argv = ks_format_argv(format, lookup, &v, &argc);
    if (argv == nullptr) {
        out = {"<null>"};
        EXPECT_EQ(argc, 12345u) << "argc written on failure";
    } else {
        for (char **p = argv; *p != nullptr; p++)
            out.push_back(*p);
        EXPECT_EQ(argc, out.size());
    }
    ks_format_argv_free(argv);
    ks_format_free(format);
    return out;
}

std::vector<std::string> render(const char *text)
{
    values v{{{'e', "/usr/bin/app"}, {'c', "core 1"}, {'a', "A"}, {'S', "snap"}}, {}};

    return render(text, v);
}

using args = std::vector<std::string>;

} // namespace

TEST(FormatCompile, EntriesHoldPrefixValueAndSuffix)
{
    ks_format_t *format = compile("cmd --file=%e.core -x %c");

    ASSERT_NE(format, nullptr);
    ASSERT_EQ(format->length, 2u);
    EXPECT_EQ(format->argv[0].format, KS_FORMAT_REPLACE);
    EXPECT_STREQ(format->argv[0].literal, "cmd --file=");
    EXPECT_STREQ(format->argv[0].suffix, ".core");
    EXPECT_EQ(format->argv[0].value, 'e');
    EXPECT_EQ(format->argv[1].format, KS_FORMAT_REPLACE);
    EXPECT_STREQ(format->argv[1].literal, "-x ");
    EXPECT_EQ(format->argv[1].suffix, nullptr);
    EXPECT_EQ(format->argv[1].value, 'c');
    ks_format_free(format);
}

TEST(FormatCompile, EmptyTemplateIsOneEmptyLiteral)
{
    ks_format_t *format = compile("");

    ASSERT_NE(format, nullptr);
    ASSERT_EQ(format->length, 1u);
    EXPECT_EQ(format->argv[0].format, KS_FORMAT_LITERAL);
    EXPECT_STREQ(format->argv[0].literal, "");
    ks_format_free(format);
    EXPECT_EQ(render(""), args{""});
}

TEST(FormatCompile, LonePercentAtTheEndFails)
{
    EXPECT_EQ(compile_error("cmd %"), "invalid format string specified");
    EXPECT_EQ(compile_error("%"), "invalid format string specified");
    EXPECT_EQ(compile_error("a %% %e %%%"), "invalid format string specified");
    EXPECT_EQ(render("cmd %%"), args({"cmd", "%%"}));
}

TEST(FormatCompile, AnyLetterCompilesDigitsIncluded)
{
    for (const char *text : {"x %P", "x %1", "x %0", "x %~", "x %\t"}) {
        ks_format_t *format = compile(text);
        ASSERT_NE(format, nullptr) << text;
        EXPECT_EQ(format->argv[0].value, text[3]);
        ks_format_free(format);
    }
}

TEST(FormatCompile, EntryArrayGrowsBy16_48_112)
{
    std::string text;

    for (int i = 0; i < 49; i++)
        text += "%e ";
    ks_format_t *format = compile(text.c_str());
    ASSERT_NE(format, nullptr);
    // 49 placeholders and the empty literal after the last blank.
    EXPECT_EQ(format->length, 50u);
    EXPECT_EQ(format->capacity, 112u);
    ks_format_free(format);

    format = compile("a %e");
    EXPECT_EQ(format->capacity, 16u);
    ks_format_free(format);
}

TEST(FormatRender, SplitsAtBlanks)
{
    EXPECT_EQ(render("cmd -x %e"), args({"cmd", "-x", "/usr/bin/app"}));
    EXPECT_EQ(render("a  b"), args({"a", "", "b"}));
    EXPECT_EQ(render("cmd %e "), args({"cmd", "/usr/bin/app", ""}));
    EXPECT_EQ(render("  cmd"), args({"cmd"}));
    EXPECT_EQ(render("a\tb c"), args({"a\tb", "c"}));
}

TEST(FormatRender, BlanksAfterPlaceholderOrSuffixAreSkipped)
{
    EXPECT_EQ(render("%e   x"), args({"/usr/bin/app", "x"}));
    EXPECT_EQ(render("%e.core   x  y"), args({"/usr/bin/app.core", "x", "", "y"}));
}

TEST(FormatRender, PrefixAndSuffixGoToTheCallback)
{
    values v{{{'e', "E"}}, {}};

    EXPECT_EQ(render("cmd --file=%e.core", v), args({"cmd", "--file=E.core"}));
    EXPECT_EQ(v.calls, std::vector<call>({{'e', "--file=", ".core"}}));
}

TEST(FormatRender, OnlyTheFirstOfAdjacentPlaceholdersExpands)
{
    values v{{{'e', "E"}, {'c', "C"}}, {}};

    EXPECT_EQ(render("%e%c", v), args({"E%c"}));
    EXPECT_EQ(v.calls, std::vector<call>({{'e', "", "%c"}}));
}

TEST(FormatRender, DoublePercentStaysTwoPercentSigns)
{
    EXPECT_EQ(render("100%% %e"), args({"100%%", "/usr/bin/app"}));
}

TEST(FormatRender, BlanksInsideAValueNeverSplitIt)
{
    EXPECT_EQ(render("x %c y"), args({"x", "core 1", "y"}));
}

TEST(FormatRender, UnknownLetterFailsAndReleasesEverything)
{
    // Under AddressSanitizer a leak of the arguments already pushed fails the test.
    EXPECT_EQ(render("a b c d e f %e %P tail"), args{"<null>"});
    EXPECT_EQ(render("%1"), args{"<null>"});
}

TEST(FormatRender, VectorGrowsPastItsFirstCapacity)
{
    std::string text;
    args expected;

    for (int i = 0; i < 300; i++) {
        text += std::to_string(i) + " ";
        expected.push_back(std::to_string(i));
    }
    text += "%e";
    expected.push_back("/usr/bin/app");
    EXPECT_EQ(render(text.c_str()), expected);
}

TEST(FormatRender, ZeroEntriesGiveOnlyTheTerminator)
{
    ks_format_t format = {nullptr, 0, 0};
    values v;
    size_t argc = 99;

    char **argv = ks_format_argv(&format, lookup, &v, &argc);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(argv[0], nullptr);
    EXPECT_EQ(argc, 0u);
    ks_format_argv_free(argv);
}

TEST(FormatRender, ArgcMayBeNullAndRenderingRepeats)
{
    ks_format_t *format = compile("run %e now");
    values v{{{'e', "E"}}, {}};

    for (int i = 0; i < 3; i++) {
        char **argv = ks_format_argv(format, lookup, &v, nullptr);
        ASSERT_NE(argv, nullptr);
        EXPECT_STREQ(argv[0], "run");
        EXPECT_STREQ(argv[1], "E");
        EXPECT_STREQ(argv[2], "now");
        EXPECT_EQ(argv[3], nullptr);
        ks_format_argv_free(argv);
    }
    ks_format_argv_free(nullptr);
    ks_format_free(format);
}

TEST(FormatPrint, EveryArgumentThenABlankThenNewline)
{
    char a[] = "cmd", b[] = "", c[] = "x y";
    char *argv[] = {a, b, c, nullptr};
    char *none[] = {nullptr};
    char *text = nullptr;
    size_t size = 0;

    FILE *fp = open_memstream(&text, &size);
    ks_format_argv_fprint(fp, argv);
    ks_format_argv_fprint(fp, none);
    fclose(fp);
    EXPECT_EQ(std::string(text, size), "cmd  x y \n\n");
    free(text);
}
