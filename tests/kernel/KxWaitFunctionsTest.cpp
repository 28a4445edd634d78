// Multiple waits: abandoned mutexes among the objects. (The lowest signalled index of up to 64
// objects: the event waiter's tests.)
#include <gtest/gtest.h>

#include "CKxEvent.h"
#include "CKxMutex.h"
#include "KxKernelTestSupport.h"
#include "KxWaitFunctions.h"

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
