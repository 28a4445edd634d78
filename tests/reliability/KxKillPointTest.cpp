// Members killed (TerminateProcess) at the worst moments: holding the channel mutex in the middle
// of an operation, holding the machine-wide pool mutex, inside handlers, while waiting for an
// acknowledgement. After each death the channel must go on: the others hear of it, synchronous
// senders waiting on it are released, the queue's room comes back, newcomers join and the
// survivors exchange messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "KxKillPoint.h"
#include "KxMemberProcess.h"
#include "KxRawChannel.h"

namespace {

const bool g_seamsInstalled =
    (KxSetMemberSeams({&KxArmKillPoint, &KxArmPausePoint, &KxArmFailingName, &KxKillPoint}), true);

using Member = std::unique_ptr<CKxMemberProcess>;

// Members a and b joined; the victim started, joined by the test that needs it joined.
class KillPointTest : public testing::Test {
protected:
    void SetUp() override {
        a = CKxMemberProcess::Joined(m_channel);
        b = CKxMemberProcess::Joined(m_channel);
        victim.reset(new CKxMemberProcess(m_channel));
        // A member that did not start or join ends the test now, not after every wait on it.
        ASSERT_FALSE(HasFailure());
    }

    unsigned long long NextParam() { return ++m_param; }
    static std::string Sent(unsigned long long param) { return KxLine("sent", {param, 1}); }

    // Waits (polling the raw segment) until the queue holds exactly `records` records.
    bool WaitQueued(int records) {
        const ULONGLONG deadline = GetTickCount64() + 25000;
        while (KxCountQueuedRecords(m_channel) != records) {
            if (GetTickCount64() >= deadline) return false;
            Sleep(10);
        }
        return true;
    }

    // The victim is busy in a handler holding a synchronous message from b (received, not
    // acknowledged) and has one from a queued behind it: two senders wait on it. Armed at point,
    // it then sends to a, stops at the point and is killed; both senders must be released.
    // Returns the param of the victim's own send.
    unsigned long long KillPinnedVictimSendingAt(const char* point) {
        EXPECT_NE(0u, victim->Join());
        const unsigned long long held = NextParam(), pending = NextParam(), own = NextParam();
        b->Send(kKxHoldCode, held, {victim->Id()});
        EXPECT_TRUE(victim->Saw(KxLine("sync", {b->Id(), kKxHoldCode, held})));
        a->Send(kKxPlainCode, pending, {victim->Id()});
        EXPECT_TRUE(WaitQueued(2));
        EXPECT_TRUE(victim->Arm(point));
        victim->Send(kKxPlainCode, own, {a->Id()});
        EXPECT_TRUE(victim->WaitStopped());
        victim->Kill();
        EXPECT_TRUE(b->Saw(Sent(held)));
        EXPECT_TRUE(a->Saw(Sent(pending)));
        return own;
    }

    void ExpectIdleQueueEmpty() {
        std::uint32_t read = 0, write = 0;
        ASSERT_TRUE(KxReadQueuePositions(m_channel, &read, &write));
        EXPECT_EQ(read, write) << "the queue's room did not come back";
        EXPECT_GE(read, 2u);
        EXPECT_LT(read, 400u);
    }

    // After the victim died: a and b get OnQuit for it (victimId 0: it was never announced), a
    // newcomer joins, synchronous messages flow from the newcomer and from a to everyone, the
    // queue is empty once they are idle, and the member list is a, b and the newcomer.
    void ExpectChannelGoesOn(unsigned int victimId) {
        for (CKxMemberProcess* survivor : {a.get(), b.get()}) {
            EXPECT_TRUE(victimId == 0 || survivor->Saw(KxLine("quit", {victimId})));
        }
        Member newcomer = CKxMemberProcess::Joined(m_channel);
        const unsigned long long fromNewcomer = NextParam(), fromA = NextParam();
        EXPECT_EQ(1, newcomer->SendWait(kKxPlainCode, fromNewcomer));
        EXPECT_EQ(1, a->SendWait(kKxPlainCode, fromA));
        for (CKxMemberProcess* survivor : {a.get(), b.get()}) {
            EXPECT_TRUE(survivor->Saw(KxLine("join", {newcomer->Id(), 1})));
            EXPECT_TRUE(survivor->Saw(KxLine("recv", {newcomer->Id(), kKxPlainCode, fromNewcomer})))
                << survivor->Output();
        }
        for (CKxMemberProcess* other : {b.get(), newcomer.get()}) {
            EXPECT_TRUE(other->Saw(KxLine("recv", {a->Id(), kKxPlainCode, fromA})));
        }
        ExpectIdleQueueEmpty();

        std::vector<std::uint32_t> expected{a->Id(), b->Id(), newcomer->Id()};
        std::vector<std::uint32_t> members = KxReadMembers(m_channel);
        std::sort(expected.begin(), expected.end());
        std::sort(members.begin(), members.end());
        EXPECT_EQ(expected, members);
    }

