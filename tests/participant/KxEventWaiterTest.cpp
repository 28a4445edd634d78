// Event waiter: what a wait sees after the array grew, shrank or lost a position, the 64-object
// limit callers run into, and copies that own their arrays.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "KxKernelTestSupport.h"
#include "CKxEvent.h"
#include "CKxIPCEventWaiter.h"

namespace {

// count distinct unsignalled manual-reset events (a wait may not name one handle twice).
std::vector<std::unique_ptr<CKxEvent>> MakeEvents(size_t count) {
    std::vector<std::unique_ptr<CKxEvent>> events;
    for (size_t i = 0; i < count; ++i) events.emplace_back(new CKxEvent(true /*manualReset*/));
    return events;
}

const char kCountMessage[] = "WaitForAny -> invalid sync object count";

}  // namespace

TEST(KxIPCEventWaiterWait, LowestSignalledPositionWinsAcrossGrowthShrinkingAndRemoval) {
    auto events = MakeEvents(83);
    CKxIPCEventWaiter waiter;
    EXPECT_FALSE(waiter.AddEvent(nullptr));
    // 83 objects make the array grow twice; removing all but four makes it shrink once.
    for (const auto& event : events) ASSERT_TRUE(waiter.AddEvent(event.get()));
    for (int i = 82; i >= 4; --i) ASSERT_TRUE(waiter.RemoveEvent(events[i].get()));
    EXPECT_EQ(-1, waiter.WaitOnEvents(0, 0, nullptr));
    events[40]->Set();
    events[3]->Set();
    EXPECT_EQ(3, waiter.WaitOnEvents(0, 0, nullptr));
    events[2]->Set();
    EXPECT_EQ(2, waiter.WaitOnEvents(0, 0, nullptr));

    EXPECT_FALSE(waiter.RemoveEvent(nullptr));
    unsigned int index = 777;
    EXPECT_TRUE(waiter.RemoveEvent(events[0].get(), &index));
    EXPECT_EQ(0u, index);
    EXPECT_EQ(1, waiter.WaitOnEvents(0, 0, nullptr)) << "later objects moved down";

    waiter.ClearIPCEventWaiter();
    ASSERT_TRUE(waiter.AddEvent(events[40].get(), &index));
    EXPECT_EQ(0u, index) << "a cleared waiter starts over at position 0";
}

TEST(KxIPCEventWaiterWait, ExtraObjectsFollowTheRegisteredOnesForOneWaitOnlyUpToSixtyFour) {
    CKxIPCEventWaiter waiter;
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { waiter.WaitOnEvents(0, 0, nullptr); },
                                                kCountMessage);
    auto events = MakeEvents(65);
    for (int i = 0; i < 31; ++i) waiter.AddEvent(events[i].get());
    CKxHandleSyncObject* extra[] = {events[63].get(), events[64].get()};
    events[63]->Set();
    EXPECT_EQ(31, waiter.WaitOnEvents(0, 1, extra));
    EXPECT_EQ(-1, waiter.WaitOnEvents(0, 0, nullptr)) << "the still signalled extra took part";

    for (int i = 31; i < 63; ++i) waiter.AddEvent(events[i].get());
    EXPECT_EQ(63, waiter.WaitOnEvents(0, 1, extra)) << "64 in all is accepted";
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { waiter.WaitOnEvents(0, 2, extra); },
                                                kCountMessage);
    // A count that wraps the total around, and a missing array: refused before anything is read.
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { waiter.WaitOnEvents(0, 0xFFFFFFFFu, extra); },
                                                kCountMessage);
    ExpectKxThrow<CKxHandleSyncObjectException>([&] { waiter.WaitOnEvents(0, 1, nullptr); },
                                                "WaitForAny -> invalid sync object pointer");
    EXPECT_EQ(63, waiter.WaitOnEvents(0, 1, extra));
}

TEST(KxIPCEventWaiterCopy, CopiesAndAssignmentsOwnTheirArrays) {
    auto events = MakeEvents(2);
    std::unique_ptr<CKxIPCEventWaiter> original(new CKxIPCEventWaiter);
    original->AddEvent(events[0].get());
    CKxIPCEventWaiter copy(*original);
    CKxIPCEventWaiter assigned;
    assigned = *original;
    copy.AddEvent(events[1].get());

    original.reset();  // frees its array only
    events[1]->Set();
    EXPECT_EQ(1, copy.WaitOnEvents(0, 0, nullptr));
    EXPECT_EQ(-1, assigned.WaitOnEvents(0, 0, nullptr)) << "the copy's addition is its own";
    events[0]->Set();
    EXPECT_EQ(0, assigned.WaitOnEvents(0, 0, nullptr));

    assigned = assigned;
    EXPECT_EQ(0, assigned.WaitOnEvents(0, 0, nullptr)) << "self-assignment keeps the objects";
}
