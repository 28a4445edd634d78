// `kxipc members|stat|watch` against live channels, and the refusals of bad arguments, bad channel
// names and a full channel.
#include <gtest/gtest.h>

#include <sstream>

#include "CKxMutex.h"
#include "CKxSharedMemory.h"
#include "KxCliPeer.h"
#include "KxCountingParticipant.h"

namespace {

const size_t npos = std::string::npos;

// "ID pid PID kxipc.exe": a peer as the --long forms show it (the program's file name).
std::string LongForm(CKxCliScenario& run, const std::string& name) {
    return run.Substitute("$" + name) + " pid " + std::to_string(run.Peer(name)->ProcessId()) +
           " " + KxSiblingProgram("kxipc").substr(KxBinaryDir().size());
}

TEST(KxCliChannelReadTest, MembersAndStatListALiveChannelWithoutChangingIt) {
    CKxCliScenario run;
    ASSERT_TRUE(run.Run({"peers A B"}));
    const std::string channel = run.Channel(), members = run.Substitute("members $A $B");
    std::string output;
    ASSERT_EQ(KxCliRun({"members", channel}, &output), 0u);
    EXPECT_EQ(output, members + "\n");
    ASSERT_EQ(KxCliRun({"stat", channel}, &output), 0u);
    // The join notice was given back: an empty ring has 397 free words, R == W.
    EXPECT_NE(output.find(members + "\nqueue read "), npos) << output;
    EXPECT_NE(output.find(" free 397\n"), npos) << output;
    EXPECT_EQ(output.find("record"), npos) << output;
    // Looking changed nothing: both are still the members and exchange messages.
    EXPECT_TRUE(run.Run({"A: send $B 1 2 -> ok"}));

    // --long: each member with its process and executable.
    const std::string longMembers = "members " + LongForm(run, "A") + " " + LongForm(run, "B");
    ASSERT_EQ(KxCliRun({"members", channel, "--long"}, &output), 0u);
    EXPECT_EQ(output, longMembers + "\n");
    ASSERT_EQ(KxCliRun({"stat", channel, "--long"}, &output), 0u);
    EXPECT_EQ(output.rfind(longMembers + "\nqueue read ", 0), 0u) << output;
    // A watch with its input left open ends after its --seconds.
    EXPECT_TRUE(run.Run({"args W --seconds 1", "watch W", "W exits 0", "W> members $A $B"}));
}

TEST(KxCliChannelReadTest, StatShowsQueuedRecordsAndAKilledRecipientReleasesItsSender) {
    CKxCliScenario run;
    // B holds a synchronous message in its handler far longer than this test runs; its waiting
    // thread stuck there, C's post stays pending for it.
    ASSERT_TRUE(run.Run({"args B --sync-delay 60000", "peers A B C", "A: send $B 11 12",
                         "B> sync $A 11 12", "C: post $B,$A 13 14 -> ok", "A> recv $C 13 14"}));
    std::string output;
    ASSERT_EQ(KxCliRun({"stat", run.Channel()}, &output), 0u);
    // Records of 1 and 2 recipients: 9 + 11 words in use.
    EXPECT_NE(output.find(" free 377\n"), npos) << output;
    const size_t first = output.find(run.Substitute("sender $A code 11 param 12 key "));
    ASSERT_NE(first, npos) << output;
    const std::string sentLine = output.substr(first, output.find('\n', first) - first);
    EXPECT_EQ(sentLine.find(" key 0 "), npos) << "a send carries a key";
    EXPECT_EQ(sentLine.substr(sentLine.find(" to ")), run.Substitute(" to $B:received")) << output;
    EXPECT_NE(output.find(run.Substitute("sender $C code 13 param 14 key 0 to $B:pending "
                                         "$A:acknowledged\n"),
                          first),
              npos)
        << output;

    // B dies in the middle of its handler: the first to remove it acknowledges its entries, A's
    // send returns, and the ring is empty again.
    ASSERT_TRUE(run.Run({"B kill", "C> quit $B", "A> ok"}));
    ASSERT_EQ(KxCliRun({"stat", run.Channel()}, &output), 0u);
    EXPECT_NE(output.find(" free 397\n"), npos) << output;
    EXPECT_EQ(output.find("record"), npos) << output;
    EXPECT_EQ(output.rfind(run.Substitute("members $A $C\n"), 0), 0u) << output;
}

// A and B hold each synchronous message far longer than the test runs; C joins and leaves; D joins
// and is killed while A's and B's waiting threads are stuck in handlers, so that nobody removes it
// from the list: only the end of its thread can tell the watch.
TEST(KxCliChannelReadTest, WatchSeesEachJoinAndQuitOnceInOrderEvenBeforeTheListChanges) {
    CKxCliScenario run;
    ASSERT_TRUE(run.Run({"args A --sync-delay 60000",
                         "args B --sync-delay 60000",
                         "peers A",
                         "args W --long",
                         "watch W",
                         "W> members ...",
                         "peers B",
                         "W> join $B ...",
                         "peers C",
                         "W> join $C ...",
                         "C: leave -> left",
                         "W> quit $C",
                         "join D",
                         "D> id $D",
                         "W> join $D ...",
                         "A: send $B 1 1",
                         "B> sync $A 1 1",
                         "B: send $A 2 2",
                         "A> sync $B 2 2",
                         "D kill",
                         "W> quit $D"}));
    std::string output;
    ASSERT_EQ(KxCliRun({"members", run.Channel()}, &output), 0u);
    EXPECT_EQ(output, run.Substitute("members $A $B $D\n"));

    ASSERT_TRUE(run.Run({"W close", "W exits 0"}));  // the exit waits for the output's end
    EXPECT_EQ(run.Peer("W")->Output(), "members " + LongForm(run, "A") + "\njoin " +
                                           LongForm(run, "B") + "\njoin " + LongForm(run, "C") +
                                           run.Substitute("\nquit $C") + "\njoin " +
                                           LongForm(run, "D") + run.Substitute("\nquit $D\n"));
}

TEST(KxCliChannelReadTest, MissingChannelIsAnErrorAndIsNotCreated) {
    const std::string channel = KxUniqueName("cli");
    std::string output;
    const auto expectRefusedByAll = [&] {
        for (const char* verb : {"members", "stat", "watch"}) {
            EXPECT_EQ(KxCliRun({verb, channel}, &output), 1u) << verb;
            EXPECT_EQ(output, "") << verb;
        }
    };
    expectRefusedByAll();

    // Only the channel mutex exists (held open here): an inspector that created what is missing
    // would find an empty channel instead of reporting none.
    CKxMutex mutex(channel + "_Mutex");
    expectRefusedByAll();
    // Nor did it leave the segments behind for a later joiner to find.
    char first = 0;
    bool exists = true;
    CKxSharedMemory::CopyExisting("TKxInterProcessGrowArray" + channel + "_Participant_IDs_Array",
                                  &first, 1, &exists);
    EXPECT_FALSE(exists);
    // The mutex it opened was given back: a peer can join the channel now.
    {
        CKxCliScenario run(channel);
        EXPECT_TRUE(run.Run({"peers P"}));
        ASSERT_EQ(KxCliRun({"members", channel}, &output), 0u);
        EXPECT_EQ(output, run.Substitute("members $P\n"));
    }
}

TEST(KxCliChannelReadTest, UsageErrorsPrintNothingOnStdout) {
    for (const char* usageError :
         {"", "join", "frobnicate x", "members", "stat a b", "join x --sync-delay",
          "join x --sync-delay soon", "join x --unknown", "--version x", "watch",
          "watch x --seconds", "watch x --seconds soon", "members x --seconds 1", "join x --long",
          "clean x"}) {
        std::istringstream words(usageError);
        std::vector<std::string> args;
        for (std::string word; words >> word;) args.push_back(word);
        std::string output;
        EXPECT_EQ(KxCliRun(args, &output), 2u) << usageError;
        EXPECT_EQ(output, "") << usageError;
    }
    // Windows removes a named object with its last handle; elsewhere clean counts what it removed.
    std::string output;
    EXPECT_EQ(KxCliRun({"clean"}, &output), 0u);
#if defined(_WIN32)
    EXPECT_EQ(output, "nothing to clean: named objects go with their last handle here\n");
#else
    EXPECT_EQ(output.rfind("removed ", 0), 0u) << output;
#endif
}

// A name the platform would reject is refused before anything is tried, saying why; the longest
// name that every derived object name can hold works.
TEST(KxCliChannelReadTest, BadChannelNamesAreRefusedSayingWhy) {
    std::string longest = KxUniqueName("cli");
    longest.resize(208, 'x');
    const struct {
        std::string name, why;
    } badNames[] = {{"a\\b", "backslash"}, {longest + "x", "at most 208 characters"}};
    for (const auto& badName : badNames) {
        for (const char* verb : {"join", "members"}) {
            std::string output;
            EXPECT_EQ(KxCliRun({verb, badName.name}, &output, true /*withErrors*/), 1u) << verb;
            EXPECT_EQ(output.rfind("error: ", 0), 0u) << output;
            EXPECT_NE(output.find(badName.why), std::string::npos) << output;
        }
    }
    EXPECT_TRUE(CKxCliScenario(longest).Run({"peers P"}));
}

TEST(KxCliChannelReadTest, FiftyFirstPeerIsRefusedAtOnceSayingTheChannelIsFull) {
    const std::string channel = KxUniqueName("full");
    std::vector<std::unique_ptr<CKxCountingParticipant>> members;
    for (int i = 0; i < 50; ++i) {
        members.emplace_back(new CKxCountingParticipant(channel.c_str()));
        members.back()->InitializeParticipant();
    }
    CKxCountingParticipant fiftyFirst(channel.c_str());
    const unsigned long long start = KxNowMs();
    EXPECT_THROW(fiftyFirst.InitializeParticipant(), CKxChannelFullException);
    EXPECT_LT(KxNowMs() - start, 1000u);

    std::string output;
    EXPECT_EQ(KxCliRun({"join", channel}, &output, true /*withErrors*/), 1u);
    EXPECT_EQ(output, "error: channel " + channel + " is full (50 members)\n");
}

}  // namespace
