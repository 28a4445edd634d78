// Mutex: one named mutex across processes, and its abandonment by an owner that ended.
#include <gtest/gtest.h>

#include "CKxMutex.h"
#include "KxKernelTestSupport.h"

TEST(KxMutexCrossProcess, NamedMutexHeldInOneProcessIsBusyInTheOther) {
    const std::string name = KxUniqueName("mutex");
    auto child = HoldMutexInChild(name);  // the child creates it, the parent opens it
    ASSERT_TRUE(child);
    CKxMutex mutex(name);
    EXPECT_FALSE(mutex.Wait(0));
    child->WriteLine("release");
    ASSERT_TRUE(child->WaitForLine("released", kKxDeadlineMs));
    ASSERT_TRUE(mutex.Wait(0));
    EXPECT_EQ("busy", TryMutexInChild(name));
    mutex.Release();
    EXPECT_EQ("took", TryMutexInChild(name));
}

TEST(KxMutexAbandoned, WaitThrowsAndHandsOwnershipToTheWaiter) {
    for (KxChildEnd end : {KxChildEnd::Exit, KxChildEnd::Kill}) {
        SCOPED_TRACE(end == KxChildEnd::Exit ? "owner exited" : "owner killed");
        const std::string name = KxUniqueName(end == KxChildEnd::Exit ? "exit" : "kill");
        CKxMutex mutex(name);  // keeps the kernel object alive after the owner's death
        ASSERT_TRUE(AbandonMutexInChild(name, end));

        ExpectKxThrow<CKxWaitAbandonnedException>([&] { mutex.Wait(0); }, kAbandonedMessage);
        EXPECT_EQ("busy", TryMutexInChild(name)) << "the waiter owns the abandoned mutex";
        mutex.Release();
        EXPECT_EQ("took", TryMutexInChild(name));
        EXPECT_TRUE(mutex.Wait(0)) << "abandonment is reported once";
        mutex.Release();
    }
}
