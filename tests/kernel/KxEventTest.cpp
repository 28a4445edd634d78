// Event: one named event across processes.
#include <gtest/gtest.h>

#include "CKxEvent.h"
#include "KxKernelTestSupport.h"

KX_CHILD_ROLE(KernelWaitForEvent) {
    CKxEvent event(args.at(0), false);
    KxSay("ready");
    const bool woken = event.Wait(kKxDeadlineMs);
    KxSay(woken ? "woken" : "timed out");
    return woken ? 0 : 1;
}

TEST(KxEventCrossProcess, SetInOneProcessWakesWaiterInAnother) {
    const std::string name = KxUniqueName("event");
    CKxEvent event(name, false);
    auto child = CKxChildProcess::Role("KernelWaitForEvent", {name});
    ASSERT_TRUE(child);
    ASSERT_TRUE(child->WaitForLine("ready", kKxDeadlineMs));
    event.Set();
    ASSERT_TRUE(child->WaitForLine("woken", kKxDeadlineMs)) << child->Output();
    EXPECT_FALSE(event.Wait(0)) << "the child's wait consumed the auto-reset signal";
}
