// Synchronous sends through kxipc.dll: when they return, and the dispatch that goes on while a
// handler waits in one.
#include <gtest/gtest.h>

#include <future>

#include "KxCountingParticipant.h"
#include "KxMemberProcess.h"
#include "kxipc.h"

namespace {

using Member = std::unique_ptr<CKxMemberProcess>;

}  // namespace

// One record for three entries, the last two for one member: the send returns only after the third
// acknowledgement, and the member listed twice handles the message twice.
TEST(KxParticipantSend,
     SyncSendReturnsOnlyAfterEveryEntryIsAcknowledgedOneListedTwiceHandledTwice) {
    const std::string channel = KxUniqueName("channel");
    Member first = CKxMemberProcess::Joined(channel), twice = CKxMemberProcess::Joined(channel),
           sender = CKxMemberProcess::Joined(channel);
    const std::string sync = KxLine("sync", {sender->Id(), kKxHoldCode, 7});
    const std::string recv = KxLine("recv", {sender->Id(), kKxHoldCode, 7});

    sender->Send(kKxHoldCode, 7, {first->Id(), twice->Id(), twice->Id()});
    ASSERT_TRUE(first->Saw(sync));
    ASSERT_TRUE(twice->Saw(sync));
    first->Release();
    // OnReceive follows the acknowledgement.
    ASSERT_TRUE(first->Saw(recv));
    twice->Release();
    // The first entry is acknowledged (its OnReceive has run); the second is now being held.
    ASSERT_TRUE(twice->Saw(recv));
    ASSERT_TRUE(twice->Saw(sync, 2));
    EXPECT_EQ(0u, sender->Count("sent 7")) << "returned before every acknowledgement";
    twice->Release();
    EXPECT_TRUE(sender->Saw("sent 7 1"));
    EXPECT_TRUE(twice->Saw(recv, 2));
}

// The send waits on the waiting thread, which handles messages meanwhile: the member's own
// synchronous message reaches its OnSyncMessage inside the send, from OnReceive and from inside
// OnSyncMessage alike (each message is acknowledged by its own handler's end, not by the end of
// the handler whose send it was handled in).
TEST(KxParticipantSend, SyncSendToItselfFromOnReceiveIsHandledInsideTheSend) {
    Member member = CKxMemberProcess::Joined(KxUniqueName("channel"));
    const unsigned int self = member->Id();
    // Handled, acknowledged and received inside the send, which then returned true.
    ASSERT_TRUE(member->Post(kKxSelfCode, 5, {self}));
    ASSERT_TRUE(member->Saw(KxLine("handler-sent", {kKxPlainCode, 1}))) << member->Output();
    EXPECT_TRUE(member->InOrder(
        {KxLine("recv", {self, kKxSelfCode, 5}), KxLine("sync", {self, kKxPlainCode, 5}),
         KxLine("recv", {self, kKxPlainCode, 5}), KxLine("handler-sent", {kKxPlainCode, 1})}))
        << member->Output();
    member->Send(kKxNestedCode, self, {self});  // its OnSyncMessage sends to itself in turn
    ASSERT_TRUE(member->Saw(KxLine("sent", {self, 1})));
    EXPECT_EQ(2u, member->Count(KxLine("handler-sent", {kKxPlainCode, 1})));
    EXPECT_LT(member->Took(KxLine("sent", {self, 1})), kKxPromptMs) << "sat out the library's wait";
}

// Every wait on a party that does not answer lasts the full 25 000 ms, and an answer that comes
// after it reaches nobody else. One window of that wait serves three cases at once: a send to a
// holding member, a join that a holding member cannot acknowledge, and a handler waiting in a send
// that meets that join.
TEST(KxParticipantSend, UnansweredWaitsLastTheFullTimeOutAndALateAnswerReleasesNoLaterSendSlow) {
    const std::string channel = KxUniqueName("channel");
    Member holder = CKxMemberProcess::Joined(channel), second = CKxMemberProcess::Joined(channel),
           sender = CKxMemberProcess::Joined(channel), nested = CKxMemberProcess::Joined(channel);
    CKxCountingParticipant answerer(channel.c_str()), reporter(channel.c_str());
    answerer.InitializeParticipant();
    reporter.InitializeParticipant();
    const unsigned int from = sender->Id();

    sender->Send(kKxHoldCode, 1, {holder->Id()});
    ASSERT_TRUE(holder->Saw(KxLine("sync", {from, kKxHoldCode, 1})));
    // A report filled after its sender has left still tells the target that answered.
    const unsigned int targets[] = {answerer.GetParticipantID(), holder->Id()};
    kxipc_send_report report;
    std::future<bool> reported = std::async(
        std::launch::async, [&] { return reporter.SendIPMessage(2, targets, 1, 9, &report); });
    KxWaitUntil([&] { return answerer.syncs != 0; });
    reporter.UninitializeParticipant();
    second->Send(kKxNestedCode, holder->Id(), {nested->Id()});  // queued behind the held message
    ASSERT_TRUE(nested->Saw(KxLine("sync", {second->Id(), kKxNestedCode, holder->Id()})));
    Member newcomer(new CKxMemberProcess(channel));
    const unsigned int joined = newcomer->Join(kKxHoldLimitMs);
    ASSERT_NE(0u, joined);
    EXPECT_GE(newcomer->Took("joined"), 24500u);
    ASSERT_TRUE(sender->Saw("sent 1 1"));
    EXPECT_GE(sender->Took("sent 1"), 24500u);
    EXPECT_EQ(0u, holder->Count(KxLine("recv", {from, kKxHoldCode, 1}))) << "acknowledged";
    ASSERT_TRUE(reported.get());
    EXPECT_EQ(static_cast<uint32_t>(KXIPC_TARGET_ACKNOWLEDGED), report.outcomes[0]);

    // The late acknowledgement of the first send comes while the second waits.
    sender->Send(kKxHoldCode, 2, {second->Id()});
    ASSERT_TRUE(second->Saw(KxLine("sync", {from, kKxHoldCode, 2})));
    holder->Release();
    ASSERT_TRUE(holder->Saw(KxLine("recv", {from, kKxHoldCode, 1})));
    EXPECT_EQ(1, sender->SendWait(kKxPlainCode, 3, {holder->Id()}));
    EXPECT_EQ(0u, sender->Count("sent 2")) << "released by the first send's acknowledgement";
    second->Release();
    EXPECT_TRUE(sender->Saw("sent 2 1"));

    ASSERT_TRUE(nested->Saw(KxLine("handler-sent", {kKxPlainCode, 1})));
    EXPECT_TRUE(nested->InOrder({KxLine("join", {joined, 1}), "handler-sent"})) << nested->Output();
}
