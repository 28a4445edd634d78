// Multiple waits: the lowest signalled index of up to 64 objects, and abandoned mutexes among them.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CKxEvent.h"
#include "CKxMutex.h"
#include "KxKernelTestSupport.h"
#include "KxWaitFunctions.h"

TEST(KxWaitFunctionsResults, SixtyFourObjectsLowestSignalledIndexOrMinusOne) {
    std::vector<std::unique_ptr<CKxEvent>> events;
    std::vector<CKxHandleSyncObject*> objects;
    for (int i = 0; i < 64; ++i) {
        events.emplace_back(new CKxEvent(true /*manualReset*/));
        objects.push_back(events.back().get());
    }
    EXPECT_EQ(-1, WaitForAny(objects.data(), 64, 0));
    events[63]->Set();
    EXPECT_EQ(63, WaitForAny(objects.data(), 64, 0));
    events[3]->Set();
    events[1]->Set();
    EXPECT_EQ(1, WaitForAny(objects.data(), 64, 0));
    EXPECT_FALSE(WaitForAll(objects.data(), 64, 0)) << "unsignalled objects remain";
    for (auto& event : events) event->Set();
    EXPECT_TRUE(WaitForAll(objects.data(), 64, 0));
}

TEST(KxWaitFunctionsFailures, AbandonedMutexIsAFailedWaitNotAnAbandonedOne) {
    const std::string name = KxUniqueName("mutex");
    CKxMutex mutex(name);
    CKxEvent unsignalled(true);
    CKxHandleSyncObject* objects[] = {&unsignalled, &mutex};

    ASSERT_TRUE(AbandonMutexInChild(name, KxChildEnd::Kill));
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { WaitForAny(objects, 2, 0); },
                                                "WaitForAny -> WaitForMultipleObjects failed");
    mutex.Release();  // the platform handed the abandoned mutex to this thread

    unsignalled.Set();
    ASSERT_TRUE(AbandonMutexInChild(name, KxChildEnd::Exit));
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { WaitForAll(objects, 2, 0); },
                                                "WaitForAll -> WaitForMultipleObjects failed");
    mutex.Release();
    EXPECT_EQ("took", TryMutexInChild(name));
}
