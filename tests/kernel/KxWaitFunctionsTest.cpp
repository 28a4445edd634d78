// Multiple waits: count and pointer checks, result mapping, failures of the platform call.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CKxEvent.h"
#include "CKxMutex.h"
#include "CKxThread.h"
#include "KxKernelTestSupport.h"
#include "KxWaitFunctions.h"

namespace {

struct KxEventSet {
    KxEventSet(int count, bool manualReset) {
        for (int i = 0; i < count; ++i) {
            events.emplace_back(new CKxEvent(manualReset));
            pointers.push_back(events.back().get());
        }
    }
    std::vector<std::unique_ptr<CKxEvent>> events;
    std::vector<CKxHandleSyncObject*> pointers;
};

}  // namespace

TEST(KxWaitFunctionsArguments, CountOutsideOneToSixtyFourIsRefused) {
    KxEventSet set(65, true);
    for (int count : {0, -1, 65}) {
        SCOPED_TRACE(count);
        ExpectKxThrow<CKxHandleSyncObjectException>(
            [&] { WaitForAny(set.pointers.data(), count, 0); },
            "WaitForAny -> invalid sync object count");
        ExpectKxThrow<CKxHandleSyncObjectException>(
            [&] { WaitForAll(set.pointers.data(), count, 0); },
            "WaitForAll -> invalid sync object count");
    }
}

TEST(KxWaitFunctionsResults, SixtyFourObjectsLowestSignalledIndexOrMinusOne) {
    KxEventSet set(64, true);
    EXPECT_EQ(-1, WaitForAny(set.pointers.data(), 64, 0));
    set.events[63]->Set();
    EXPECT_EQ(63, WaitForAny(set.pointers.data(), 64, 0));
    set.events[3]->Set();
    set.events[1]->Set();
    EXPECT_EQ(1, WaitForAny(set.pointers.data(), 64, 0));
    EXPECT_FALSE(WaitForAll(set.pointers.data(), 64, 0)) << "unsignalled objects remain";
    for (auto& event : set.events) event->Set();
    EXPECT_TRUE(WaitForAll(set.pointers.data(), 64, 0));
}

TEST(KxWaitFunctionsArguments, NullInTheLastEntryIsRefusedBeforeAnyWait) {
    KxEventSet set(3, false);  // auto-reset: a wait that ran would consume a signal
    for (auto& event : set.events) event->Set();
    set.pointers.push_back(nullptr);
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { WaitForAny(set.pointers.data(), 4, 0); },
                                                "WaitForAny -> invalid sync object pointer");
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { WaitForAll(set.pointers.data(), 4, 0); },
                                                "WaitForAll -> invalid sync object pointer");
    for (auto& event : set.events) EXPECT_TRUE(event->Wait(0)) << "no signal was consumed";
}

TEST(KxWaitFunctionsResults, WaitForAllTakesEveryObjectAtOnceOrNone) {
    KxEventSet set(2, false);
    set.events[0]->Set();
    EXPECT_FALSE(WaitForAll(set.pointers.data(), 2, 0));
    EXPECT_TRUE(set.events[0]->Wait(0)) << "a failed wait-all consumes nothing";
    set.events[0]->Set();
    set.events[1]->Set();
    EXPECT_TRUE(WaitForAll(set.pointers.data(), 2, 0));
    EXPECT_FALSE(set.events[0]->Wait(0));
    EXPECT_FALSE(set.events[1]->Wait(0));
}

TEST(KxWaitFunctionsFailures, NotCreatedThreadMakesThePlatformCallFail) {
    CKxEvent event(true);
    CKxThread notStarted;
    CKxHandleSyncObject* objects[] = {&event, &notStarted};
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { WaitForAny(objects, 2, 0); },
                                                "WaitForAny -> WaitForMultipleObjects failed");
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { WaitForAll(objects, 2, 0); },
                                                "WaitForAll -> WaitForMultipleObjects failed");
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
