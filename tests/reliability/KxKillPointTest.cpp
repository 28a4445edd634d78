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

#include "KxReliabilityMember.h"

namespace {

std::string Str(unsigned long long value) { return std::to_string(value); }

class KillPointTest : public testing::Test {
protected:
    std::unique_ptr<CKxReliabilityMember> Joined() {
        std::unique_ptr<CKxReliabilityMember> member(new CKxReliabilityMember(m_channel));
        EXPECT_NE(0u, member->Join());
        return member;
    }

    unsigned long long NextParam() { return ++m_param; }

    // Waits (polling the raw segment) until the queue holds exactly `records` records.
    bool WaitQueued(int records) {
        const ULONGLONG deadline = GetTickCount64() + 25000;
        while (KxCountQueuedRecords(m_channel) != records) {
            if (GetTickCount64() >= deadline) return false;
            Sleep(10);
        }
        return true;
    }

    // The victim is busy in a handler holding a synchronous message from `holder` (received, not
    // acknowledged) and has one from `pending` queued behind it: two senders wait on it.
    void PinVictim(CKxReliabilityMember* victim, CKxReliabilityMember* holder,
                   CKxReliabilityMember* pending, unsigned long long* heldParam,
                   unsigned long long* pendingParam) {
        *heldParam = NextParam();
        *pendingParam = NextParam();
        holder->Send(kKxHoldCode, *heldParam, {victim->Id()});
        ASSERT_TRUE(victim->Saw("sync " + Str(holder->Id()) + " 2 " + Str(*heldParam)));
        pending->Send(kKxPlainCode, *pendingParam, {victim->Id()});
        ASSERT_TRUE(WaitQueued(2));
    }

    void ExpectIdleQueueEmpty() {
        std::uint32_t read = 0, write = 0;
        ASSERT_TRUE(KxReadQueuePositions(m_channel, &read, &write));
        EXPECT_EQ(read, write) << "the queue's room did not come back";
        EXPECT_GE(read, 2u);
        EXPECT_LT(read, 400u);
    }

    // After the victim died: every survivor gets OnQuit for it (victimId 0: it was never
    // announced), the queue is empty once they are idle, a newcomer joins, and synchronous
    // messages flow from the newcomer to everyone and from a survivor to everyone; finally the
    // member list is exactly the survivors and the newcomer.
    void ExpectChannelGoesOn(const std::vector<CKxReliabilityMember*>& survivors,
                             std::uint32_t victimId) {
        if (victimId != 0) {
            for (CKxReliabilityMember* survivor : survivors) {
                EXPECT_TRUE(survivor->Saw("quit " + Str(victimId))) << survivor->Output();
            }
        }
        std::unique_ptr<CKxReliabilityMember> newcomer = Joined();
        for (CKxReliabilityMember* survivor : survivors) {
            EXPECT_TRUE(survivor->Saw("join " + Str(newcomer->Id()) + " 1"));
        }
        const unsigned long long fromNewcomer = NextParam();
        newcomer->Send(kKxPlainCode, fromNewcomer, {});
        EXPECT_TRUE(newcomer->Saw("sent " + Str(fromNewcomer) + " 1"));
        for (CKxReliabilityMember* survivor : survivors) {
            EXPECT_TRUE(survivor->Saw("recv " + Str(newcomer->Id()) + " 1 " + Str(fromNewcomer)));
        }
        const unsigned long long fromSurvivor = NextParam();
        survivors[0]->Send(kKxPlainCode, fromSurvivor, {});
        EXPECT_TRUE(survivors[0]->Saw("sent " + Str(fromSurvivor) + " 1"));
        EXPECT_TRUE(newcomer->Saw("recv " + Str(survivors[0]->Id()) + " 1 " + Str(fromSurvivor)));
        for (size_t i = 1; i < survivors.size(); ++i) {
            EXPECT_TRUE(
                survivors[i]->Saw("recv " + Str(survivors[0]->Id()) + " 1 " + Str(fromSurvivor)));
        }
        ExpectIdleQueueEmpty();

        std::vector<std::uint32_t> expected{newcomer->Id()};
        for (CKxReliabilityMember* survivor : survivors) expected.push_back(survivor->Id());
        std::vector<std::uint32_t> members = KxReadMembers(m_channel);
        std::sort(expected.begin(), expected.end());
        std::sort(members.begin(), members.end());
        EXPECT_EQ(expected, members);
    }

