// A process frozen holding a channel, through kxipc.dll.
#include <gtest/gtest.h>

#include <future>

#include "CKxMutex.h"
#include "KxCountingParticipant.h"
#include "KxMemberProcess.h"
#include "KxScopeGuard.h"
#include "kxipc.h"

namespace {

using Member = std::unique_ptr<CKxMemberProcess>;

}  // namespace

// Participants of different channels never wait on each other: a sender of this process stuck on
// a channel whose mutex a frozen process holds does not keep this process's participants of
// another channel from joining, sending and leaving.
TEST(KxParticipantFailure, ChannelHeldByAFrozenProcessStallsNoOtherChannelOfTheProcess) {
    const std::string stuck = KxUniqueName("stuck"), channel = KxUniqueName("channel");
    CKxCountingParticipant stuckSender(stuck.c_str()), joiner(channel.c_str());
    stuckSender.InitializeParticipant();
    Member member = CKxMemberProcess::Joined(channel);
    const unsigned int stuckSelf = stuckSender.GetParticipantID(), to = member->Id();
    std::future<bool> post, other;  // waited for at the end, once the mutex is given back

    // This thread holds the mutex as the frozen process would.
    CKxMutex mutex(stuck + "_Mutex");
    ASSERT_TRUE(mutex.Wait(kKxDeadlineMs));
    TKxScopeGuard giveBack([&mutex] { mutex.Release(); });
    post = std::async(std::launch::async,
                      [&] { return stuckSender.PostIPMessage(1, &stuckSelf, kKxPlainCode, 1); });
    // Blocked on the mutex, with whatever the post holds of this process meanwhile.
    ASSERT_EQ(std::future_status::timeout, post.wait_for(std::chrono::milliseconds(500)));

    other = std::async(std::launch::async, [&] {
        joiner.InitializeParticipant();
        const bool sent = joiner.SendIPMessage(1, &to, kKxPlainCode, 2);
        joiner.UninitializeParticipant();
        return sent;
    });
    ASSERT_EQ(std::future_status::ready, other.wait_for(std::chrono::milliseconds(kKxDeadlineMs)));
    EXPECT_TRUE(other.get());
    const unsigned int joinerId = joiner.GetParticipantID();  // kept after leaving
    ASSERT_TRUE(member->Saw(KxLine("quit", {joinerId}), 1, kKxDeadlineMs));
    EXPECT_TRUE(
        member->InOrder({KxLine("join", {joinerId, 1}), KxLine("recv", {joinerId, kKxPlainCode, 2}),
                         KxLine("quit", {joinerId})}))
        << member->Output();
    EXPECT_EQ(std::future_status::timeout, post.wait_for(std::chrono::milliseconds(0)));
}
