// The waiting thread's COM apartment, a Windows-only feature: handlers run in a single-threaded
// one.
#include <gtest/gtest.h>

#include <future>

#include "KxCountingParticipant.h"
#include "KxTestHarness.h"
#include "KxWindows.h"

TEST(KxWaitingThreadApartment, HandlersRunInASingleThreadedApartment) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant receiver(channel.c_str()), sender(channel.c_str());
    std::promise<HRESULT> multiThreaded;
    // A thread already in a single-threaded apartment cannot change its model.
    receiver.onReceive = [&](unsigned int, unsigned int) {
        multiThreaded.set_value(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    };
    receiver.InitializeParticipant();
    sender.InitializeParticipant();
    const unsigned int to = receiver.GetParticipantID();
    ASSERT_TRUE(sender.PostIPMessage(1, &to, 1, 0));
    std::future<HRESULT> result = multiThreaded.get_future();
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::milliseconds(kKxDeadlineMs)));
    EXPECT_EQ(RPC_E_CHANGED_MODE, result.get());
}
