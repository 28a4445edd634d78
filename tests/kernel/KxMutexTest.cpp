// Mutex: one named mutex across processes, ownership, recursion, abandonment.
#include <gtest/gtest.h>

#include <thread>

#include "CKxEvent.h"
#include "CKxMutex.h"
#include "KxKernelTestSupport.h"

namespace {
const char kAbandonedMessage[] =
    "CKxHandleSyncObject::Wait -> WaitForSingleObject returned WAIT_ABANDONED... This might be ok?";
const char kReleaseMessage[] = "CKxMutex::Release -> error occurred in ReleaseMutex";
}  // namespace

TEST(KxMutexCrossProcess, NamedMutexHeldInOneProcessIsBusyInTheOther) {
    const std::string name = KxUniqueName("mutex");
    auto child = HoldMutexInChild(name);  // the child creates it, the parent opens it
    ASSERT_TRUE(child);
    CKxMutex mutex(name);
    EXPECT_FALSE(mutex.Wait(0));
    child->WriteLine("release");
    ASSERT_TRUE(child->WaitForLine("released", kChildTimeoutMs));
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

TEST(KxMutexOwnership, OwnerMayWaitAgainAndMustReleaseOncePerWait) {
    CKxMutex named(KxUniqueName("mutex"));
    ExpectKxThrow<CKxMutexException>([&] { named.Release(); }, kReleaseMessage);
    CKxMutex mutex;
    ExpectKxThrow<CKxMutexException>([&] { mutex.Release(); }, kReleaseMessage);
    ASSERT_TRUE(mutex.Wait(0));
    ASSERT_TRUE(mutex.Wait(0));
    mutex.Release();
    EXPECT_FALSE(TakeOnOtherThread(&mutex)) << "one release too few";
    bool refused = false;
    std::thread other([&] {
        try {
            mutex.Release();
        } catch (const CKxMutexException&) {
            refused = true;
        }
    });
    other.join();
    EXPECT_TRUE(refused) << "only the owning thread can release";
    mutex.Release();
    EXPECT_TRUE(TakeOnOtherThread(&mutex));
    ExpectKxThrow<CKxMutexException>([&] { mutex.Release(); }, kReleaseMessage);
}

TEST(KxMutexCreation, NameOfAnotherKindOfObjectIsRefused) {
    const std::string name = KxUniqueName("taken");
    CKxEvent event(name, true);
    ExpectKxThrow<CKxMutexException>([&] { CKxMutex mutex(name); },
                                     "CKxMutex::CKxMutex -> could not create mutex");
}
