// Members killed (TerminateProcess, SIGKILL) at the worst moments: holding the channel mutex in the
// middle of an operation, inside handlers, while waiting for an acknowledgement. After each death
// the channel must go on: the others hear of it, synchronous senders waiting on it are released,
// the queue's room comes back, newcomers join and the survivors exchange messages. Then members
// held where the test decides: a waiting thread that starts only after its start gave up, and a
// join whose notice finds the ring full. And processes that cannot make one kernel object (a
// failing name): the failure reaches their caller and costs nobody else anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "KxKernelTestSupport.h"
#include "CIPCChannelLock.h"
#include "CIPCCommunicationChannel.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CKxMutex.h"
#include "CkxIPCMessage.h"
#include "KxChannelReads.h"
#include "KxCountingParticipant.h"
#include "KxKillPoint.h"
#include "KxLiveness.h"
#include "KxMemberProcess.h"
#include "KxProcessUsage.h"

namespace {

const bool g_seamsInstalled =
    (KxSetMemberSeams({&KxArmKillPoint, &KxArmPausePoint, &KxKillPoint}), true);

using Member = std::unique_ptr<CKxMemberProcess>;

// Waits (reading the channel again and again) until its queue holds exactly `records` records.
bool WaitQueuedIn(const std::string& channel, int records) {
    return KxWaitUntil([&] { return KxQueuedRecords(channel) == records; });
}

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

    bool WaitQueued(int records) { return WaitQueuedIn(m_channel, records); }

    // The victim, armed at point, is sent a synchronous message by a (and by b too when
    // alsoToB) and stops at the point; b queues another one behind it, and the victim is killed.
    // Both senders must be released.
    void KillHoldingATakenMessage(const char* point, bool alsoToB) {
        ASSERT_NE(0u, victim->Join());
        ASSERT_TRUE(victim->Arm(point));
        const unsigned long long taken = NextParam(), pending = NextParam();
        std::vector<unsigned int> to{victim->Id()};
        if (alsoToB) to.push_back(b->Id());
        a->Send(kKxPlainCode, taken, to);
        ASSERT_TRUE(victim->WaitStopped());
        EXPECT_TRUE(!alsoToB || b->Saw(KxLine("recv", {a->Id(), kKxPlainCode, taken})));
        b->Send(kKxPlainCode, pending, {victim->Id()});
        ASSERT_TRUE(WaitQueued(2));
        victim->Kill();
        EXPECT_TRUE(a->Saw(Sent(taken)));
        EXPECT_TRUE(b->Saw(Sent(pending)));
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
        EXPECT_EQ(0, KxQueuedRecords(m_channel)) << "the queue's room did not come back";
        std::vector<std::uint32_t> expected{a->Id(), b->Id(), newcomer->Id()};
        std::vector<std::uint32_t> members = KxChannelMembers(m_channel);
        std::sort(expected.begin(), expected.end());
        std::sort(members.begin(), members.end());
        EXPECT_EQ(expected, members);
    }

    const std::string m_channel = KxUniqueName("channel");
    unsigned long long m_param = 1000;
    Member a, b, victim;
};

