// Joining, leaving and dying, as every other member sees it, through kxipc.dll.
#include <gtest/gtest.h>

#include <future>

#include "KxCountingParticipant.h"
#include "KxMemberProcess.h"
#include "kxipc.h"

namespace {

using Member = std::unique_ptr<CKxMemberProcess>;

}  // namespace

// Members that join at once race to build the channel's objects in their processes: every
// registration must stay, so that each member meets the two others.
TEST(KxParticipantMembership, ConcurrentFirstJoinsKeepEveryRegistration) {
    const std::string channel = KxUniqueName("channel");
    std::vector<Member> members;
    for (int i = 0; i < 3; ++i) members.emplace_back(new CKxMemberProcess(channel));
    std::vector<std::future<unsigned int>> joins;
    for (Member& member : members) {
        joins.push_back(std::async(std::launch::async, [&member] { return member->Join(); }));
    }
    for (auto& join : joins) ASSERT_NE(0u, join.get());
    for (Member& member : members) {
        for (Member& other : members) {
            EXPECT_TRUE(other == member || member->Saw(KxLine("join", {other->Id()})))
                << member->Output();
        }
    }
}

// A member that leaves in order and one that is killed: every other member must see each go
// exactly once and drop it from its list.
TEST(KxParticipantMembership, LeavingAndKilledMembersAreReportedOnceAndDropOutOfEveryList) {
    const std::string channel = KxUniqueName("channel");
    Member stay = CKxMemberProcess::Joined(channel), leaver = CKxMemberProcess::Joined(channel),
           killed = CKxMemberProcess::Joined(channel), observer = CKxMemberProcess::Joined(channel);
    const unsigned int gone[] = {leaver->Id(), killed->Id()};
    leaver->Leave();
    ASSERT_TRUE(leaver->Saw("left"));
    killed->Kill();
    for (unsigned int id : gone) {
        ASSERT_TRUE(stay->Saw(KxLine("quit", {id})));
        ASSERT_TRUE(observer->Saw(KxLine("quit", {id})));
    }
    // A null list means the members a participant knows of: a stale entry would refuse the send.
    EXPECT_EQ(1, observer->SendWait(kKxPlainCode, 1));
    EXPECT_TRUE(stay->Saw(KxLine("recv", {observer->Id(), kKxPlainCode, 1})));
    for (unsigned int id : gone) {
        EXPECT_EQ(0, stay->SendWait(kKxPlainCode, 2, {id}));
        EXPECT_FALSE(observer->Post(kKxPlainCode, 3, {id}));
        // Those round trips came after the departure; nobody reported it a second time.
        EXPECT_EQ(1u, stay->Count(KxLine("quit", {id})));
        EXPECT_EQ(1u, observer->Count(KxLine("quit", {id})));
    }
    EXPECT_EQ(0u, leaver->Count("sync") + leaver->Count("recv"));
}

// A member that unregisters itself while another is busy in a handler, followed by a join: the
// busy member rebuilds its list from the channel for the join before it gets to the leaver's
// thread end. It must still report the departure and close the leaver's records.
TEST(KxParticipantMembership, MemberGoneBeforeItsEndWasSeenIsStillReportedOnce) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant busy(channel.c_str()), leaver(channel.c_str()), sender(channel.c_str());
    CKxMemberProcess joiner(channel);
    busy.InitializeParticipant();
    leaver.InitializeParticipant();
    sender.InitializeParticipant();
    busy.Hold();
    const unsigned int busyId = busy.GetParticipantID();
    std::future<bool> send = std::async(
        std::launch::async, [&] { return sender.SendIPMessage(1, &busyId, kKxPlainCode, 1); });
    ASSERT_TRUE(busy.WaitHeld(kKxDeadlineMs));
    const unsigned int quitsBefore = busy.quits;

    leaver.UninitializeParticipant();
    // The joiner's notice is queued before its waiting thread meets the members present.
    joiner.StartJoin();
    ASSERT_TRUE(joiner.Saw("join", 2, kKxDeadlineMs)) << joiner.Output();
    busy.Release();
    ASSERT_TRUE(joiner.Saw("joined", 1, kKxDeadlineMs));
    EXPECT_TRUE(send.get());
    EXPECT_EQ(quitsBefore + 1, busy.quits.load());
    // A second report would come from the leaver's thread object, had it stayed in the wait.
    ASSERT_TRUE(sender.SendIPMessage(1, &busyId, kKxPlainCode, 2));
    EXPECT_EQ(quitsBefore + 1, busy.quits.load());
}
