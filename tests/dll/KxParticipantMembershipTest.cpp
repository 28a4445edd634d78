// Joining, leaving, dying and joining again, as every other member sees it, through kxipc.dll.
#include <gtest/gtest.h>

#include <atomic>

#include "KxMemberProcess.h"
#include "KxRecordingParticipant.h"

namespace {

using Recorder = CKxRecordingParticipant;

// Members 'stay' and 'leaver' in child processes, the observer in this one; the leaver leaves in
// order or is killed. Every other member must see it go exactly once and drop it from its list.
void ExpectDepartureSeenOnceEverywhere(bool killed) {
    const std::string channel = KxUniqueName("channel");
    auto stay = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(stay);
    auto leaver = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(leaver);
    Recorder observer(channel.c_str());
    observer.InitializeParticipant();
    const unsigned int self = observer.GetParticipantID();
    const unsigned int gone = leaver->Id();
    const unsigned int stayId = stay->Id();

    if (killed) {
        leaver->Kill();
    } else {
        leaver->BeginUninitialize();
        ASSERT_TRUE(leaver->Saw("uninitialised"));
    }
    ASSERT_TRUE(observer.WaitFor(Recorder::Quit(gone), kKxHangBoundMs));
    ASSERT_TRUE(stay->Saw(KxQuitLine(gone)));

    // A null list means the members a participant knows of: a stale entry would refuse the send.
    EXPECT_TRUE(observer.SendIPMessage(0, nullptr, kKxMarkerCode, 1));
    EXPECT_TRUE(stay->Saw(KxRecvLine(self, kKxMarkerCode) + " 1"));
    EXPECT_EQ(1, stay->Send(kKxMarkerCode, 2));
    EXPECT_TRUE(observer.WaitFor(Recorder::Receive(stayId, kKxMarkerCode), kKxHangBoundMs));
    EXPECT_FALSE(observer.SendIPMessage(1, &gone, kKxMarkerCode, 3));
    EXPECT_EQ(0, stay->Send(kKxMarkerCode, 4, {gone}));

    // Those round trips came after the departure; nobody reported it a second time.
    EXPECT_EQ(1u, observer.Count(Recorder::Quit(gone)));
    EXPECT_EQ(1u, stay->CountLines(KxQuitLine(gone)));
    if (!killed) {
        EXPECT_EQ(0u, leaver->CountLines("sync "));
        EXPECT_EQ(0u, leaver->CountLines("recv "));
    }
    observer.UninitializeParticipant();
}

}  // namespace

TEST(KxParticipantMembership, FirstMemberMeetsNobodyAndStartsAtOnce) {
    const std::string channel = KxUniqueName("channel");
    Recorder first(channel.c_str());
    EXPECT_EQ(0u, first.GetParticipantID());
    // Nobody is there to acknowledge the join: the start must not wait for an acknowledgement.
    EXPECT_TRUE(KxRunsWithin(kKxHangBoundMs, [&] { first.InitializeParticipant(); }));
    EXPECT_NE(0u, first.GetParticipantID());
    EXPECT_TRUE(first.Events().empty());

    // It is a member all the same: a later joiner meets it.
    auto later = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(later);
    EXPECT_TRUE(later->Saw(KxJoinLine(first.GetParticipantID(), false)));
    EXPECT_TRUE(first.WaitFor(Recorder::Join(later->Id(), true), kKxHangBoundMs));
}

TEST(KxParticipantMembership, JoinerMeetsMembersInArrayOrderAndEachSeesItOnce) {
    const std::string channel = KxUniqueName("channel");
    std::vector<std::unique_ptr<CKxMemberProcess>> members;
    for (int i = 0; i < 3; ++i) {
        members.push_back(CKxMemberProcess::Start(channel));
        ASSERT_TRUE(members.back());
    }

    Recorder joiner(channel.c_str());
    joiner.InitializeParticipant();
    const unsigned int self = joiner.GetParticipantID();
    // All of them before InitializeParticipant returned, on the waiting thread, in joining order.
    const std::vector<KxParticipantEvent> events = joiner.Events();
    ASSERT_EQ(3u, events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_TRUE(Recorder::Join(members[i]->Id(), false)(events[i])) << "event " << i;
        EXPECT_EQ(self, events[i].threadId);
    }

    for (auto& member : members) EXPECT_TRUE(member->Saw(KxJoinLine(self, true)));
    // Queued behind the join notices: once it has arrived, each notice has been handled.
    ASSERT_TRUE(joiner.PostIPMessage(0, nullptr, kKxMarkerCode, 7));
    for (auto& member : members) {
        EXPECT_TRUE(member->Saw(KxRecvLine(self, kKxMarkerCode) + " 7"));
        EXPECT_EQ(1u, member->CountLines(KxJoinLine(self, true)));
        EXPECT_EQ(0u, member->CountLines("sync ")) << member->Output();
        EXPECT_EQ(1u, member->CountLines("recv ")) << member->Output();
    }
    EXPECT_EQ(0u, joiner.Count(Recorder::AnyOf(KxParticipantEvent::kReceive)));
}