    const std::string m_channel = KxUniqueName("channel");
    unsigned long long m_param = 1000;
};

// Holding the channel mutex with a record written but W not yet moved: the record stays invisible
// and the mutex comes to the next taker as abandoned.
TEST_F(KillPointTest, InAddMessageBeforePublish) {
    auto a = Joined(), b = Joined(), victim = Joined();
    unsigned long long held = 0, pending = 0;
    PinVictim(victim.get(), b.get(), a.get(), &held, &pending);
    ASSERT_TRUE(victim->Arm("ring.add.before-publish"));
    const unsigned long long unpublished = NextParam();
    victim->Send(kKxPlainCode, unpublished, {a->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();

    EXPECT_TRUE(b->Saw("sent " + Str(held) + " 1"));
    EXPECT_TRUE(a->Saw("sent " + Str(pending) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
    EXPECT_EQ(std::string::npos, a->Output().find(" " + Str(unpublished)))
        << "a record whose writer died before publishing it was delivered";
}

// Holding the channel mutex with the entry acknowledged but the done record neither reported to
// its sender nor given back.
TEST_F(KillPointTest, InAcknowledgeBetweenStateChangeAndSweep) {
    auto a = Joined(), b = Joined(), victim = Joined();
    ASSERT_TRUE(victim->Arm("ring.acknowledge.before-sweep"));
    const unsigned long long acknowledged = NextParam();
    a->Send(kKxPlainCode, acknowledged, {victim->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();

    EXPECT_TRUE(a->Saw("quit " + Str(victim->Id())));
    EXPECT_TRUE(b->Saw("quit " + Str(victim->Id())));
    // Before any new traffic: the departure alone must give the done record's room back.
    ExpectIdleQueueEmpty();
    EXPECT_TRUE(a->Saw("sent " + Str(acknowledged) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
}

// Registered but not yet announced: nobody watches the joiner's thread, so nobody gets OnQuit;
// the next join finds its thread gone and removes it.
TEST_F(KillPointTest, InAddParticipantHalfWay) {
    auto a = Joined(), b = Joined();
    CKxReliabilityMember victim(m_channel);
    ASSERT_TRUE(victim.Arm("channel.add-participant.half-way"));
    victim.StartJoin();
    ASSERT_TRUE(victim.WaitStopped());
    EXPECT_EQ(3u, KxReadMembers(m_channel).size());
    victim.Kill();

    ExpectChannelGoesOn({a.get(), b.get()}, 0);
}

// Leaving after a handler threw: the held message is acknowledged on the victim's behalf, then it
// dies before the pending one is and before it is unregistered.
TEST_F(KillPointTest, InRemoveParticipantHalfWay) {
    auto a = Joined(), b = Joined(), victim = Joined();
    const unsigned long long thrown = NextParam(), pending = NextParam();
    a->Send(kKxThrowCode, thrown, {victim->Id()});
    ASSERT_TRUE(victim->Saw("sync " + Str(a->Id()) + " 3 " + Str(thrown)));
    b->Send(kKxPlainCode, pending, {victim->Id()});
    ASSERT_TRUE(WaitQueued(2));
    ASSERT_TRUE(victim->Arm("channel.remove-participant.half-way"));
    victim->Command("release");
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();

    EXPECT_TRUE(a->Saw("sent " + Str(thrown) + " 1"));
    EXPECT_TRUE(b->Saw("sent " + Str(pending) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
}

// The pool mutex is one for the whole machine: while the victim holds it nobody can draw an
// element; after its death the others must keep drawing and giving back.
TEST_F(KillPointTest, InAcquireElementHoldingPoolMutexExclusive) {
    auto a = Joined(), b = Joined(), victim = Joined();
    unsigned long long held = 0, pending = 0;
    PinVictim(victim.get(), b.get(), a.get(), &held, &pending);
    ASSERT_TRUE(victim->Arm("pool.acquire.holding-mutex"));
    victim->Send(kKxPlainCode, NextParam(), {a->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();

    EXPECT_TRUE(b->Saw("sent " + Str(held) + " 1"));
    EXPECT_TRUE(a->Saw("sent " + Str(pending) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
}

TEST_F(KillPointTest, InReleaseElementHoldingPoolMutexExclusive) {
    auto a = Joined(), b = Joined(), victim = Joined();
    unsigned long long held = 0, pending = 0;
    PinVictim(victim.get(), b.get(), a.get(), &held, &pending);
    ASSERT_TRUE(victim->Arm("pool.release.holding-mutex"));
    const unsigned long long delivered = NextParam();
    victim->Send(kKxPlainCode, delivered, {a->Id()});
    EXPECT_TRUE(a->Saw("recv " + Str(victim->Id()) + " 1 " + Str(delivered)));
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();

    EXPECT_TRUE(b->Saw("sent " + Str(held) + " 1"));
    EXPECT_TRUE(a->Saw("sent " + Str(pending) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
}

// Inside the application's OnSyncMessage: the message is received, not acknowledged, and another
// synchronous message waits behind it.
TEST_F(KillPointTest, InsideOnSyncMessage) {
    auto a = Joined(), b = Joined(), victim = Joined();
    ASSERT_TRUE(victim->Arm(kKxOnSyncMessagePoint));
    const unsigned long long inHandler = NextParam(), pending = NextParam();
    a->Send(kKxPlainCode, inHandler, {victim->Id(), b->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    EXPECT_TRUE(b->Saw("recv " + Str(a->Id()) + " 1 " + Str(inHandler)));
    b->Send(kKxPlainCode, pending, {victim->Id()});
    ASSERT_TRUE(WaitQueued(2));
    victim->Kill();

    EXPECT_TRUE(a->Saw("sent " + Str(inHandler) + " 1"));
    EXPECT_TRUE(b->Saw("sent " + Str(pending) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
}

// A posted message taken but not acknowledged, with a synchronous one queued behind it.
TEST_F(KillPointTest, BetweenTakingAndAcknowledging) {
    auto a = Joined(), b = Joined(), victim = Joined();
    ASSERT_TRUE(victim->Arm("participant.receive.before-acknowledge"));
    ASSERT_TRUE(a->Post(kKxPlainCode, NextParam(), {victim->Id()}));
    ASSERT_TRUE(victim->WaitStopped());
    const unsigned long long pending = NextParam();
    b->Send(kKxPlainCode, pending, {victim->Id()});
    ASSERT_TRUE(WaitQueued(2));
    victim->Kill();

    EXPECT_TRUE(b->Saw("sent " + Str(pending) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
}

// The joiner dies in its own OnJoin, registered and announced but before its start is signalled:
// the members have acknowledged its notice and must now see it quit.
TEST_F(KillPointTest, InsideOwnOnJoin) {
    auto a = Joined(), b = Joined();
    CKxReliabilityMember victim(m_channel);
    ASSERT_TRUE(victim.Arm(kKxOwnOnJoinPoint));
    victim.StartJoin();
    ASSERT_TRUE(victim.WaitStopped());
    const std::vector<std::uint32_t> members = KxReadMembers(m_channel);
    ASSERT_EQ(3u, members.size());
    const std::uint32_t victimId = members[2];
    EXPECT_TRUE(a->Saw("join " + Str(victimId) + " 1"));
    EXPECT_TRUE(b->Saw("join " + Str(victimId) + " 1"));
    victim.Kill();

    ExpectChannelGoesOn({a.get(), b.get()}, victimId);
}

// A sender killed while it waits for its acknowledgement: the recipient acknowledges late, after
// the sender is gone, and nobody must be disturbed by it.
TEST_F(KillPointTest, SenderWaitingForAcknowledgement) {
    auto a = Joined(), b = Joined(), victim = Joined();
    ASSERT_TRUE(victim->Arm("participant.send.waiting"));
    const unsigned long long orphan = NextParam(), behind = NextParam();
    victim->Send(kKxHoldCode, orphan, {a->Id()});
    ASSERT_TRUE(a->Saw("sync " + Str(victim->Id()) + " 2 " + Str(orphan)));
    ASSERT_TRUE(victim->WaitStopped());
    b->Send(kKxPlainCode, behind, {a->Id()});
    ASSERT_TRUE(WaitQueued(2));
    victim->Kill();
    EXPECT_TRUE(b->Saw("quit " + Str(victim->Id())));
    a->Command("release");

    EXPECT_TRUE(a->Saw("recv " + Str(victim->Id()) + " 2 " + Str(orphan)));
    EXPECT_TRUE(b->Saw("sent " + Str(behind) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
}

// A member whose handler sends synchronously dies while it waits (and dispatches) on its waiting
// thread: the sender of the message it was handling is released, and the nested recipient's
// acknowledgement to a dead member disturbs nobody.
TEST_F(KillPointTest, WaitingInNestedSendOnWaitingThread) {
    auto a = Joined(), b = Joined(), victim = Joined();
    ASSERT_TRUE(victim->Arm("participant.send.waiting-dispatching"));
    const unsigned long long outer = b->Id();
    a->Send(kKxNestedCode, outer, {victim->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    EXPECT_TRUE(b->Saw("recv " + Str(victim->Id()) + " 1 " + Str(outer + 1)));
    victim->Kill();

    EXPECT_TRUE(a->Saw("sent " + Str(outer) + " 1"));
    ExpectChannelGoesOn({a.get(), b.get()}, victim->Id());
}

}  // namespace
