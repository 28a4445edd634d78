// Departures with messages pending and a process frozen holding a channel, through kxipc.dll.
#include <gtest/gtest.h>

#include <future>

#include "KxCountingParticipant.h"
#include "KxMemberProcess.h"
#include "KxScopeGuard.h"
#include "kxipc.h"

namespace {

using Member = std::unique_ptr<CKxMemberProcess>;

// Deadline of the waits for what a test checks: well past the library's 25 000 ms waits.
const DWORD kDeadlineMs = 60000;

}  // namespace

TEST(KxParticipantFailure, MemberLeavingWithASyncMessagePendingReleasesItsSender) {
    const std::string channel = KxUniqueName("channel");
    Member leaver = CKxMemberProcess::Joined(channel, {"hold-quit"});
    Member doomed = CKxMemberProcess::Joined(channel), witness = CKxMemberProcess::Joined(channel),
           sender = CKxMemberProcess::Joined(channel);
    const unsigned int self = sender->Id();

    // The leaver's waiting thread is kept busy in OnQuit, outside any drain of its messages.
    doomed->Kill();
    ASSERT_TRUE(leaver->Saw(KxLine("quit", {doomed->Id()})));

    sender->Send(kKxHoldCode, 6, {leaver->Id(), witness->Id()});
    // One record lists both recipients: once the witness has acknowledged it, it waits for the
    // leaver alone.
    ASSERT_TRUE(witness->Saw(KxLine("sync", {self, kKxHoldCode, 6})));
    witness->Release();
    ASSERT_TRUE(witness->Saw(KxLine("recv", {self, kKxHoldCode, 6})));
    EXPECT_EQ(0u, sender->Count("sent 6"));

    // The member prints the line just before UninitializeParticipant sets the stop, which nothing
    // outside the library can observe. Releasing the handler a second later keeps that window out
    // of reach even on a loaded machine; had the stop still come second, the message would reach
    // the held OnSyncMessage and the checks below would fail, not pass by luck.
    leaver->Leave();
    ASSERT_TRUE(leaver->Saw("leaving"));
    Sleep(1000);
    leaver->Release();
    EXPECT_TRUE(sender->Saw("sent 6 1"));
    EXPECT_TRUE(leaver->Saw("left"));
    EXPECT_EQ(0u, leaver->Count("sync") + leaver->Count("recv")) << leaver->Output();
    EXPECT_TRUE(sender->Saw(KxLine("quit", {leaver->Id()})));
}

// The stop comes while the waiting thread drains what queued up behind a held handler: the drain
// ends first. The margin before the release is that of the test above.
TEST(KxParticipantFailure, StopDuringADrainEndsTheThreadOnlyAfterTheDrain) {
    const std::string channel = KxUniqueName("channel");
    Member leaver = CKxMemberProcess::Joined(channel), sender = CKxMemberProcess::Joined(channel);
    const unsigned int self = sender->Id();
    sender->Send(kKxHoldCode, 1, {leaver->Id()});
    ASSERT_TRUE(leaver->Saw(KxLine("sync", {self, kKxHoldCode, 1})));
    for (unsigned long long param = 2; param <= 4; ++param) {
        ASSERT_TRUE(sender->Post(kKxPlainCode, param, {leaver->Id()}));
    }
    leaver->Leave();
    ASSERT_TRUE(leaver->Saw("leaving"));
    Sleep(1000);
    leaver->Release();
    ASSERT_TRUE(leaver->Saw("left"));
    EXPECT_TRUE(leaver->InOrder({KxLine("recv", {self, kKxHoldCode, 1}),
                                 KxLine("recv", {self, kKxPlainCode, 2}),
                                 KxLine("recv", {self, kKxPlainCode, 3}),
                                 KxLine("recv", {self, kKxPlainCode, 4}), "left"}))
        << leaver->Output();
}

// Participants of different channels never wait on each other: a sender of this process stuck on
// a channel whose mutex a frozen process holds does not keep this process's participants of
// another channel from joining, sending and leaving.
TEST(KxParticipantFailure, ChannelHeldByAFrozenProcessStallsNoOtherChannelOfTheProcess) {
    const std::string stuck = KxUniqueName("stuck"), channel = KxUniqueName("channel");
    CKxCountingParticipant stuckSender(stuck.c_str()), joiner(channel.c_str());
    stuckSender.InitializeParticipant();
    Member member = CKxMemberProcess::Joined(channel);
    const unsigned int stuckSelf = stuckSender.GetParticipantID(), to = member->Id();
    const std::chrono::milliseconds bound(kDeadlineMs);
    std::future<bool> post, send;  // waited for at the end, once the mutex is given back
    std::future<void> join, leave;

    // This thread holds the mutex as the frozen process would.
    const HANDLE mutex = CreateMutexA(nullptr, FALSE /*bInitialOwner*/, (stuck + "_Mutex").c_str());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, kDeadlineMs));
    TKxScopeGuard giveBack([mutex] {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    post = std::async(std::launch::async,
                      [&] { return stuckSender.PostIPMessage(1, &stuckSelf, kKxPlainCode, 1); });
    // Blocked on the mutex, with whatever the post holds of this process meanwhile.
    ASSERT_EQ(std::future_status::timeout, post.wait_for(std::chrono::milliseconds(500)));

    join = std::async(std::launch::async, [&] { joiner.InitializeParticipant(); });
    ASSERT_EQ(std::future_status::ready, join.wait_for(bound));
    const unsigned int joinerId = joiner.GetParticipantID();
    EXPECT_TRUE(member->Saw(KxLine("join", {joinerId, 1})));
    send = std::async(std::launch::async,
                      [&] { return joiner.SendIPMessage(1, &to, kKxPlainCode, 2); });
    ASSERT_EQ(std::future_status::ready, send.wait_for(bound));
    EXPECT_TRUE(send.get());
    EXPECT_TRUE(member->Saw(KxLine("recv", {joinerId, kKxPlainCode, 2})));
    leave = std::async(std::launch::async, [&] { joiner.UninitializeParticipant(); });
    ASSERT_EQ(std::future_status::ready, leave.wait_for(bound));
    EXPECT_TRUE(member->Saw(KxLine("quit", {joinerId})));
    EXPECT_EQ(std::future_status::timeout, post.wait_for(std::chrono::milliseconds(0)));
}
