// The waiting thread's COM apartment, a Windows-only feature: handlers run in a single-threaded
// one.
#include <gtest/gtest.h>

#include <future>

#include "KxTestHarness.h"
#include "KxWindows.h"
#include "kxipc_c.h"

TEST(KxWaitingThreadApartment, HandlersRunInASingleThreadedApartment) {
    const std::string channel = KxUniqueName("channel");
    std::promise<HRESULT> multiThreaded;
    // A thread already in a single-threaded apartment cannot change its model.
    const kxipc_callbacks receiving = {nullptr, nullptr, nullptr,
                                       [](void* user, uint32_t, uint32_t, uint64_t) {
                                           static_cast<std::promise<HRESULT>*>(user)->set_value(
                                               CoInitializeEx(nullptr, COINIT_MULTITHREADED));
                                       }};
    kxipc_participant *receiver = nullptr, *sender = nullptr;
    ASSERT_EQ(KXIPC_OK, kxipc_join(channel.c_str(), &receiving, &multiThreaded, &receiver));
    const kxipc_callbacks none = {};
    ASSERT_EQ(KXIPC_OK, kxipc_join(channel.c_str(), &none, nullptr, &sender));
    uint32_t to = 0;
    ASSERT_EQ(KXIPC_OK, kxipc_id(receiver, &to));
    ASSERT_EQ(KXIPC_OK, kxipc_post(sender, &to, 1, 1, 0));
    std::future<HRESULT> result = multiThreaded.get_future();
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::milliseconds(kKxDeadlineMs)));
    EXPECT_EQ(RPC_E_CHANGED_MODE, result.get());
    EXPECT_EQ(KXIPC_OK, kxipc_close(sender));
    EXPECT_EQ(KXIPC_OK, kxipc_close(receiver));
}
