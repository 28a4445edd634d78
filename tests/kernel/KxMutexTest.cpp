// Mutex: one named mutex across processes, and its abandonment by an owner that ended.
#include <gtest/gtest.h>

#include "CKxMutex.h"
#include "KxKernelTestSupport.h"

// The child creates the mutex and the parent opens it: busy while the child holds it; once the
// child ended owning it, the waiter gets it with the exception, and its Release frees it.
TEST(KxMutexCrossProcess, HeldElsewhereIsBusyAndAbandonedWaitThrowsAndHandsOwnershipToTheWaiter) {
    for (KxChildEnd end : {KxChildEnd::Exit, KxChildEnd::Kill}) {
        SCOPED_TRACE(end == KxChildEnd::Exit ? "owner exited" : "owner killed");
        const std::string name = KxUniqueName(end == KxChildEnd::Exit ? "exit" : "kill");
        auto holder = HoldMutexInChild(name);
        ASSERT_TRUE(holder);
        CKxMutex mutex(name);  // keeps the kernel object alive after the owner's death
        EXPECT_FALSE(mutex.Wait(0));
        if (end == KxChildEnd::Kill) holder->Kill();
        if (end == KxChildEnd::Exit) holder->WriteLine("exit");
        ASSERT_TRUE(holder->WaitForExit(kKxDeadlineMs));

        ExpectKxThrow<CKxWaitAbandonnedException>([&] { mutex.Wait(0); }, kAbandonedMessage);
        EXPECT_EQ("busy", TryMutexInChild(name)) << "the waiter owns the abandoned mutex";
        mutex.Release();
        EXPECT_EQ("took", TryMutexInChild(name));
        EXPECT_TRUE(mutex.Wait(0)) << "abandonment is reported once";
        mutex.Release();
    }
}
