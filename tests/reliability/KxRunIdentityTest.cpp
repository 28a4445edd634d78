// A run's identity against the threads around it: handlers that run before the thread that started
// them has gone on, and a post that overlaps its participant's leave and rejoin.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "CKxEvent.h"
#include "KxCountingParticipant.h"
#include "KxKillPoint.h"
#include "KxMemberProcess.h"

namespace {

// A pause point armed in this process, with its two events.
class PausePoint {
public:
    explicit PausePoint(const char* point)
        : m_readyName(KxUniqueName("ready")),
          m_resumeName(KxUniqueName("resume")),
          m_ready(m_readyName, true /*manualReset*/),
          m_resume(m_resumeName, true /*manualReset*/) {
        EXPECT_TRUE(KxArmPausePoint(point, m_readyName.c_str(), m_resumeName.c_str()));
    }
    ~PausePoint() { Resume(); }
    bool WaitReached() { return m_ready.Wait(kKxDeadlineMs); }
    void Resume() { m_resume.Set(); }

private:
    std::string m_readyName, m_resumeName;
    CKxEvent m_ready, m_resume;
};

long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace

// The thread that initialises is held right after it created the waiting thread: the first
// OnJoin(id, false) sends to its own participant, which must be handled inside that send.
TEST(KxRunIdentity, EarlyHandlerSendingToItselfIsAnsweredInsideTheSend) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant present(channel.c_str()), early(channel.c_str());
    present.InitializeParticipant();
    std::atomic<long long> tookMs{-1};
    early.onJoin = [&](unsigned int, bool joinedLater) {
        if (joinedLater) return;
        const auto start = std::chrono::steady_clock::now();
        const unsigned int self = early.GetParticipantID();
        early.SendIPMessage(1, &self, 1, 7);
        tookMs = MsSince(start);
    };
    PausePoint created("thread.create.started");
    std::future<void> started =
        std::async(std::launch::async, [&] { early.InitializeParticipant(); });
    ASSERT_TRUE(created.WaitReached());
    KxWaitUntil([&] { return tookMs >= 0; });
    created.Resume();
    started.get();
    EXPECT_LT(tookMs.load(), static_cast<long long>(kKxPromptMs));
    EXPECT_EQ(7u, early.lastParam.load());
}

// A post held between the sender's call and its queueing while the sender leaves and joins again:
// it is refused, or it carries the new identifier, never the one that left.
TEST(KxRunIdentity, PostOverlappingALeaveAndRejoinCarriesTheNewIdOrIsRefused) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant receiver(channel.c_str()), sender(channel.c_str());
    std::atomic<unsigned int> from{0};
    receiver.onReceive = [&](unsigned int senderId, unsigned int) { from = senderId; };
    receiver.InitializeParticipant();
    sender.InitializeParticipant();
    const unsigned int to = receiver.GetParticipantID(), first = sender.GetParticipantID();
    PausePoint held("participant.post.before-queue");
    std::future<bool> post =
        std::async(std::launch::async, [&] { return sender.PostIPMessage(1, &to, 1, 1); });
    ASSERT_TRUE(held.WaitReached());
    sender.UninitializeParticipant();
    sender.InitializeParticipant();
    ASSERT_NE(first, sender.GetParticipantID());
    held.Resume();
    if (!post.get()) return;  // refused: nothing was queued
    KxWaitUntil([&] { return receiver.receives != 0; });
    EXPECT_EQ(sender.GetParticipantID(), from.load());
}
