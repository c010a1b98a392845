#include "libqu/src/error.h"
#include "libqu/src/lstr.h"
#include "libqu/src/os.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

static std::vector<std::string> entries(const qu_env &env)
{
    std::vector<std::string> list;

    for (size_t i = 0; i < env.count; i++)
        list.push_back(env.envp[i]);
    EXPECT_EQ(env.envp[env.count], nullptr);
    return list;
}

static qu_env copy_of(std::vector<const char *> source)
{
    qu_env env;

    source.push_back(nullptr);
    EXPECT_EQ(qu_env_init_from_copy(&env, const_cast<char **>(source.data())), QU_ERR_NONE);
    return env;
}

TEST(QuEnv, CopyOfTheProcessEnvironment)
{
    qu_env env;
    const char *value;
    size_t size;

    setenv("KS_QU_ENV_PROBE", "probe value", 1);
    ASSERT_EQ(qu_env_init(&env), QU_ERR_NONE);
    ASSERT_EQ(qu_env_find_kv(&env, "KS_QU_ENV_PROBE", -1, &value, &size), QU_ERR_NONE);
    EXPECT_EQ(std::string(value, size), "probe value");
    // The block is a copy: editing it leaves the process alone.
    ASSERT_EQ(qu_env_set_kv(&env, "KS_QU_ENV_PROBE", -1, "x", -1), QU_ERR_NONE);
    EXPECT_STREQ(getenv("KS_QU_ENV_PROBE"), "probe value");
    qu_env_deinit(&env);
}

TEST(QuEnv, EmptyBlockGrowsOnSet)
{
    qu_env env = copy_of({});

    EXPECT_EQ(env.count, 0u);
    EXPECT_EQ(env.envp[0], nullptr);
    ASSERT_EQ(qu_env_set_kv(&env, "A", -1, "1", -1), QU_ERR_NONE);
    EXPECT_EQ(entries(env), std::vector<std::string>{"A=1"});
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(qu_env_set_kv(&env, ("K" + std::to_string(i)).c_str(), -1, "v", -1), QU_ERR_NONE);
    EXPECT_EQ(env.count, 21u);
    EXPECT_GE(env.capacity, env.count);
    qu_env_deinit(&env);
}

TEST(QuEnv, SetReplacesAndMovesToTheEnd)
{
    qu_env env = copy_of({"A=1", "B=2"});

    ASSERT_EQ(qu_env_set_kv(&env, "A", -1, "3", -1), QU_ERR_NONE);
    EXPECT_EQ(entries(env), (std::vector<std::string>{"B=2", "A=3"}));
    ASSERT_EQ(qu_env_del_kv(&env, "B", -1), QU_ERR_NONE);
    EXPECT_EQ(entries(env), std::vector<std::string>{"A=3"});
    EXPECT_EQ(qu_env_del_kv(&env, "B", -1), QU_ERR_NOT_FOUND);
    qu_env_deinit(&env);
}

TEST(QuEnv, KeysMatchExactlyByLength)
{
    qu_env env = copy_of({"AB=1", "E="});
    const char *value = nullptr;
    size_t size = 99;

    EXPECT_EQ(qu_env_find_kv(&env, "A", -1, &value, &size), QU_ERR_NOT_FOUND);
    EXPECT_EQ(qu_env_find_kv(&env, "ab", -1, &value, &size), QU_ERR_NOT_FOUND);
    EXPECT_EQ(qu_env_find_kv(&env, "ABC", 2, &value, &size), QU_ERR_NONE);
    EXPECT_STREQ(value, "1");
    ASSERT_EQ(qu_env_find_kv(&env, "E", -1, &value, &size), QU_ERR_NONE);
    EXPECT_EQ(size, 0u);
    EXPECT_STREQ(value, "");
    // A size shorter than the text searches only its prefix.
    ASSERT_EQ(qu_env_set_kv(&env, "AX", 1, "value and more", 5), QU_ERR_NONE);
    EXPECT_EQ(entries(env).back(), "A=value");
    qu_env_deinit(&env);
}

TEST(QuEnv, EntryWithoutEqualsSignPoisonsLaterKeys)
{
    qu_env env = copy_of({"A=1", "BROKEN", "C=3"});
    const char *value;
    size_t size;

    EXPECT_EQ(qu_env_find_kv(&env, "A", -1, &value, &size), QU_ERR_NONE);
    EXPECT_EQ(qu_env_find_kv(&env, "C", -1, &value, &size), QU_ERR_INVALID_ENVIRON);
    EXPECT_EQ(qu_env_set_kv(&env, "C", -1, "4", -1), QU_ERR_INVALID_ENVIRON);
    EXPECT_EQ(qu_env_del_kv(&env, "C", -1), QU_ERR_INVALID_ENVIRON);
    EXPECT_EQ(entries(env), (std::vector<std::string>{"A=1", "BROKEN", "C=3"}));
    qu_env_deinit(&env);
}

TEST(QuEnv, ValueIsCutAtAnEmbeddedNul)
{
    qu_env env = copy_of({});
    const char value[] = {'a', 'b', '\0', 'c'};

    ASSERT_EQ(qu_env_set_kv(&env, "K", -1, value, sizeof value), QU_ERR_NONE);
    EXPECT_EQ(entries(env), std::vector<std::string>{"K=ab"});
    qu_env_deinit(&env);
}

TEST(QuLstr, ComparisonsOnLengths)
{
    EXPECT_TRUE(qu_lstr_eql("abc", 3, "abcd", 3));
    EXPECT_FALSE(qu_lstr_eql("abc", 3, "abcd", 4));
    EXPECT_TRUE(qu_lstr_eql(nullptr, 0, "", 0));
    EXPECT_TRUE(qu_lstr_ends_with("abc", 3, "bc", 2));
    EXPECT_FALSE(qu_lstr_ends_with("c", 1, "bc", 2));
    EXPECT_TRUE(qu_lstr_starts_with("abc", 3, "ab", 2));
    EXPECT_FALSE(qu_lstr_starts_with("a", 1, "ab", 2));
    EXPECT_TRUE(qu_lstr_starts_with("abc", 3, "", 0));
    EXPECT_TRUE(qu_lstr_ends_with("", 0, "", 0));

    char *copy = qu_lstr_dup("hello world", 5);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "hello");
    free(copy);
    EXPECT_EQ(qu_lstr_dup("x", SIZE_MAX), nullptr);
}

TEST(QuError, MessagesAndOutOfRange)
{
    EXPECT_STREQ(qu_error_str(QU_ERR_NONE), "no error");
    EXPECT_STREQ(qu_error_str(QU_ERR_SYS_RESOURCES), "system resources unavailable");
    EXPECT_STREQ(qu_error_str(QU_ERR_FILE_NOT_FOUND), "file not found");
    EXPECT_STREQ(qu_error_str(QU_ERR_TOO_BIG), "too big");
    EXPECT_STREQ(qu_error_str(QU_ERR_INVALID_STATE), "invalid state");
    EXPECT_DEATH(qu_error_str(static_cast<qu_error>(16)), "");
    EXPECT_DEATH(qu_error_str(static_cast<qu_error>(-1)), "");
}
