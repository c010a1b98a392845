#include "common/array.h"

#include <cstdlib>
#include <gtest/gtest.h>

TEST(Array, GrowsByDoublingAndKeepsValues)
{
    ks_array_t *a = nullptr;
    int v[9];

    ASSERT_TRUE(ks_array_init(&a, 4));
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(ks_array_append_offset(&a, &v[i]), i);
    EXPECT_EQ(a->capacity, 4u);
    ASSERT_TRUE(ks_array_append(&a, &v[4]));
    EXPECT_EQ(a->capacity, 8u);
    EXPECT_EQ(ks_array_length(a), 5u);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(a->value[i], &v[i]);
    ks_array_deinit(&a);
    EXPECT_EQ(a, nullptr);
}

TEST(Array, EmptyCapacityStillGrows)
{
    ks_array_t *a = nullptr;
    int x, y;

    ASSERT_TRUE(ks_array_init(&a, 0));
    ASSERT_EQ(ks_array_append_offset(&a, &x), 0);
    EXPECT_GE(a->capacity, 1u);
    ASSERT_TRUE(ks_array_remove(a, &x));
    ASSERT_TRUE(ks_array_compact(&a));
    EXPECT_EQ(a->capacity, 0u);
    ASSERT_TRUE(ks_array_append(&a, &y));
    EXPECT_EQ(a->value[0], &y);
    ks_array_deinit(&a);
}

TEST(Array, RemovalMovesTheLastValueIntoTheGap)
{
    ks_array_t *a = nullptr;
    int A, B, C;

    ASSERT_TRUE(ks_array_init(&a, 4));
    for (int *p : {&A, &B, &C})
        ks_array_append(&a, p);
    ASSERT_TRUE(ks_array_remove(a, &B));
    ASSERT_EQ(a->length, 2u);
    EXPECT_EQ(a->value[0], &A);
    EXPECT_EQ(a->value[1], &C);

    ASSERT_TRUE(ks_array_replace_at(a, 1, &B));
    ks_array_append(&a, &C); // [A, B, C]
    ASSERT_TRUE(ks_array_remove(a, &A)); // [C, B]
    EXPECT_EQ(a->value[0], &C);
    EXPECT_EQ(a->value[1], &B);

    ASSERT_TRUE(ks_array_remove_at(a, 1)); // last slot is cleared
    EXPECT_EQ(a->length, 1u);
    EXPECT_EQ(a->value[1], nullptr);

    EXPECT_FALSE(ks_array_remove_at(a, 1));
    EXPECT_FALSE(ks_array_remove(a, &B));
    EXPECT_EQ(a->length, 1u);
    ks_array_deinit(&a);
}

TEST(Array, ReplaceCopyAndCompact)
{
    ks_array_t *a = nullptr, *b = nullptr;
    int v[6];

    ASSERT_TRUE(ks_array_init(&a, 2));
    ASSERT_TRUE(ks_array_init(&b, 4));
    ks_array_append(&a, &v[0]);
    for (int i = 1; i < 5; i++)
        ks_array_append(&b, &v[i]);

    EXPECT_TRUE(ks_array_replace_at(b, 3, &v[5]));
    EXPECT_FALSE(ks_array_replace_at(b, 4, &v[0]));

    ASSERT_TRUE(ks_array_memcpy(&a, b));
    ASSERT_EQ(a->length, 5u);
    EXPECT_EQ(a->capacity, 5u);
    EXPECT_EQ(a->value[0], &v[0]);
    EXPECT_EQ(a->value[4], &v[5]);
    EXPECT_EQ(b->length, 4u);

    ks_array_append(&a, &v[1]); // capacity 10, length 6
    ASSERT_TRUE(ks_array_compact(&a));
    EXPECT_EQ(a->capacity, 6u);
    EXPECT_TRUE(ks_array_compact(&a));

    ks_array_deinit(&a);
    ks_array_deinit(&b);
    ks_array_deinit(nullptr);
}

TEST(Array, AppendingAnArrayToItselfDoublesIt)
{
    ks_array_t *a = nullptr;
    int v[4];

    ASSERT_TRUE(ks_array_init(&a, 4));
    // Something right behind the block, so that growing it has to move it.
    void *behind = malloc(sizeof(ks_array_t) + 4 * sizeof(void *));
    for (int &x : v)
        ASSERT_TRUE(ks_array_append(&a, &x));

    ASSERT_TRUE(ks_array_memcpy(&a, a));
    ASSERT_EQ(a->length, 8u);
    for (unsigned int i = 0; i < 8; i++)
        EXPECT_EQ(a->value[i], &v[i % 4]) << i;

    // With room to spare nothing moves, and the copy is the same.
    ks_array_deinit(&a);
    ASSERT_TRUE(ks_array_init(&a, 16));
    ASSERT_TRUE(ks_array_append(&a, &v[0]));
    ASSERT_TRUE(ks_array_memcpy(&a, a));
    ASSERT_EQ(a->length, 2u);
    EXPECT_EQ(a->value[1], &v[0]);
    free(behind);
    ks_array_deinit(&a);
}
