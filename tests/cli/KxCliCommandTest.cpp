// The peer's line parser on its own: numbers, target lists and command shapes.
#include <gtest/gtest.h>

#include <limits>

#include "KxCliCommand.h"

namespace {

TEST(KxCliCommandTest, NumbersAreDecimalOrHexWithinTheirWidth) {
    std::uint32_t narrow = 1;
    EXPECT_TRUE(KxParseCliNumber("0", &narrow));
    EXPECT_EQ(narrow, 0u);
    EXPECT_TRUE(KxParseCliNumber("4294967295", &narrow));
    EXPECT_EQ(narrow, 0xFFFFFFFFu);
    EXPECT_TRUE(KxParseCliNumber("0xFfFf0000", &narrow));
    EXPECT_EQ(narrow, 0xFFFF0000u);
    EXPECT_TRUE(KxParseCliNumber("007", &narrow));
    EXPECT_EQ(narrow, 7u);
    for (const char* bad : {"", "4294967296", "0x100000000", "-1", "+1", "0x", "1a", "0xg", " 1",
                            "1 ", "99999999999999999999999"}) {
        narrow = 5;
        EXPECT_FALSE(KxParseCliNumber(bad, &narrow)) << bad;
        EXPECT_EQ(narrow, 5u) << bad;
    }
    std::uint64_t wide = 0;
    EXPECT_TRUE(KxParseCliNumber("18446744073709551615", &wide));
    EXPECT_EQ(wide, std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(KxParseCliNumber("0xFFFFFFFFFFFFFFFF", &wide));
    EXPECT_EQ(wide, std::numeric_limits<std::uint64_t>::max());
    EXPECT_FALSE(KxParseCliNumber("18446744073709551616", &wide));
    EXPECT_FALSE(KxParseCliNumber("0x10000000000000000", &wide));
}

TEST(KxCliCommandTest, MessagesCarryTargetsCodeAndParam) {
    KxCliCommand command;
    std::string error;
    ASSERT_TRUE(KxParseCliCommand("send * 0x10 42", &command, &error)) << error;
    EXPECT_EQ(command.kind, KxCliCommand::Kind::kMessage);
    EXPECT_TRUE(command.message.synchronous);
    EXPECT_TRUE(command.message.toAllOthers);
    EXPECT_TRUE(command.message.targets.empty());
    EXPECT_EQ(command.message.code, 16u);
    EXPECT_EQ(command.message.param, 42u);

    // A target list keeps its order and repeats (the library delivers twice).
    ASSERT_TRUE(KxParseCliCommand("  post\t12,0x10,12  1 2 ", &command, &error)) << error;
    EXPECT_FALSE(command.message.synchronous);
    EXPECT_FALSE(command.message.toAllOthers);
    EXPECT_EQ(command.message.targets, (std::vector<std::uint32_t>{12, 16, 12}));

    ASSERT_TRUE(KxParseCliCommand("send-report 4,5 6 7", &command, &error)) << error;
    EXPECT_EQ(command.kind, KxCliCommand::Kind::kSendReport);
    EXPECT_TRUE(command.message.synchronous);
    EXPECT_EQ(command.message.targets, (std::vector<std::uint32_t>{4, 5}));
    EXPECT_EQ(command.message.param, 7u);

    ASSERT_TRUE(KxParseCliCommand("on-recv send 4 5 6", &command, &error)) << error;
    EXPECT_EQ(command.kind, KxCliCommand::Kind::kOnRecv);
    EXPECT_TRUE(command.message.synchronous);
    EXPECT_EQ(command.message.targets, (std::vector<std::uint32_t>{4}));
    ASSERT_TRUE(KxParseCliCommand("on-sync post * 5 6", &command, &error)) << error;
    EXPECT_EQ(command.kind, KxCliCommand::Kind::kOnSync);
    EXPECT_FALSE(command.message.synchronous);
    EXPECT_TRUE(command.message.toAllOthers);
}

TEST(KxCliCommandTest, MalformedLinesAreRejectedWithAReason) {
    for (const char* bad : {"",
                            "   ",
                            "Send * 1 1",
                            "send",
                            "send * 1",
                            "send * 1 1 1",
                            "send ** 1 1",
                            "send *,1 1 1",
                            "send 1, 1 1",
                            "send ,1 1 1",
                            "send 1,,2 1 1",
                            "send 4294967296 1 1",
                            "send * 4294967296 1",
                            "send * 1 x",
                            "send-report * 1",
                            "send-report x 1 1",
                            "on-sync send-report * 1 1",
                            "on-recv * 1 1",
                            "on-recv members",
                            "on-sync",
                            "on-sync send * 1",
                            "members 1",
                            "leave now",
                            "rejoin x",
                            "exit 0",
                            "quit"}) {
        KxCliCommand command;
        std::string error;
        EXPECT_FALSE(KxParseCliCommand(bad, &command, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    const struct {
        const char* line;
        KxCliCommand::Kind kind;
    } bare[] = {{"members", KxCliCommand::Kind::kMembers},
                {"leave", KxCliCommand::Kind::kLeave},
                {"rejoin", KxCliCommand::Kind::kRejoin},
                {"exit", KxCliCommand::Kind::kExit}};
    for (const auto& each : bare) {
        KxCliCommand command;
        std::string error;
        EXPECT_TRUE(KxParseCliCommand(each.line, &command, &error)) << each.line;
        EXPECT_EQ(command.kind, each.kind) << each.line;
    }
}

}  // namespace
