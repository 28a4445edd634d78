// Scoped lock: holding for a scope, locks over events, abandoned mutexes with and without a flag.
#include <gtest/gtest.h>

#include "CKxAutoLock.h"
#include "CKxEvent.h"
#include "CKxMutex.h"
#include "KxKernelTestSupport.h"

TEST(KxAutoLock, HoldsTheMutexForItsScopeOnlyAndRefusesNull) {
    bool abandoned = true;
    ExpectKxThrow<CKxAutoLockException>(
        [&] { CKxAutoLock lock(nullptr, &abandoned); },
        "CKxAutoLock::CKxAutoLock -> NULL CKxSynchronizationObject pointer");
    CKxMutex mutex;
    {
        CKxAutoLock lock(&mutex, &abandoned);
        EXPECT_FALSE(abandoned) << "the flag is cleared on a normal wait";
        EXPECT_FALSE(TakeOnOtherThread(&mutex));
    }
    EXPECT_TRUE(TakeOnOtherThread(&mutex));
}

TEST(KxAutoLock, OverAnEventWaitsForTheSignalAndReleasesNothing) {
    CKxEvent autoReset(false);
    autoReset.Set();
    { CKxAutoLock lock(&autoReset); }  // the event's Release throws; the lock must swallow it
    EXPECT_FALSE(autoReset.Wait(0)) << "the lock's wait consumed the signal";
}

TEST(KxAutoLockAbandoned, WithFlagReportsAndHoldsUntilTheEndWithoutThrowsAndFrees) {
    const std::string name = KxUniqueName("mutex");
    CKxMutex mutex(name);
    ASSERT_TRUE(AbandonMutexInChild(name, KxChildEnd::Kill));
    {
        bool abandoned = false;
        CKxAutoLock lock(&mutex, &abandoned);
        EXPECT_TRUE(abandoned);
        EXPECT_EQ("busy", TryMutexInChild(name));
    }
    EXPECT_EQ("took", TryMutexInChild(name));

    ASSERT_TRUE(AbandonMutexInChild(name, KxChildEnd::Exit));
    ExpectKxThrow<CKxWaitAbandonnedException>(
        [&] { CKxAutoLock lock(&mutex); },
        "CKxHandleSyncObject::Wait -> WaitForSingleObject returned WAIT_ABANDONED... This might "
        "be ok?");
    EXPECT_EQ("took", TryMutexInChild(name)) << "no thread may be left owning the mutex";
}
