// Synchronous sends through kxipc.dll: when they return, and the dispatch that goes on while a
// handler waits in one.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "KxMemberProcess.h"
#include "KxRecordingParticipant.h"

namespace {

using Recorder = CKxRecordingParticipant;

bool StillWaiting(std::future<bool>& send) {
    return send.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
}

bool EndsWithin(std::future<bool>& send, DWORD boundMs) {
    return send.wait_for(std::chrono::milliseconds(boundMs)) == std::future_status::ready;
}

}  // namespace

TEST(KxParticipantSend, SyncSendToThreeReturnsOnlyAfterTheThirdAcknowledgement) {
    const std::string channel = KxUniqueName("channel");
    const std::string releaseName = KxUniqueName("release");
    KxHandle release = KxCreateReleaseEvent(releaseName);
    ASSERT_TRUE(release);
    auto quick1 = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(quick1);
    auto quick2 = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(quick2);
    auto holder = CKxMemberProcess::Start(channel, {"hold-sync=" + releaseName});
    ASSERT_TRUE(holder);
    Recorder sender(channel.c_str());
    sender.InitializeParticipant();
    const unsigned int self = sender.GetParticipantID();

    const unsigned int ids[3] = {quick1->Id(), quick2->Id(), holder->Id()};
    std::future<bool> sending = std::async(
        std::launch::async, [&] { return sender.SendIPMessage(3, ids, kKxMarkerCode, 7); });
    // OnReceive follows the acknowledgement: two of three have acknowledged.
    ASSERT_TRUE(quick1->Saw(KxRecvLine(self, kKxMarkerCode) + " 7"));
    ASSERT_TRUE(quick2->Saw(KxRecvLine(self, kKxMarkerCode) + " 7"));
    ASSERT_TRUE(holder->Saw(KxSyncLine(self, kKxMarkerCode) + " 7"));
    EXPECT_TRUE(StillWaiting(sending));

    SetEvent(release.get());
    ASSERT_TRUE(EndsWithin(sending, kKxHangBoundMs));
    EXPECT_TRUE(sending.get());
    EXPECT_TRUE(holder->Saw(KxRecvLine(self, kKxMarkerCode)));
}

TEST(KxParticipantSend, HandlersInTwoProcessesSendingToEachOtherBothComplete) {
    const std::string channel = KxUniqueName("channel");
    auto pinger = CKxMemberProcess::Start(channel, {"ping"});
    ASSERT_TRUE(pinger);
    auto ponger = CKxMemberProcess::Start(channel, {"pong"});
    ASSERT_TRUE(ponger);
    const unsigned int pingerId = pinger->Id();
    const unsigned int pongerId = ponger->Id();
    Recorder kicker(channel.c_str());
    kicker.InitializeParticipant();

    // The pinger's OnReceive sends to the ponger, whose OnSyncMessage sends back before it lets the
    // ping be acknowledged: each send completes only if the other side's waiting thread handles
    // messages while it waits in its own.
    ASSERT_TRUE(kicker.PostIPMessage(1, &pingerId, kKxKickCode, pongerId));
    ASSERT_TRUE(pinger->Saw(KxHandlerSentLine(kKxPingCode, true))) << pinger->Output();
    ASSERT_TRUE(ponger->Saw(KxHandlerSentLine(kKxPongCode, true))) << ponger->Output();
    ASSERT_TRUE(ponger->Saw(KxRecvLine(pingerId, kKxPingCode)));

    // The pong reached the pinger inside its pending send; the ponger's send returned before it
    // acknowledged the ping. A sender that only blocked would show the reverse order, 25 s later.
    const int pongHandled = pinger->LineIndex(KxSyncLine(pongerId, kKxPongCode));
    ASSERT_GE(pongHandled, 0) << pinger->Output();
    EXPECT_LT(pongHandled, pinger->LineIndex(KxHandlerSentLine(kKxPingCode, true)));
    EXPECT_LT(ponger->LineIndex(KxHandlerSentLine(kKxPongCode, true)),
              ponger->LineIndex(KxRecvLine(pingerId, kKxPingCode)));
}