TEST(KxParticipantMembership, LeavingMemberIsReportedOnceAndDropsOutOfEveryList) {
    ExpectDepartureSeenOnceEverywhere(false);
}

TEST(KxParticipantMembership, KilledMemberIsReportedOnceAndDropsOutOfEveryList) {
    ExpectDepartureSeenOnceEverywhere(true);
}

TEST(KxParticipantMembership, ReinitialisedParticipantRejoinsUnderANewId) {
    const std::string channel = KxUniqueName("channel");
    auto other = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(other);
    const unsigned int otherId = other->Id();
    Recorder participant(channel.c_str());
    EXPECT_EQ(0u, participant.GetParticipantID());

    participant.InitializeParticipant();
    const unsigned int first = participant.GetParticipantID();
    std::vector<KxParticipantEvent> events = participant.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_TRUE(Recorder::Join(otherId, false)(events[0]));
    // The identifier is that of the waiting thread, which makes the handler calls.
    EXPECT_EQ(first, events[0].threadId);
    EXPECT_NE(GetCurrentThreadId(), first);
    EXPECT_TRUE(other->Saw(KxJoinLine(first, true)));

    participant.UninitializeParticipant();
    EXPECT_EQ(first, participant.GetParticipantID());
    EXPECT_TRUE(other->Saw(KxQuitLine(first)));

    participant.InitializeParticipant();
    const unsigned int second = participant.GetParticipantID();
    EXPECT_NE(0u, second);
    EXPECT_NE(first, second);
    events = participant.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_TRUE(Recorder::Join(otherId, false)(events[1]));
    EXPECT_EQ(second, events[1].threadId);
    EXPECT_TRUE(other->Saw(KxJoinLine(second, true)));

    // Only the new identifier is a member, and messages carry it.
    EXPECT_EQ(0, other->Send(kKxMarkerCode, 1, {first}));
    EXPECT_EQ(1, other->Send(kKxMarkerCode, 2, {second}));
    EXPECT_EQ(1u, participant.Count(Recorder::Sync(otherId, kKxMarkerCode)));
    ASSERT_TRUE(participant.SendIPMessage(1, &otherId, kKxMarkerCode, 3));
    EXPECT_TRUE(other->Saw(KxSyncLine(second, kKxMarkerCode) + " 3"));
    EXPECT_EQ(1u, other->CountLines(KxQuitLine(first)));
    participant.UninitializeParticipant();
}

TEST(KxParticipantMembership, HandlersRunOnTheWaitingThreadInASingleThreadedApartment) {
    const std::string channel = KxUniqueName("channel");
    Recorder participant(channel.c_str());
    std::atomic<long> multiThreaded(E_FAIL), apartmentThreaded(E_FAIL);
    participant.SetHook([&](Recorder& self, const KxParticipantEvent& event) {
        if (event.kind != KxParticipantEvent::kReceive) return;
        // A thread already in a single-threaded apartment cannot change its model, and joining
        // the same model again only counts one more initialisation.
        multiThreaded = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        const HRESULT again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(again)) CoUninitialize();
        apartmentThreaded = again;
        self.AddNote(1);
    });
    participant.InitializeParticipant();
    const unsigned int self = participant.GetParticipantID();
    ASSERT_TRUE(participant.PostIPMessage(1, &self, kKxMarkerCode, 0));
    ASSERT_TRUE(participant.WaitFor(Recorder::Note(1), kKxHangBoundMs));
    EXPECT_EQ(RPC_E_CHANGED_MODE, multiThreaded.load());
    EXPECT_EQ(S_FALSE, apartmentThreaded.load());
    EXPECT_EQ(self, participant.Events().front().threadId);
    participant.UninitializeParticipant();
}
