// The peer's line parser on its own: numbers, target lists and command shapes.
#include <gtest/gtest.h>

#include <sstream>

#include "KxCliCommand.h"

namespace {

TEST(KxCliCommandTest, NumbersAreDecimalOrHexWithinTheirWidth) {
    const struct {
        const char* text;
        std::uint32_t value;
    } good[] = {{"0", 0}, {"4294967295", 0xFFFFFFFFu}, {"0xFfFf0000", 0xFFFF0000u}, {"007", 7}};
    for (const auto& each : good) {
        std::uint32_t narrow = 1;
        EXPECT_TRUE(KxParseCliNumber(each.text, &narrow)) << each.text;
        EXPECT_EQ(narrow, each.value) << each.text;
    }
    for (const char* bad : {"", "4294967296", "0x100000000", "-1", "+1", "0x", "1a", "0xg", " 1",
                            "1 ", "99999999999999999999999"}) {
        std::uint32_t narrow = 5;
        EXPECT_FALSE(KxParseCliNumber(bad, &narrow)) << bad;
        EXPECT_EQ(narrow, 5u) << bad;
    }
    std::uint64_t wide = 0;
    EXPECT_TRUE(KxParseCliNumber("18446744073709551615", &wide));
    EXPECT_EQ(wide, ~0ull);
    EXPECT_TRUE(KxParseCliNumber("0xFFFFFFFFFFFFFFFF", &wide));
    EXPECT_EQ(wide, ~0ull);
    EXPECT_FALSE(KxParseCliNumber("18446744073709551616", &wide));
    EXPECT_FALSE(KxParseCliNumber("0x10000000000000000", &wide));
}

// The peer scenarios send with codes, "*" and lists; what they do not: blanks, hex ids, repeats.
TEST(KxCliCommandTest, TargetListsKeepOrderRepeatsAndHexIds) {
    KxCliCommand command;
    std::string error;
    ASSERT_TRUE(KxParseCliCommand("  post\t12,0x10,12  1 2 ", &command, &error)) << error;
    EXPECT_EQ(command.kind, KxCliCommand::Kind::kMessage);
    EXPECT_FALSE(command.message.synchronous);
    EXPECT_FALSE(command.message.toAllOthers);
    EXPECT_EQ(command.message.targets, (std::vector<std::uint32_t>{12, 16, 12}));
    EXPECT_EQ(command.message.code, 1u);
    EXPECT_EQ(command.message.param, 2u);
}

TEST(KxCliCommandTest, MalformedLinesAreRejectedWithAReason) {
    // One malformed line between each two bars, the empty line first.
    std::istringstream lines(
        "|   |Send * 1 1|send|send * 1|send * 1 1 1|send ** 1 1|send *,1 1 1|send 1, 1 1|"
        "send ,1 1 1|send 1,,2 1 1|send 4294967296 1 1|send * 4294967296 1|send * 1 x|"
        "send-report * 1|send-report x 1 1|on-sync send-report * 1 1|on-recv * 1 1|"
        "on-recv members|on-sync|on-sync send * 1|members 1|leave now|rejoin x|exit 0|quit");
    for (std::string bad; std::getline(lines, bad, '|');) {
        KxCliCommand command;
        std::string error;
        EXPECT_FALSE(KxParseCliCommand(bad, &command, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
