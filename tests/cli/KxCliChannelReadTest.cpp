// `kxipc members|stat|watch`, `--version` and usage errors, against live channels.
#include <gtest/gtest.h>

#include "KxCliPeer.h"

namespace {

// "ID pid PID kxipc.exe": a peer as the --long forms show it.
std::string LongForm(CKxCliPeer& peer) {
    return peer.IdText() + " pid " + std::to_string(peer.Process().ProcessId()) + " kxipc.exe";
}

TEST(KxCliChannelReadTest, MembersAndStatListALiveChannelWithoutChangingIt) {
    const std::string channel = KxUniqueName("cli");
    CKxCliPeer a(channel);
    ASSERT_TRUE(a.WaitForId());
    CKxCliPeer b(channel);
    ASSERT_TRUE(b.WaitForId());
    const std::string members = "members " + a.IdText() + " " + b.IdText();

    std::string output;
    ASSERT_EQ(KxCliRun({"members", channel}, &output), 0u);
    EXPECT_EQ(output, members + "\n");
    ASSERT_EQ(KxCliRun({"stat", channel}, &output), 0u);
    // The join notice was given back: an empty ring has 397 free words, R == W.
    EXPECT_NE(output.find(members + "\nqueue read "), std::string::npos) << output;
    EXPECT_NE(output.find(" free 397\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("record"), std::string::npos) << output;

    // Looking changed nothing: both are still members and exchange messages.
    EXPECT_TRUE(a.Ask("members", "members " + b.IdText()));
    EXPECT_TRUE(a.Ask("send " + b.IdText() + " 1 2", "ok"));
    EXPECT_TRUE(b.Expect("recv " + a.IdText() + " 1 2"));
    ASSERT_EQ(KxCliRun({"members", channel}, &output), 0u);
    EXPECT_EQ(output, members + "\n");

    // --long: each member with its process and executable.
    const std::string longMembers = "members " + LongForm(a) + " " + LongForm(b) + "\n";
    ASSERT_EQ(KxCliRun({"members", channel, "--long"}, &output), 0u);
    EXPECT_EQ(output, longMembers);
    ASSERT_EQ(KxCliRun({"stat", channel, "--long"}, &output), 0u);
    EXPECT_EQ(output.rfind(longMembers + "queue read ", 0), 0u) << output;
    // A watch with its input left open ends after its --seconds.
    std::unique_ptr<CKxChildProcess> watch =
        CKxChildProcess::Program(KxCliExe(), {"watch", channel, "--seconds", "1"});
    ASSERT_TRUE(watch->WaitForExit(kCliLineTimeoutMs));
    EXPECT_EQ(watch->ExitCode(), 0u);
    std::string line;
    EXPECT_TRUE(watch->WaitForLine("members", kCliLineTimeoutMs, &line)) << watch->Output();
    EXPECT_EQ(line, members);
}

TEST(KxCliChannelReadTest, StatShowsQueuedRecordsAndAKilledRecipientReleasesItsSender) {
    const std::string channel = KxUniqueName("cli");
    CKxCliPeer a(channel);
    ASSERT_TRUE(a.WaitForId());
    // B holds a synchronous message in its handler far longer than this test runs.
    CKxCliPeer b(channel, {"--sync-delay", "60000"});
    ASSERT_TRUE(b.WaitForId());
    CKxCliPeer c(channel);
    ASSERT_TRUE(c.WaitForId());

    a.Tell("send " + b.IdText() + " 11 12");
    ASSERT_TRUE(b.Expect("sync " + a.IdText() + " 11 12")) << b.Output();
    // B's waiting thread is stuck in the handler: this post stays pending for it.
    ASSERT_TRUE(c.Ask("post " + b.IdText() + "," + a.IdText() + " 13 14", "ok"));
    ASSERT_TRUE(a.Expect("recv " + c.IdText() + " 13 14")) << a.Output();

    std::string output;
    ASSERT_EQ(KxCliRun({"stat", channel}, &output), 0u);
    // Records of 1 and 2 recipients: 9 + 11 words in use.
    EXPECT_NE(output.find(" free 377\n"), std::string::npos) << output;
    const std::string sent = "sender " + a.IdText() + " code 11 param 12 key ";
    const size_t first = output.find(sent);
    ASSERT_NE(first, std::string::npos) << output;
    const std::string sentLine = output.substr(first, output.find('\n', first) - first);
    EXPECT_EQ(sentLine.find(" key 0 "), std::string::npos) << "a send carries a key";
    EXPECT_EQ(sentLine.substr(sentLine.find(" to ")), " to " + b.IdText() + ":received") << output;
    const std::string posted = "sender " + c.IdText() + " code 13 param 14 key 0 to " + b.IdText() +
                               ":pending " + a.IdText() + ":acknowledged\n";
    EXPECT_NE(output.find(posted, first), std::string::npos) << output;

    // B dies in the middle of its handler: the others see it end, the first to remove it
    // acknowledges its entries, A's send returns, and the ring is empty again.
    b.Process().Kill();
    EXPECT_TRUE(a.ExpectAll({"quit " + b.IdText(), "ok"})) << a.Output();
    EXPECT_TRUE(c.Expect("quit " + b.IdText())) << c.Output();
    ASSERT_EQ(KxCliRun({"stat", channel}, &output), 0u);
    EXPECT_NE(output.find(" free 397\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("record"), std::string::npos) << output;
    EXPECT_EQ(output.rfind("members " + a.IdText() + " " + c.IdText() + "\n", 0), 0u) << output;
}

// A and B hold each synchronous message far longer than the test runs; C joins and leaves; D joins
// and is killed while A's and B's waiting threads are stuck in handlers, so that nobody removes it
// from the list: only the end of its thread can tell the watch.
TEST(KxCliChannelReadTest, WatchSeesEachJoinAndQuitOnceInOrderEvenBeforeTheListChanges) {
    const std::string channel = KxUniqueName("cli");
    const std::vector<std::string> holding = {"--sync-delay", "60000"};
    CKxCliPeer a(channel, holding);
    ASSERT_TRUE(a.WaitForId());
    std::unique_ptr<CKxChildProcess> watch =
        CKxChildProcess::Program(KxCliExe(), {"watch", channel, "--long"});
    ASSERT_TRUE(watch->WaitForLine("members ", kCliLineTimeoutMs)) << watch->Output();
    CKxCliPeer b(channel, holding);
    ASSERT_TRUE(b.WaitForId());
    ASSERT_TRUE(watch->WaitForLine("join " + b.IdText(), kCliLineTimeoutMs)) << watch->Output();
    CKxCliPeer c(channel);
    ASSERT_TRUE(c.WaitForId());
    ASSERT_TRUE(watch->WaitForLine("join " + c.IdText(), kCliLineTimeoutMs)) << watch->Output();
    ASSERT_TRUE(c.Ask("leave", "left"));
    ASSERT_TRUE(watch->WaitForLine("quit " + c.IdText(), kCliLineTimeoutMs)) << watch->Output();
    CKxCliPeer d(channel);
    ASSERT_TRUE(d.WaitForId());
    ASSERT_TRUE(watch->WaitForLine("join " + d.IdText(), kCliLineTimeoutMs)) << watch->Output();

    a.Tell("send " + b.IdText() + " 1 1");
    ASSERT_TRUE(b.Expect("sync " + a.IdText() + " 1 1"));
    b.Tell("send " + a.IdText() + " 2 2");
    ASSERT_TRUE(a.Expect("sync " + b.IdText() + " 2 2"));
    d.Process().Kill();
    ASSERT_TRUE(watch->WaitForLine("quit " + d.IdText(), kCliLineTimeoutMs)) << watch->Output();
    std::string output;
    ASSERT_EQ(KxCliRun({"members", channel}, &output), 0u);
    EXPECT_EQ(output, "members " + a.IdText() + " " + b.IdText() + " " + d.IdText() + "\n");

    watch->CloseInput();
    ASSERT_TRUE(watch->WaitForExit(kCliLineTimeoutMs));
    EXPECT_EQ(watch->ExitCode(), 0u);
    watch->WaitForLine("\x01never", kCliLineTimeoutMs);  // returns once the output has ended
    EXPECT_EQ(watch->Output(), "members " + LongForm(a) + "\njoin " + LongForm(b) + "\njoin " +
                                   LongForm(c) + "\nquit " + c.IdText() + "\njoin " + LongForm(d) +
                                   "\nquit " + d.IdText() + "\n");
}

TEST(KxCliChannelReadTest, MissingChannelIsAnErrorAndIsNotCreated) {
    const std::string channel = KxUniqueName("cli");
    std::string output;
    EXPECT_EQ(KxCliRun({"members", channel}, &output), 1u);
    EXPECT_EQ(output, "");
    EXPECT_EQ(KxCliRun({"stat", channel}, &output), 1u);
    EXPECT_EQ(output, "");
    EXPECT_EQ(KxCliRun({"watch", channel}, &output), 1u);
    EXPECT_EQ(output, "");

    // Only the channel mutex exists (held open here): an inspector that created what is missing
    // would find an empty channel instead of reporting none.
    HANDLE mutex = CreateMutexA(nullptr, FALSE /*bInitialOwner*/, (channel + "_Mutex").c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(KxCliRun({"members", channel}, &output), 1u);
    EXPECT_EQ(output, "");
    EXPECT_EQ(KxCliRun({"stat", channel}, &output), 1u);
    EXPECT_EQ(KxCliRun({"watch", channel}, &output), 1u);
    // Nor did it leave the segments behind for a later joiner to find.
    HANDLE ids =
        OpenFileMappingA(FILE_MAP_READ, FALSE /*bInheritHandle*/,
                         ("TKxInterProcessGrowArray" + channel + "_Participant_IDs_Array").c_str());
    EXPECT_EQ(ids, nullptr);
    if (ids) CloseHandle(ids);
    // The mutex it opened was given back: a peer can join the channel now.
    {
        CKxCliPeer peer(channel);
        EXPECT_TRUE(peer.WaitForId());
        ASSERT_EQ(KxCliRun({"members", channel}, &output), 0u);
        EXPECT_EQ(output, "members " + peer.IdText() + "\n");
    }
    CloseHandle(mutex);
}

TEST(KxCliChannelReadTest, VersionAndUsageErrors) {
    std::string output;
    EXPECT_EQ(KxCliRun({"--version"}, &output), 0u);
    EXPECT_EQ(output, "kxipc 1.0.0\n");
    const std::vector<std::vector<std::string>> usageErrors = {
        {},
        {"join"},
        {"frobnicate", "x"},
        {"members"},
        {"stat", "a", "b"},
        {"join", "x", "--sync-delay"},
        {"join", "x", "--sync-delay", "soon"},
        {"join", "x", "--unknown"},
        {"--version", "x"},
        {"watch"},
        {"watch", "x", "--seconds"},
        {"watch", "x", "--seconds", "soon"},
        {"members", "x", "--seconds", "1"},
        {"join", "x", "--long"},
    };
    for (const std::vector<std::string>& args : usageErrors) {
        std::string joined;
        for (const std::string& arg : args) joined += arg + " ";
        EXPECT_EQ(KxCliRun(args, &output), 2u) << joined;
        EXPECT_EQ(output, "") << joined;
    }
}

}  // namespace
