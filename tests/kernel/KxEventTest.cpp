// Event: named events across processes, reset modes, refusals.
#include <gtest/gtest.h>

#include "CKxEvent.h"
#include "CKxMutex.h"
#include "KxKernelTestSupport.h"

KX_CHILD_ROLE(KernelWaitForEvent) {
    CKxEvent event(args.at(0), false);
    KxSay("ready");
    const bool woken = event.Wait(kChildTimeoutMs);
    KxSay(woken ? "woken" : "timed out");
    return woken ? 0 : 1;
}

TEST(KxEventCrossProcess, SetInOneProcessWakesWaiterInAnother) {
    const std::string name = KxUniqueName("event");
    CKxEvent event(name, false);
    auto child = CKxChildProcess::Role("KernelWaitForEvent", {name});
    ASSERT_TRUE(child);
    ASSERT_TRUE(child->WaitForLine("ready", kChildTimeoutMs));
    event.Set();
    ASSERT_TRUE(child->WaitForLine("woken", kChildTimeoutMs)) << child->Output();
    EXPECT_FALSE(event.Wait(0)) << "the child's wait consumed the auto-reset signal";
}

TEST(KxEventResetMode, AutoResetLetsOneWaitThroughManualResetStaysSignalled) {
    for (bool manualReset : {false, true}) {
        CKxEvent event(manualReset);
        EXPECT_FALSE(event.Wait(0)) << "a new event is unsignalled";
        event.Set();
        EXPECT_TRUE(event.Wait(0));
        EXPECT_EQ(manualReset, event.Wait(0)) << manualReset;
    }
    // A second construction of a name opens the first event and keeps its mode.
    const std::string name = KxUniqueName("event");
    CKxEvent manual(name, true);
    CKxEvent autoReset(name, false);
    autoReset.Set();
    EXPECT_TRUE(autoReset.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
}

TEST(KxEventRefusals, ReleaseAndANameOfAnotherKindAreRefused) {
    CKxEvent event(true);
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [&] { event.Release(); }, "CKxHandleSyncObject::Release -> this is not a valid call");
    const std::string name = KxUniqueName("taken");
    CKxMutex mutex(name);
    ExpectKxThrow<CKxEventException>([&] { CKxEvent other(name, false); },
                                     "CKxEvent::CKxEvent -> could not create an event");
}
