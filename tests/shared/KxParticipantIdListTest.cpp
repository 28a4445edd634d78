// The participant-identifier list on a plain buffer: join order, limits, removal, bad counts.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "KxParticipantIdList.h"

namespace {

constexpr std::uint32_t kGuard = 0xDEADBEEF;

// The 51 elements and one guard word behind them.
struct IdBuffer {
    IdBuffer() : words(52, kGuard), list(words.data()) { list.Initialize(); }
    std::vector<std::uint32_t> words;
    CKxParticipantIdList list;
};

}  // namespace

TEST(KxParticipantIdList, AddKeepsJoinOrderAndRefusesDuplicatesAndA51st) {
    IdBuffer b;
    EXPECT_EQ(0u, b.list.Count());
    for (std::uint32_t id = 100; id < 150; ++id) ASSERT_TRUE(b.list.Add(id)) << id;
    EXPECT_EQ(50u, b.words[0]);
    EXPECT_EQ(149u, b.words[50]);
    EXPECT_FALSE(b.list.Add(150));
    EXPECT_FALSE(b.list.Add(120));
    EXPECT_EQ(kGuard, b.words[51]);
    EXPECT_EQ(50u, b.list.Count());

    IdBuffer small;
    ASSERT_TRUE(small.list.Add(7));
    EXPECT_FALSE(small.list.Add(7));
    ASSERT_TRUE(small.list.Add(9));
    std::uint32_t position = 99;
    EXPECT_TRUE(small.list.Find(9, &position));
    EXPECT_EQ(1u, position);
    EXPECT_TRUE(small.list.Find(7, nullptr));
    EXPECT_FALSE(small.list.Find(8, &position));
    EXPECT_EQ(7u, small.list.At(0));
    EXPECT_EQ(9u, small.list.At(1));
    EXPECT_EQ(0u, small.list.At(2));
}

TEST(KxParticipantIdList, RemoveMovesSuccessorsDownAndLastElementKeepsItsValue) {
    IdBuffer b;
    for (std::uint32_t id : {11u, 22u, 33u, 44u}) ASSERT_TRUE(b.list.Add(id));
    ASSERT_TRUE(b.list.Remove(22));
    EXPECT_EQ((std::vector<std::uint32_t>{3, 11, 33, 44, 44}),
              std::vector<std::uint32_t>(b.words.begin(), b.words.begin() + 5));
    EXPECT_FALSE(b.list.Remove(22));
    EXPECT_FALSE(b.list.Find(22, nullptr));
    ASSERT_TRUE(b.list.Remove(44));  // the last: only the count drops
    EXPECT_EQ((std::vector<std::uint32_t>{2, 11, 33, 44, 44}),
              std::vector<std::uint32_t>(b.words.begin(), b.words.begin() + 5));
    ASSERT_TRUE(b.list.Add(55));
    EXPECT_EQ(55u, b.words[3]);

    // A full list: the 50th slot moves down and the guard behind stays untouched.
    IdBuffer full;
    for (std::uint32_t id = 1; id <= 50; ++id) ASSERT_TRUE(full.list.Add(id));
    ASSERT_TRUE(full.list.Remove(1));
    EXPECT_EQ(50u, full.list.At(48));
    EXPECT_EQ(kGuard, full.words[51]);
}

TEST(KxParticipantIdList, CountAbove50MakesTheListEmptyAndUnchangeable) {
    for (std::uint32_t bad : {51u, 1000u, 0xFFFFFFFFu}) {
        IdBuffer b;
        for (std::uint32_t i = 0; i < 51; ++i) b.words[i] = 5;  // 5 everywhere, count included
        b.words[0] = bad;
        const std::vector<std::uint32_t> before = b.words;
        EXPECT_FALSE(b.list.IsValid());
        EXPECT_EQ(0u, b.list.Count());
        EXPECT_FALSE(b.list.Find(5, nullptr));
        EXPECT_EQ(0u, b.list.At(0));
        EXPECT_FALSE(b.list.Add(6));
        EXPECT_FALSE(b.list.Remove(5));
        EXPECT_EQ(before, b.words) << bad;
    }
}
