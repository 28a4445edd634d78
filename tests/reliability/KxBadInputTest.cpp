// Bad input at every public entry point of the participant: odd channel names, impossible
// recipient lists, strangers' identifiers, calls in the wrong state. Each is refused cleanly
// (false, nothing, or the documented exception), and nothing is lost: no handle stays open, nothing
// stays queued, and the participant and its channel work normally afterwards.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KxChannelReads.h"
#include "KxCountingParticipant.h"
#include "KxExceptions.h"
#include "KxLiveness.h"
#include "KxProcessUsage.h"
#include "KxTestHarness.h"

namespace {

// A participant that could not open its channel is left as it was: never initialised.
void ExpectUninitialized(CKxCountingParticipant* participant) {
    const unsigned int anyone = KxCurrentThreadId();
    EXPECT_FALSE(participant->SendIPMessage(1, &anyone, 1, 1));
    EXPECT_FALSE(participant->PostIPMessage(1, &anyone, 1, 1));
    EXPECT_FALSE(participant->SendIPMessage(0, nullptr, 1, 1));
    participant->UninitializeParticipant();
}

// Each name either makes a working channel or makes InitializeParticipant throw an exception of
// the library's family, leaving the participant uninitialised and usable with a good name.
TEST(BadInputTest, OddChannelNamesWorkOrRefuseWithoutLeaking) {
    const std::string longName(300, 'n');        // beyond the 128-byte name buffers and MAX_PATH
    const std::string veryLongName(40000, 'v');  // beyond what the kernel accepts as a name
    const std::string backslash = KxUniqueName("back") + "\\slash";
    const std::string nested = KxUniqueName("a") + "\\b\\c";
    const char* names[] = {
        nullptr, "", longName.c_str(), veryLongName.c_str(), backslash.c_str(), nested.c_str()};
    const std::string good = KxUniqueName("good");
    const auto tryAll = [&] {
        for (const char* name : names) {
            CKxCountingParticipant participant(name);
            try {
                participant.InitializeParticipant();
            } catch (const CKxBaseException& failure) {
                EXPECT_FALSE(failure.GetErrorMessage().empty());
                ExpectUninitialized(&participant);
                // The same object with a good name starts normally.
                static_cast<CkxIPCParticipant&>(participant) = CKxCountingParticipant(good.c_str());
                name = good.c_str();
                participant.InitializeParticipant();
            }
            CKxCountingParticipant peer(name);
            peer.InitializeParticipant();
            const unsigned int to = peer.GetParticipantID();
            EXPECT_TRUE(participant.SendIPMessage(1, &to, 1, 77));
            EXPECT_EQ(77u, peer.lastParam.load());
            peer.UninitializeParticipant();
            participant.UninitializeParticipant();
        }
    };
    tryAll();  // warm-up: the pool's lookups and the runtime's first allocations
    const std::uint32_t before = KxOpenHandleCount();
    tryAll();
    EXPECT_LE(KxOpenHandleCount(), before + 2) << "handles left open by refused names";
}

// Recipient lists that cannot be served are refused with nothing queued and nobody called; a null
// list means every other member whatever the count says.
TEST(BadInputTest, ImpossibleRecipientListsAreRefusedAndQueueNothing) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant alone(channel.c_str());
    alone.InitializeParticipant();
    EXPECT_FALSE(alone.SendIPMessage(0xFFFFFFFFu, nullptr, 1, 1)) << "no other member";
    EXPECT_FALSE(alone.PostIPMessage(0xFFFFFFFFu, nullptr, 1, 1));

    CKxCountingParticipant other(channel.c_str());
    other.InitializeParticipant();
    const unsigned int ids[] = {other.GetParticipantID()};
    EXPECT_FALSE(alone.SendIPMessage(0, ids, 1, 2));
    EXPECT_FALSE(alone.PostIPMessage(0, ids, 1, 2));
    for (unsigned int stranger : {static_cast<unsigned int>(KxCurrentThreadId()), 0u, ~0u}) {
        EXPECT_FALSE(alone.SendIPMessage(1, &stranger, 1, 3)) << stranger;
        EXPECT_FALSE(alone.PostIPMessage(1, &stranger, 1, 3)) << stranger;
        const unsigned int mixed[] = {ids[0], stranger};
        EXPECT_FALSE(alone.SendIPMessage(2, mixed, 1, 3)) << "one stranger refuses the whole list";
    }
    const std::vector<unsigned int> tooMany(KXIPC_MAX_TARGETS + 1, ids[0]);
    kxipc_send_report report;
    EXPECT_FALSE(alone.SendIPMessage(KXIPC_MAX_TARGETS + 1, tooMany.data(), 1, 4, &report));
    EXPECT_EQ(static_cast<uint32_t>(KXIPC_REFUSED_TOO_MANY_TARGETS), report.refusal)
        << "more recipients than a record holds";
    EXPECT_EQ(0u, other.syncs.load());
    EXPECT_EQ(0, KxQueuedRecords(channel)) << "a refused message left a record";

    // A null list with a huge count reaches the one other member once.
    EXPECT_TRUE(alone.SendIPMessage(0xFFFFFFFFu, nullptr, 1, 6));
    EXPECT_EQ(1u, other.syncs.load());
    EXPECT_EQ(6u, other.lastParam.load());
    other.UninitializeParticipant();
    alone.UninitializeParticipant();
}

// Calls in the wrong state: never initialised, uninitialised twice, initialised twice. (Sends
// after leaving and a rejoin under a new identifier: the C interface's table and the CLI peers.)
TEST(BadInputTest, CallsInTheWrongStateAreHarmless) {
    const std::string channel = KxUniqueName("channel");
    {
        CKxCountingParticipant never(channel.c_str());
        EXPECT_EQ(0u, never.GetParticipantID());
        ExpectUninitialized(&never);  // its Uninitialize too
        CKxCountingParticipant copy(never);
        EXPECT_EQ(0u, copy.GetParticipantID());
        ExpectUninitialized(&copy);
    }
    CKxCountingParticipant twice(channel.c_str());
    twice.InitializeParticipant();
    const unsigned int firstId = twice.GetParticipantID();
    twice.InitializeParticipant();  // refused: already initialised
    EXPECT_EQ(firstId, twice.GetParticipantID());
    twice.UninitializeParticipant();
    twice.UninitializeParticipant();
    EXPECT_EQ(firstId, twice.GetParticipantID()) << "the identifier stays after leaving";
}

}  // namespace
