// Departures with messages pending, members whose process died unwatched and a process frozen
// holding a channel, through kxipc.dll.
#include <gtest/gtest.h>

#include <future>

#include "KxCountingParticipant.h"
#include "KxMemberProcess.h"
#include "KxScopeGuard.h"
#include "kxipc.h"

namespace {

using Member = std::unique_ptr<CKxMemberProcess>;

class CKxSilentParticipant : public CkxIPCParticipant {
public:
    using CkxIPCParticipant::CkxIPCParticipant;

protected:
    void OnJoin(unsigned int, bool) override {}
    void OnQuit(unsigned int) override {}
    void OnSyncMessage(unsigned int, unsigned int, unsigned long long) override {}
    void OnReceive(unsigned int, unsigned int, unsigned long long) override {}
};

// args: channel. Two members of it in this one process; prints "ids <a> <b>" once both have
// joined, then waits to be killed.
KX_CHILD_ROLE(KxTwoMembersOfOneProcess) {
    CKxSilentParticipant first(args.at(0).c_str()), second(args.at(0).c_str());
    first.InitializeParticipant();
    second.InitializeParticipant();
    KxSay("ids %u %u", first.GetParticipantID(), second.GetParticipantID());
    for (std::string ignored; KxReadLine(&ignored);) {
    }
    return 0;
}

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

TEST(KxParticipantFailure, JoinerDropsMembersWhoseThreadsEndedUnwatched) {
    const std::string channel = KxUniqueName("channel");
    // Both members live in one process: when it dies, no member is left to notice.
    auto pair = CKxChildProcess::Role("KxTwoMembersOfOneProcess", {channel});
    std::string line;
    ASSERT_TRUE(pair->WaitForLine("ids ", kKxStartTimeoutMs, &line));
    unsigned int staleA = 0, staleB = 0;
    ASSERT_EQ(2, std::sscanf(line.c_str(), "ids %u %u", &staleA, &staleB));

    // This process keeps the member segment, and so its contents, alive across the death. Its
    // words: header, member count, then the identifiers in joining order.
    const HANDLE segment =
        OpenFileMappingA(FILE_MAP_READ, FALSE /*bInheritHandle*/,
                         ("TKxInterProcessGrowArray" + channel + "_Participant_IDs_Array").c_str());
    ASSERT_TRUE(segment);
    const volatile DWORD* words =
        static_cast<const DWORD*>(MapViewOfFile(segment, FILE_MAP_READ, 0, 0, 0 /*whole*/));
    ASSERT_TRUE(words);
    pair->Kill();
    EXPECT_EQ(2u, words[1]);
    EXPECT_EQ(staleA, words[2]);
    EXPECT_EQ(staleB, words[3]);

    // A join notice to the dead would never be acknowledged: the join would miss its bound.
    Member joiner = CKxMemberProcess::Joined(channel);
    EXPECT_EQ(0u, joiner->Count("join"));
    EXPECT_EQ(1u, words[1]);
    EXPECT_EQ(joiner->Id(), words[2]);
    EXPECT_EQ(0, joiner->SendWait(kKxPlainCode, 1, {staleA}));

    // The channel works on: a newcomer meets only the joiner, and both exchange messages.
    Member newcomer = CKxMemberProcess::Joined(channel);
    EXPECT_EQ(1u, newcomer->Count("join"));
    EXPECT_TRUE(joiner->Saw(KxLine("join", {newcomer->Id(), 1})));
    EXPECT_EQ(1, joiner->SendWait(kKxPlainCode, 2));
    EXPECT_TRUE(newcomer->Saw(KxLine("recv", {joiner->Id(), kKxPlainCode, 2})));
    EXPECT_EQ(1, newcomer->SendWait(kKxPlainCode, 3));
    EXPECT_TRUE(joiner->Saw(KxLine("recv", {newcomer->Id(), kKxPlainCode, 3})));
    UnmapViewOfFile(const_cast<const DWORD*>(words));
    CloseHandle(segment);
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
    const std::chrono::milliseconds bound(kKxHangBoundMs);
    std::future<bool> post, send;  // waited for at the end, once the mutex is given back
    std::future<void> join, leave;

    // This thread holds the mutex as the frozen process would.
    const HANDLE mutex = CreateMutexA(nullptr, FALSE /*bInitialOwner*/, (stuck + "_Mutex").c_str());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, kKxHangBoundMs));
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