TEST(KxParticipantSend, SyncSendToItselfFromOnReceiveIsHandledInsideTheSend) {
    const std::string channel = KxUniqueName("channel");
    Recorder participant(channel.c_str());
    participant.SetHook([](Recorder& self, const KxParticipantEvent& event) {
        if (event.kind != KxParticipantEvent::kReceive || event.code != kKxKickCode) return;
        const unsigned int own = self.GetParticipantID();
        self.AddNote(self.SendIPMessage(1, &own, kKxMarkerCode, 5) ? 1 : 0);
    });
    participant.InitializeParticipant();
    const unsigned int self = participant.GetParticipantID();
    ASSERT_TRUE(participant.PostIPMessage(1, &self, kKxKickCode, 0));
    ASSERT_TRUE(participant.WaitFor(Recorder::AnyOf(KxParticipantEvent::kNote), kKxHangBoundMs));

    // Handled, acknowledged and received inside the send, which then returned true.
    const std::vector<KxParticipantEvent> events = participant.Events();
    ASSERT_EQ(4u, events.size());
    EXPECT_TRUE(Recorder::Receive(self, kKxKickCode)(events[0]));
    EXPECT_TRUE(Recorder::Sync(self, kKxMarkerCode)(events[1]));
    EXPECT_EQ(5u, events[1].param);
    EXPECT_TRUE(Recorder::Receive(self, kKxMarkerCode)(events[2]));
    EXPECT_TRUE(Recorder::Note(1)(events[3]));
    for (const KxParticipantEvent& event : events) EXPECT_EQ(self, event.threadId);
    participant.UninitializeParticipant();
}

TEST(KxParticipantSend, RecipientListedTwiceHandlesItTwiceAndIsAwaitedTwice) {
    const std::string channel = KxUniqueName("channel");
    const std::string releaseName = KxUniqueName("release");
    KxHandle release = KxCreateReleaseEvent(releaseName);
    ASSERT_TRUE(release);
    auto holder = CKxMemberProcess::Start(channel, {"hold-sync=" + releaseName});
    ASSERT_TRUE(holder);
    Recorder sender(channel.c_str());
    sender.InitializeParticipant();
    const unsigned int self = sender.GetParticipantID();

    const unsigned int twice[2] = {holder->Id(), holder->Id()};
    std::future<bool> sending = std::async(
        std::launch::async, [&] { return sender.SendIPMessage(2, twice, kKxMarkerCode, 9); });
    ASSERT_TRUE(holder->Saw(KxSyncLine(self, kKxMarkerCode)));
    EXPECT_TRUE(StillWaiting(sending));
    SetEvent(release.get());
    // The first entry is acknowledged (its OnReceive has run); the second is now being held.
    ASSERT_TRUE(holder->Saw(KxRecvLine(self, kKxMarkerCode)));
    ASSERT_TRUE(holder->Saw(KxSyncLine(self, kKxMarkerCode), 2));
    EXPECT_TRUE(StillWaiting(sending));

    SetEvent(release.get());
    ASSERT_TRUE(EndsWithin(sending, kKxHangBoundMs));
    EXPECT_TRUE(sending.get());
    EXPECT_TRUE(holder->Saw(KxRecvLine(self, kKxMarkerCode), 2));
}

TEST(KxParticipantSend, SendReturnsTrueAfterTheTimeOutWhileTheRecipientHoldsSlow) {
    const std::string channel = KxUniqueName("channel");
    const std::string releaseName = KxUniqueName("release");
    KxHandle release = KxCreateReleaseEvent(releaseName);
    ASSERT_TRUE(release);
    auto holder = CKxMemberProcess::Start(channel, {"hold-sync=" + releaseName});
    ASSERT_TRUE(holder);
    const unsigned int holderId = holder->Id();
    Recorder sender(channel.c_str());
    sender.InitializeParticipant();
    const unsigned int self = sender.GetParticipantID();

    std::future<bool> sending = std::async(
        std::launch::async, [&] { return sender.SendIPMessage(1, &holderId, kKxMarkerCode, 3); });
    ASSERT_TRUE(holder->Saw(KxSyncLine(self, kKxMarkerCode)));
    ASSERT_TRUE(EndsWithin(sending, kKxHoldLimitMs / 2));
    EXPECT_TRUE(sending.get());
    // It gave up waiting: the recipient still holds the message unacknowledged.
    EXPECT_EQ(0u, holder->CountLines(KxRecvLine(self, kKxMarkerCode)));

    SetEvent(release.get());
    EXPECT_TRUE(holder->Saw(KxRecvLine(self, kKxMarkerCode)));
    sender.UninitializeParticipant();
}