    const std::string m_channel = KxUniqueName("channel");
    unsigned long long m_param = 1000;
    Member a, b, victim;
};

// Holding the channel mutex with a record written but W not yet moved: the record stays invisible
// and the mutex comes to the next taker as abandoned.
TEST_F(KillPointTest, InAddMessageBeforePublish) {
    const unsigned long long unpublished = KillPinnedVictimSendingAt("ring.add.before-publish");
    ExpectChannelGoesOn(victim->Id());
    EXPECT_EQ(0u, a->Count(KxLine("recv", {victim->Id(), kKxPlainCode, unpublished})))
        << "a record whose writer died before publishing it was delivered";
}

// The pool mutex is one for the whole machine: while the victim holds it nobody can draw an
// element; after its death the others must keep drawing and giving back.
TEST_F(KillPointTest, InAcquireElementHoldingPoolMutexExclusive) {
    KillPinnedVictimSendingAt("pool.acquire.holding-mutex");
    ExpectChannelGoesOn(victim->Id());
}

TEST_F(KillPointTest, InReleaseElementHoldingPoolMutexExclusive) {
    const unsigned long long delivered = KillPinnedVictimSendingAt("pool.release.holding-mutex");
    EXPECT_TRUE(a->Saw(KxLine("recv", {victim->Id(), kKxPlainCode, delivered})));
    ExpectChannelGoesOn(victim->Id());
}

// Holding the channel mutex with the entry acknowledged but the done record neither reported to
// its sender nor given back.
TEST_F(KillPointTest, InAcknowledgeBetweenStateChangeAndSweep) {
    ASSERT_NE(0u, victim->Join());
    ASSERT_TRUE(victim->Arm("ring.acknowledge.before-sweep"));
    const unsigned long long acknowledged = NextParam();
    a->Send(kKxPlainCode, acknowledged, {victim->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();

    EXPECT_TRUE(a->Saw(KxLine("quit", {victim->Id()})));
    EXPECT_TRUE(b->Saw(KxLine("quit", {victim->Id()})));
    // Before any new traffic: the departure alone must give the done record's room back.
    ExpectIdleQueueEmpty();
    EXPECT_TRUE(a->Saw(Sent(acknowledged)));
    ExpectChannelGoesOn(victim->Id());
}

// Registered but not yet announced: nobody watches the joiner's thread, so nobody gets OnQuit;
// the next join finds its thread gone and removes it.
TEST_F(KillPointTest, InAddParticipantHalfWay) {
    ASSERT_TRUE(victim->Arm("channel.add-participant.half-way"));
    victim->StartJoin();
    ASSERT_TRUE(victim->WaitStopped());
    EXPECT_EQ(3u, KxReadMembers(m_channel).size());
    victim->Kill();
    ExpectChannelGoesOn(0);
}

// Leaving after a handler threw: the held message is acknowledged on the victim's behalf, then it
// dies before the pending one is and before it is unregistered.
TEST_F(KillPointTest, InRemoveParticipantHalfWay) {
    ASSERT_NE(0u, victim->Join());
    const unsigned long long thrown = NextParam(), pending = NextParam();
    a->Send(kKxThrowCode, thrown, {victim->Id()});
    ASSERT_TRUE(victim->Saw(KxLine("sync", {a->Id(), kKxThrowCode, thrown})));
    b->Send(kKxPlainCode, pending, {victim->Id()});
    ASSERT_TRUE(WaitQueued(2));
    ASSERT_TRUE(victim->Arm("channel.remove-participant.half-way"));
    victim->Release();
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();

    EXPECT_TRUE(a->Saw(Sent(thrown)));
    EXPECT_TRUE(b->Saw(Sent(pending)));
    ExpectChannelGoesOn(victim->Id());
}

// Inside the application's OnSyncMessage: the message is received, not acknowledged, and another
// synchronous message waits behind it.
TEST_F(KillPointTest, InsideOnSyncMessage) {
    ASSERT_NE(0u, victim->Join());
    ASSERT_TRUE(victim->Arm(kKxOnSyncMessagePoint));
    const unsigned long long inHandler = NextParam(), pending = NextParam();
    a->Send(kKxPlainCode, inHandler, {victim->Id(), b->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    EXPECT_TRUE(b->Saw(KxLine("recv", {a->Id(), kKxPlainCode, inHandler})));
    b->Send(kKxPlainCode, pending, {victim->Id()});
    ASSERT_TRUE(WaitQueued(2));
    victim->Kill();

    EXPECT_TRUE(a->Saw(Sent(inHandler)));
    EXPECT_TRUE(b->Saw(Sent(pending)));
    ExpectChannelGoesOn(victim->Id());
}

// A posted message taken but not acknowledged, with a synchronous one queued behind it.
TEST_F(KillPointTest, BetweenTakingAndAcknowledging) {
    ASSERT_NE(0u, victim->Join());
    ASSERT_TRUE(victim->Arm("participant.receive.before-acknowledge"));
    ASSERT_TRUE(a->Post(kKxPlainCode, NextParam(), {victim->Id()}));
    ASSERT_TRUE(victim->WaitStopped());
    const unsigned long long pending = NextParam();
    b->Send(kKxPlainCode, pending, {victim->Id()});
    ASSERT_TRUE(WaitQueued(2));
    victim->Kill();

    EXPECT_TRUE(b->Saw(Sent(pending)));
    ExpectChannelGoesOn(victim->Id());
}

// The joiner dies in its own OnJoin, registered and announced but before its start is signalled:
// the members have acknowledged its notice and must now see it quit.
TEST_F(KillPointTest, InsideOwnOnJoin) {
    ASSERT_TRUE(victim->Arm(kKxOwnOnJoinPoint));
    victim->StartJoin();
    ASSERT_TRUE(victim->WaitStopped());
    const std::vector<std::uint32_t> members = KxReadMembers(m_channel);
    ASSERT_EQ(3u, members.size());
    EXPECT_TRUE(a->Saw(KxLine("join", {members[2], 1})));
    EXPECT_TRUE(b->Saw(KxLine("join", {members[2], 1})));
    victim->Kill();
    ExpectChannelGoesOn(members[2]);
}

// A sender killed while it waits for its acknowledgement: the recipient acknowledges late, after
// the sender is gone, and nobody must be disturbed by it.
TEST_F(KillPointTest, SenderWaitingForAcknowledgement) {
    ASSERT_NE(0u, victim->Join());
    ASSERT_TRUE(victim->Arm("participant.send.waiting"));
    const unsigned long long orphan = NextParam(), behind = NextParam();
    victim->Send(kKxHoldCode, orphan, {a->Id()});
    ASSERT_TRUE(a->Saw(KxLine("sync", {victim->Id(), kKxHoldCode, orphan})));
    ASSERT_TRUE(victim->WaitStopped());
    b->Send(kKxPlainCode, behind, {a->Id()});
    ASSERT_TRUE(WaitQueued(2));
    victim->Kill();
    EXPECT_TRUE(b->Saw(KxLine("quit", {victim->Id()})));
    a->Release();

    EXPECT_TRUE(a->Saw(KxLine("recv", {victim->Id(), kKxHoldCode, orphan})));
    EXPECT_TRUE(b->Saw(Sent(behind)));
    ExpectChannelGoesOn(victim->Id());
}

// A member whose handler sends synchronously dies while it waits (and dispatches) on its waiting
// thread: the sender of the message it was handling is released, and the nested recipient's
// acknowledgement to a dead member disturbs nobody.
TEST_F(KillPointTest, WaitingInNestedSendOnWaitingThread) {
    ASSERT_NE(0u, victim->Join());
    ASSERT_TRUE(victim->Arm("participant.send.waiting-dispatching"));
    a->Send(kKxNestedCode, b->Id(), {victim->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    EXPECT_TRUE(b->Saw(KxLine("recv", {victim->Id(), kKxPlainCode, b->Id()})));
    victim->Kill();

    EXPECT_TRUE(a->Saw(Sent(b->Id())));
    ExpectChannelGoesOn(victim->Id());
}

}  // namespace
