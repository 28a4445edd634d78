// Scoped lock over a mutex that an owner in another process abandoned, with and without a flag.
#include <gtest/gtest.h>

#include "CKxAutoLock.h"
#include "CKxMutex.h"
#include "KxKernelTestSupport.h"

TEST(KxAutoLockAbandoned, WithFlagReportsAndHoldsUntilTheEndWithoutThrowsAndFrees) {
    const std::string name = KxUniqueName("mutex");
    CKxMutex mutex(name);
    ASSERT_TRUE(AbandonMutexInChild(name, KxChildEnd::Kill));
    bool abandoned = false;
    {
        CKxAutoLock lock(&mutex, &abandoned);
        EXPECT_TRUE(abandoned);
        EXPECT_EQ("busy", TryMutexInChild(name));
    }
    EXPECT_EQ("took", TryMutexInChild(name));
    {
        CKxAutoLock lock(&mutex, &abandoned);
        EXPECT_FALSE(abandoned) << "the flag is cleared on a normal wait";
    }

    ASSERT_TRUE(AbandonMutexInChild(name, KxChildEnd::Exit));
    ExpectKxThrow<CKxWaitAbandonnedException>([&] { CKxAutoLock lock(&mutex); }, kAbandonedMessage);
    EXPECT_EQ("took", TryMutexInChild(name)) << "no thread may be left owning the mutex";
}