// Holding the channel mutex with a record written but W not yet moved: the record stays invisible
// and the mutex comes to the next taker as abandoned. The victim is busy in a handler holding a
// synchronous message from b and has one from a queued behind it: both senders must be released.
TEST_F(KillPointTest, InAddMessageBeforePublish) {
    ASSERT_NE(0u, victim->Join());
    const unsigned long long held = NextParam(), pending = NextParam(), own = NextParam();
    b->Send(kKxHoldCode, held, {victim->Id()});
    ASSERT_TRUE(victim->Saw(KxLine("sync", {b->Id(), kKxHoldCode, held})));
    a->Send(kKxPlainCode, pending, {victim->Id()});
    ASSERT_TRUE(WaitQueued(2));
    ASSERT_TRUE(victim->Arm("ring.add.before-publish"));
    victim->Send(kKxPlainCode, own, {a->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();
    EXPECT_TRUE(b->Saw(Sent(held)));
    EXPECT_TRUE(a->Saw(Sent(pending)));
    ExpectChannelGoesOn(victim->Id());
    EXPECT_EQ(0u, a->Count(KxLine("recv", {victim->Id(), kKxPlainCode, own})))
        << "a record whose writer died before publishing it was delivered";
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
    EXPECT_EQ(0, KxQueuedRecords(m_channel));
    EXPECT_TRUE(a->Saw(Sent(acknowledged)));
    ExpectChannelGoesOn(victim->Id());
}

// Registered but not yet announced: nobody watches the joiner's thread, so nobody gets OnQuit;
// the next join finds its thread gone and removes it.
TEST_F(KillPointTest, InAddParticipantHalfWay) {
    ASSERT_TRUE(victim->Arm("channel.add-participant.half-way"));
    victim->StartJoin();
    ASSERT_TRUE(victim->WaitStopped());
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

// Inside the application's OnSyncMessage: the message is received, not acknowledged.
TEST_F(KillPointTest, InsideOnSyncMessage) {
    KillHoldingATakenMessage(kKxOnSyncMessagePoint, true);
    ExpectChannelGoesOn(victim->Id());
}

// A synchronous message taken and handled but not acknowledged.
TEST_F(KillPointTest, BetweenTakingAndAcknowledging) {
    KillHoldingATakenMessage("participant.receive.before-acknowledge", false);
    ExpectChannelGoesOn(victim->Id());
}

// The joiner dies in its own OnJoin, registered and announced but before its start is signalled:
// the members have acknowledged its notice and must now see it quit.
TEST_F(KillPointTest, InsideOwnOnJoin) {
    ASSERT_TRUE(victim->Arm(kKxOwnOnJoinPoint));
    victim->StartJoin();
    ASSERT_TRUE(victim->WaitStopped());
    const std::vector<std::uint32_t> members = KxChannelMembers(m_channel);
    ASSERT_EQ(3u, members.size());
    EXPECT_TRUE(a->Saw(KxLine("join", {members[2], 1})));
    EXPECT_TRUE(b->Saw(KxLine("join", {members[2], 1})));
    victim->Kill();
    ExpectChannelGoesOn(members[2]);
}

// A recipient killed between completing a record (its acknowledgement, under the lock) and setting
// the sender's event (after the lock is given back): nothing in the queue tells of the owed signal,
// so the sender must be released by the wake-up for that member's end, not by its time-out.
TEST_F(KillPointTest, RecipientKilledBeforeSettingTheSendersEvent) {
    ASSERT_NE(0u, victim->Join());
    ASSERT_TRUE(victim->Arm("participant.receive.before-release"));
    const unsigned long long param = NextParam();
    a->Send(kKxPlainCode, param, {victim->Id()});
    ASSERT_TRUE(victim->WaitStopped());
    victim->Kill();
    EXPECT_TRUE(a->Saw(Sent(param)));
    EXPECT_LT(a->Took(Sent(param)), kKxPromptMs) << "the sender sat out its wait";
    ExpectChannelGoesOn(victim->Id());
}

// A sender killed while it waits for its acknowledgement (its wake and its wait are one kernel
// call, so it waits once the recipient has the message): the recipient acknowledges late, after
// the sender is gone, and nobody must be disturbed by it.
TEST_F(KillPointTest, SenderWaitingForAcknowledgement) {
    ASSERT_NE(0u, victim->Join());
    const unsigned long long orphan = NextParam(), behind = NextParam();
    victim->Send(kKxHoldCode, orphan, {a->Id()});
    ASSERT_TRUE(a->Saw(KxLine("sync", {victim->Id(), kKxHoldCode, orphan})));
    b->Send(kKxPlainCode, behind, {a->Id()});
    ASSERT_TRUE(WaitQueued(2));
    victim->Kill();
    EXPECT_TRUE(b->Saw(KxLine("quit", {victim->Id()})));
    a->Release();

    EXPECT_TRUE(a->Saw(KxLine("recv", {victim->Id(), kKxHoldCode, orphan})));
    EXPECT_TRUE(b->Saw(Sent(behind)));
    ExpectChannelGoesOn(victim->Id());
}

// A sender killed after queueing, before it woke its recipients (all, or all but the last): its
// end wakes them, and they take the message then.
TEST_F(KillPointTest, SenderKilledBeforeItsWakesLeavesNothingStranded) {
    ASSERT_NE(0u, victim->Join());
    for (const char* point : {"participant.wake.after-release", "participant.wake.before-wait"}) {
        const unsigned long long param = NextParam();
        ASSERT_TRUE(victim->Arm(point));
        victim->Send(kKxPlainCode, param, {a->Id(), b->Id()});
        ASSERT_TRUE(victim->WaitStopped()) << point;
        const unsigned int gone = victim->Id();
        victim->Kill();
        for (CKxMemberProcess* member : {a.get(), b.get()}) {
            EXPECT_TRUE(member->Saw(KxLine("recv", {gone, kKxPlainCode, param}))) << point;
            EXPECT_EQ(1u, member->Count(KxLine("recv", {gone, kKxPlainCode, param}))) << point;
        }
        ExpectChannelGoesOn(gone);
        victim.reset(new CKxMemberProcess(m_channel));
        ASSERT_NE(0u, victim->Join());
    }
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

// The stop comes while the waiting thread drains what queued up behind a held handler: the drain
// ends once what was waiting when the stop came is handled (a message queued during the drain's
// last batch is not taken), and uninitialising returns only after it. Each handler is let go only
// once the stop has been requested, or the next message is queued.
TEST(KxStopDuringADrain, EndsTheThreadOnlyAfterWhatWasWaitingWhenTheStopCame) {
    const std::string channel = KxUniqueName("channel");
    Member leaver = CKxMemberProcess::Joined(channel), sender = CKxMemberProcess::Joined(channel);
    CKxCountingParticipant late(channel.c_str());
    late.InitializeParticipant();
    const unsigned int self = sender->Id(), target = leaver->Id(), lateId = late.GetParticipantID();
    sender->Send(kKxHoldCode, 1, {target});
    ASSERT_TRUE(leaver->Saw(KxLine("sync", {self, kKxHoldCode, 1})));
    ASSERT_TRUE(sender->Post(kKxPlainCode, 2, {target}));
    // Two synchronous messages in the batch behind it: each is acknowledged for itself.
    std::future<bool> plain = std::async(
        std::launch::async, [&] { return late.SendIPMessage(1, &target, kKxPlainCode, 3); });
    ASSERT_TRUE(WaitQueuedIn(channel, 3));
    std::future<bool> held = std::async(
        std::launch::async, [&] { return late.SendIPMessage(1, &target, kKxHoldCode, 4); });
    ASSERT_TRUE(WaitQueuedIn(channel, 4));
    ASSERT_TRUE(leaver->Pause("participant.stop.requested"));
    leaver->Leave();
    ASSERT_TRUE(leaver->WaitStopped()) << leaver->Output();
    leaver->Resume();  // the stop now waits for the thread, whose handler still holds
    EXPECT_FALSE(leaver->Saw("left", 1, 2000)) << "uninitialising returned during a handler";
    leaver->Release();
    ASSERT_TRUE(leaver->Saw(KxLine("sync", {lateId, kKxHoldCode, 4})));
    EXPECT_EQ(std::future_status::ready, plain.wait_for(std::chrono::milliseconds(kKxPromptMs)))
        << "a message handled before the held one waits for that one's acknowledgement";
    ASSERT_TRUE(late.PostIPMessage(1, &target, kKxPlainCode, 5));
    leaver->Release();
    ASSERT_TRUE(leaver->Saw("left"));
    EXPECT_TRUE(held.get());
    EXPECT_TRUE(leaver->InOrder({KxLine("recv", {self, kKxHoldCode, 1}),
                                 KxLine("recv", {self, kKxPlainCode, 2}),
                                 KxLine("recv", {lateId, kKxPlainCode, 3}),
                                 KxLine("recv", {lateId, kKxHoldCode, 4}), "left"}))
        << leaver->Output();
    EXPECT_EQ(0u, leaver->Count(KxLine("recv", {lateId, kKxPlainCode, 5}))) << leaver->Output();
}

// Lets the member's waiting thread, held at its very start, go on; true once it has ended.
bool LateThreadEnds(CKxMemberProcess* member) {
    const std::uint32_t threads = KxThreadCount(member->ProcessId());
    member->Resume();
    return KxWaitUntil([&] { return KxThreadCount(member->ProcessId()) < threads; });
}

// Work that outlives what started it, all in one window of the library's 25 000 ms wait. Two
// members' starts give up with their waiting threads held at their very start. One leaves before
// its thread is let go: the thread touches nothing of the participant, joins nothing and calls no
// handler. The other's thread is let go first and fails to open its channel (an event holds the
// mutex's name): that failure belongs to the abandoned start, not to the next one. And a send
// waiting on a held recipient while its sender leaves returns after the full wait (the
// acknowledgement of a sender that left is not delivered); the participant then joins and sends
// again.
TEST(KxOutlivedWork, LateThreadsAndSendsAfterTheirStartOrStayEndedTouchNothingSlow) {
    const std::string channel = KxUniqueName("channel"), blocked = KxUniqueName("blocked"),
                      sends = KxUniqueName("sends");
    Member observer = CKxMemberProcess::Joined(channel);
    CKxMemberProcess leaver(channel), failing(blocked);
    // Nobody holds that channel yet: an event under its mutex's name makes it unopenable.
    std::unique_ptr<CKxEvent> obstacle(new CKxEvent(blocked + "_Mutex", true /*manualReset*/));
    CKxCountingParticipant sender(sends.c_str()), holder(sends.c_str());
    holder.InitializeParticipant();
    sender.InitializeParticipant();
    holder.Hold();
    const unsigned int to = holder.GetParticipantID();
    std::future<bool> waiting =
        std::async(std::launch::async, [&] { return sender.SendIPMessage(1, &to, 1, 9); });
    ASSERT_TRUE(leaver.Pause("participant.thread.start") &&
                failing.Pause("participant.thread.start"));
    std::future<unsigned int> lateStart =
        std::async(std::launch::async, [&failing] { return failing.Join(kKxHoldLimitMs); });
    ASSERT_TRUE(holder.WaitHeld(kKxDeadlineMs));
    sender.UninitializeParticipant();
    holder.Release();
    leaver.Join(kKxHoldLimitMs);
    lateStart.get();
    for (CKxMemberProcess* member : {&leaver, &failing}) {
        ASSERT_TRUE(member->WaitStopped()) << member->Output();
        EXPECT_GE(member->Took("joined"), 24500u) << "the start did not wait for its thread";
    }
    EXPECT_TRUE(waiting.get()) << "the message was queued";
    EXPECT_EQ(0, KxQueuedRecords(sends));
    sender.InitializeParticipant();
    EXPECT_TRUE(sender.SendIPMessage(1, &to, 1, 10));

    leaver.Leave();
    ASSERT_TRUE(leaver.Saw("left", 1, kKxDeadlineMs)) << "waited for a thread that never served";
    ASSERT_TRUE(LateThreadEnds(&leaver));
    EXPECT_EQ(std::vector<std::uint32_t>{observer->Id()}, KxChannelMembers(channel));
    ASSERT_NE(0u, leaver.Join()) << leaver.Output();
    EXPECT_EQ(1, leaver.SendWait(kKxPlainCode, 1, {observer->Id()}));
    EXPECT_TRUE(observer->Saw(KxLine("recv", {leaver.Id(), kKxPlainCode, 1})));
    // Only the second start met the observer, and the member's handlers ran for it alone.
    EXPECT_EQ(1u, observer->Count("join")) << observer->Output();
    EXPECT_EQ(0u, observer->Count("quit")) << observer->Output();
    EXPECT_EQ(1u, leaver.Count("join")) << leaver.Output();

    ASSERT_TRUE(LateThreadEnds(&failing));
    obstacle.reset();
    failing.Leave();
    ASSERT_TRUE(failing.Saw("left", 1, kKxDeadlineMs));
    Member witness = CKxMemberProcess::Joined(blocked);
    ASSERT_NE(0u, failing.Join()) << failing.Output();
    EXPECT_TRUE(witness->Saw(KxLine("join", {failing.Id(), 1})));
    EXPECT_EQ(1, failing.SendWait(kKxPlainCode, 1, {witness->Id()}));
}

// Posts pile up behind a handler of holder's that poster's send holds, until the ring refuses one.
static void FillRingBehindAHeldHandler(CKxMemberProcess* poster, CKxMemberProcess* holder) {
    poster->Send(kKxHoldCode, 1, {holder->Id()});
    ASSERT_TRUE(holder->Saw(KxLine("sync", {poster->Id(), kKxHoldCode, 1})));
    for (unsigned long long param = 2; poster->Post(kKxPlainCode, param, {holder->Id()}); ++param) {
        ASSERT_LT(param, 50u) << "the ring never filled";
    }
}

// A join notice that finds no room in the ring is queued once room comes back, not dropped: the
// newcomer's start ends soon after the ring drains, and every member meets it once, before it
// goes.
TEST(KxFullRing, JoinNoticeWithoutRoomIsQueuedOnceTheRingDrains) {
    const std::string channel = KxUniqueName("channel");
    Member holder = CKxMemberProcess::Joined(channel), poster = CKxMemberProcess::Joined(channel);
    CKxMemberProcess newcomer(channel);
    FillRingBehindAHeldHandler(poster.get(), holder.get());
    if (HasFatalFailure()) return;
    newcomer.StartJoin();
    std::vector<std::uint32_t> members;
    ASSERT_TRUE(KxWaitUntil([&] { return (members = KxChannelMembers(channel)).size() >= 3; }))
        << "the newcomer was never registered";
    const unsigned int id = members[2];
    holder->Release();
    ASSERT_TRUE(newcomer.Saw("joined", 1, kKxDeadlineMs));
    EXPECT_LT(newcomer.Took("joined"), 20000u) << "the start sat out its wait";
    for (CKxMemberProcess* member : {holder.get(), poster.get()}) {
        ASSERT_TRUE(member->Saw(KxLine("join", {id, 1}))) << member->Output();
    }
    newcomer.Leave();
    for (CKxMemberProcess* member : {holder.get(), poster.get()}) {
        EXPECT_TRUE(member->Saw(KxLine("quit", {id})));
        EXPECT_EQ(1u, member->Count(KxLine("join", {id, 1})));
        EXPECT_TRUE(member->InOrder({KxLine("join", {id, 1}), KxLine("quit", {id})}));
    }
}

// A notice that finds room only after its start gave up (the ring full past the start's wait) still
// carries the joiner's key: members built from the layouts recognise a join notice by its key.
// This thread is registered too, through a channel object of its own, and takes nothing: the
// notice stays in the ring to be read.
TEST(KxFullRing, NoticeQueuedAfterItsStartGaveUpCarriesTheJoinersKeySlow) {
    const std::string channel = KxUniqueName("channel");
    Member holder = CKxMemberProcess::Joined(channel), poster = CKxMemberProcess::Joined(channel);
    CIPCCommunicationChannel silent(channel.c_str());
    CIPCServiceFactorySingleton* const factory = CIPCServiceFactorySingleton::GetInstance();
    CKxIPCAcknowledgeEventPoolElement* const element = factory->AcquireAcknowledgeElement();
    {
        CIPCChannelLock lock(&silent);
        ASSERT_TRUE(silent.AddParticipant(KxCurrentThreadId(), element->GetAcknowledgeKey(),
                                          element->GetEvent()));
    }
    ASSERT_TRUE(element->GetEvent()->Wait(kKxDeadlineMs));
    CKxMemberProcess newcomer(channel);
    FillRingBehindAHeldHandler(poster.get(), holder.get());
    if (HasFatalFailure()) return;
    newcomer.StartJoin();
    ASSERT_TRUE(newcomer.Saw("joined", 1, kKxHoldLimitMs));
    holder->Kill();  // its removal gives the ring's room back
    std::uint64_t key = 0;
    ASSERT_TRUE(KxWaitUntil([&] { return KxQueuedNoticeKey(channel, &key); }))
        << "the notice was never queued";
    EXPECT_NE(0u, key);
    EXPECT_TRUE(poster->Saw("join", 3)) << "the newcomer was not announced";
    CIPCChannelLock lock(&silent);
    silent.RemoveParticipant(KxCurrentThreadId());
    factory->ReleaseAcknowledgeElement(element);
}

// ---- One process cannot make a kernel object ---------------------------------------------------

const char kEventFailure[] = "CKxEvent::CKxEvent -> could not create an event";

// This process cannot open a live member's receive event: its send to the member and its opening
// of the channel fail with the exception, and nobody evicts the member, who still hears the others.
TEST(LocalFailureTest, MemberWhoseEventThisProcessCannotOpenStaysRegistered) {
    const std::string channel = KxUniqueName("channel");
    CIPCCommunicationChannel local(channel.c_str());  // made first: it holds no record of them
    Member member = CKxMemberProcess::Joined(channel), other = CKxMemberProcess::Joined(channel);
    const std::uint32_t id = member->Id();
    char event[64];
    std::snprintf(event, sizeof(event), "KX IPCRcvEv 0x%08X", id);
    ASSERT_TRUE(KxArmFailingName(event));
    const CkxIPCMessage post;
    {
        CIPCChannelLock lock(&local);
        ExpectKxThrow<CKxEventException>([&] { local.AddMessage(1, &id, &post); }, kEventFailure);
    }
    ExpectKxThrow<CKxEventException>([&] { CIPCCommunicationChannel later(channel.c_str()); },
                                     kEventFailure);
    EXPECT_EQ((std::vector<std::uint32_t>{id, other->Id()}), KxChannelMembers(channel));
    EXPECT_EQ(1, other->SendWait(kKxPlainCode, 7, {id}));
    EXPECT_TRUE(member->Saw(KxLine("recv", {other->Id(), kKxPlainCode, 7})));
    EXPECT_EQ(0, KxQueuedRecords(channel));
}

// ---- A member dies holding the mutex half-way through acknowledging
// -------------------------------

// This thread sends through a channel object of its own (registered, watching nobody); the victim,
// a member process, acknowledges the synchronous message and stops between the state change and
// the sweep, holding the channel mutex: the done record is neither reported nor given back.
class DeadAcknowledgerTest : public testing::Test {
protected:
    void SetUp() override {
        CkxIPCMessage sync;
        sync.SetSenderID(KxCurrentThreadId());
        sync.SetAcknowledgeKey(m_sent->GetAcknowledgeKey());
        const std::uint32_t to = m_victim->Id();
        {
            CIPCChannelLock lock(&m_local);
            ASSERT_TRUE(m_local.AddParticipant(sync.GetSenderID(), m_sent->GetAcknowledgeKey(),
                                               m_sent->GetEvent()));
        }
        ASSERT_TRUE(m_sent->GetEvent()->Wait(kKxDeadlineMs)) << "the victim took the join notice";
        ASSERT_TRUE(m_victim->Arm("ring.acknowledge.before-sweep"));
        {
            CIPCChannelLock lock(&m_local);
            ASSERT_TRUE(m_local.AddMessage(1, &to, &sync));
        }
        ASSERT_TRUE(m_victim->WaitStopped());
    }
    void TearDown() override { m_factory->ReleaseAcknowledgeElement(m_sent); }

    const std::string m_channel = KxUniqueName("channel");
    const Member m_victim = CKxMemberProcess::Joined(m_channel);
    CIPCCommunicationChannel m_local{m_channel.c_str()};
    CIPCServiceFactorySingleton* const m_factory = CIPCServiceFactorySingleton::GetInstance();
    CKxIPCAcknowledgeEventPoolElement* const m_sent = m_factory->AcquireAcknowledgeElement();
};

// The next Lock finishes the acknowledgement and cannot open the sender's event. The exception
// leaves Lock with the mutex given back, or every process would wait on it for ever.
TEST_F(DeadAcknowledgerTest, ThrowWhileFinishingItReleasesTheMutex) {
    char sender[64];
    std::snprintf(sender, sizeof(sender), "KX IPCAckEv 0x%016llX",
                  static_cast<unsigned long long>(m_sent->GetAcknowledgeKey()));
    ASSERT_TRUE(KxArmFailingName(sender));
    m_victim->Kill();

    ExpectKxThrow<CKxEventException>([&] { m_local.Lock(); }, kEventFailure);
    CKxMutex mutex(m_channel + "_Mutex");
    EXPECT_TRUE(TakeOnOtherThread(&mutex)) << "the mutex was left owned";
    EXPECT_FALSE(m_local.Unlock()) << "the failed Lock was counted";
}

// An observer (kxipc members, stat, watch: the snapshot) takes the abandoned mutex first and writes
// nothing; the next member to lock must still finish the acknowledgement and release the sender.
TEST_F(DeadAcknowledgerTest, ObserverTakingTheMutexFirstLeavesTheRepairToTheNextLock) {
    m_victim->Kill();
    ASSERT_EQ(2u, KxChannelMembers(m_channel).size()) << "the observer read the channel";
    {
        CIPCChannelLock lock(&m_local);
        ASSERT_TRUE(lock.IsHeld());
    }
    EXPECT_TRUE(m_sent->GetEvent()->Wait(0)) << "the sender was left to its time-out";
    EXPECT_EQ(0, KxQueuedRecords(m_channel)) << "the done record's room did not come back";
}

}  // namespace
