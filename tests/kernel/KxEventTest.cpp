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
    ASSERT_TRUE(child->WaitForExit(kChildTimeoutMs));
    EXPECT_EQ(0u, child->ExitCode());
    EXPECT_FALSE(event.Wait(0)) << "the child's wait consumed the auto-reset signal";
}

TEST(KxEventResetMode, AutoResetLetsExactlyOneWaitThrough) {
    CKxEvent event(false);
    EXPECT_FALSE(event.Wait(0)) << "a new event is unsignalled";
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(KxEventResetMode, ManualResetStaysSignalled) {
    CKxEvent event(true);
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
}

TEST(KxEventResetMode, SecondConstructionKeepsTheFirstMode) {
    const std::string name = KxUniqueName("event");
    CKxEvent manual(name, true);
    CKxEvent autoReset(name, false);  // opens the manual-reset event
    autoReset.Set();
    EXPECT_TRUE(autoReset.Wait(0));
    EXPECT_TRUE(manual.Wait(0)) << "a manual-reset event stays signalled";
}

TEST(KxEventRefusals, ReleaseIsNotAValidCall) {
    CKxEvent event(true);
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [&] { event.Release(); }, "CKxHandleSyncObject::Release -> this is not a valid call");
}

TEST(KxEventRefusals, NameOfAnotherKindOfObjectIsRefused) {
    const std::string name = KxUniqueName("taken");
    CKxMutex mutex(name);
    ExpectKxThrow<CKxEventException>([&] { CKxEvent event(name, false); },
                                     "CKxEvent::CKxEvent -> could not create an event");
}
