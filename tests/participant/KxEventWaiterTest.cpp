// Event waiter: the capacity policy, positions after removal, what a wait sees, and copies.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "KxKernelTestSupport.h"
#include "CKxEvent.h"
#include "CKxIPCEventWaiter.h"

namespace {

// The waiter's members in declaration order, as an application compiled against the public
// header lays them out.
struct KxEventWaiterLayout {
    CKxHandleSyncObject** events;
    unsigned int count;
    unsigned int capacity;
};
static_assert(sizeof(CKxIPCEventWaiter) == sizeof(KxEventWaiterLayout), "exported layout");

KxEventWaiterLayout Peek(const CKxIPCEventWaiter& waiter) {
    KxEventWaiterLayout layout;
    std::memcpy(&layout, static_cast<const void*>(&waiter), sizeof(layout));
    return layout;
}

// count distinct unsignalled manual-reset events (a wait may not name one handle twice).
std::vector<std::unique_ptr<CKxEvent>> MakeEvents(size_t count) {
    std::vector<std::unique_ptr<CKxEvent>> events;
    for (size_t i = 0; i < count; ++i) events.emplace_back(new CKxEvent(true /*manualReset*/));
    return events;
}

void AddAll(CKxIPCEventWaiter* waiter, const std::vector<std::unique_ptr<CKxEvent>>& events) {
    for (const auto& event : events) ASSERT_TRUE(waiter->AddEvent(event.get()));
}

const char kCountMessage[] = "WaitForAny -> invalid sync object count";

}  // namespace

TEST(KxIPCEventWaiterCapacity, ThirtyThirdAdditionGrowsByFifty) {
    CKxEvent event(true /*manualReset*/);
    CKxIPCEventWaiter waiter;
    EXPECT_EQ(32u, Peek(waiter).capacity);
    unsigned int index = 777;
    EXPECT_FALSE(waiter.AddEvent(nullptr, &index));
    EXPECT_EQ(777u, index);
    for (unsigned int i = 0; i < 32; ++i) {
        ASSERT_TRUE(waiter.AddEvent(&event, &index));  // one object may be added repeatedly
        ASSERT_EQ(i, index);
    }
    EXPECT_EQ(32u, Peek(waiter).capacity);
    EXPECT_TRUE(waiter.AddEvent(&event, &index));
    EXPECT_EQ(32u, index);
    const KxEventWaiterLayout grown = Peek(waiter);
    EXPECT_EQ(82u, grown.capacity);
    EXPECT_EQ(33u, grown.count);
    for (unsigned int i = 0; i < 33; ++i) EXPECT_EQ(&event, grown.events[i]) << i;

    waiter.ClearIPCEventWaiter();  // keeps the array: refilling allocates nothing
    EXPECT_EQ(0u, Peek(waiter).count);
    EXPECT_EQ(grown.events, Peek(waiter).events);
    EXPECT_EQ(82u, Peek(waiter).capacity);
    EXPECT_TRUE(waiter.AddEvent(&event, &index));
    EXPECT_EQ(0u, index);
}

TEST(KxIPCEventWaiterCapacity, ShrinksByFiftyOnlyBeyondHundredFreeEntries) {
    auto events = MakeEvents(83);
    CKxIPCEventWaiter waiter;
    AddAll(&waiter, events);  // 32 -> 82 -> 132
    ASSERT_EQ(132u, Peek(waiter).capacity);
    waiter.ClearIPCEventWaiter();
    for (int i = 0; i < 32; ++i) waiter.AddEvent(events[i].get());

    CKxEvent stranger(true /*manualReset*/);
    EXPECT_TRUE(waiter.RemoveEvent(&stranger));  // exactly 100 entries free: no shrinking
    EXPECT_EQ(132u, Peek(waiter).capacity);
    unsigned int index = 777;
    EXPECT_TRUE(waiter.RemoveEvent(events[31].get(), &index));  // 101 free
    EXPECT_EQ(31u, index);
    const KxEventWaiterLayout shrunk = Peek(waiter);
    EXPECT_EQ(82u, shrunk.capacity);
    ASSERT_EQ(31u, shrunk.count);
    for (unsigned int i = 0; i < 31; ++i) EXPECT_EQ(events[i].get(), shrunk.events[i]) << i;
    EXPECT_TRUE(waiter.RemoveEvent(&stranger, &index));
    EXPECT_EQ(31u, index) << "an unregistered object leaves the index alone";

    for (int i = 0; i < 31; ++i) waiter.RemoveEvent(events[i].get());
    EXPECT_EQ(0u, Peek(waiter).count);
    EXPECT_EQ(82u, Peek(waiter).capacity) << "100 entries or fewer never shrink";
}

TEST(KxIPCEventWaiterWait, LowestSignalledPositionWinsAndRemovalMovesLaterObjectsDown) {
    auto events = MakeEvents(4);
    CKxIPCEventWaiter waiter;
    AddAll(&waiter, events);
    EXPECT_EQ(-1, waiter.WaitOnEvents(0, 0, nullptr));
    events[3]->Set();
    EXPECT_EQ(3, waiter.WaitOnEvents(0, 0, nullptr));
    events[2]->Set();
    EXPECT_EQ(2, waiter.WaitOnEvents(0, 0, nullptr));

    EXPECT_FALSE(waiter.RemoveEvent(nullptr));
    unsigned int index = 777;
    EXPECT_TRUE(waiter.RemoveEvent(events[0].get(), &index));
    EXPECT_EQ(0u, index);
    const KxEventWaiterLayout after = Peek(waiter);
    ASSERT_EQ(3u, after.count);
    EXPECT_EQ(events[1].get(), after.events[0]);
    EXPECT_EQ(events[3].get(), after.events[2]);
    EXPECT_EQ(1, waiter.WaitOnEvents(0, 0, nullptr));
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
    EXPECT_EQ(83u, Peek(waiter).capacity) << "31 + 1 objects in 32 entries: grown by 1 + 50";
    EXPECT_EQ(31u, Peek(waiter).count);
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
    EXPECT_EQ(83u, Peek(waiter).capacity) << "a refused wait does not grow the array";
    EXPECT_EQ(63, waiter.WaitOnEvents(0, 1, extra));
}

TEST(KxIPCEventWaiterCopy, CopiesAndAssignmentsOwnTheirArrays) {
    auto events = MakeEvents(2);
    std::unique_ptr<CKxIPCEventWaiter> original(new CKxIPCEventWaiter);
    original->AddEvent(events[0].get());
    CKxIPCEventWaiter copy(*original);
    CKxIPCEventWaiter assigned;
    assigned = *original;
    EXPECT_NE(Peek(*original).events, Peek(copy).events);
    EXPECT_NE(Peek(*original).events, Peek(assigned).events);
    copy.AddEvent(events[1].get());
    EXPECT_EQ(1u, Peek(*original).count);
    EXPECT_EQ(1u, Peek(assigned).count);

    original.reset();  // frees its array only
    events[1]->Set();
    EXPECT_EQ(1, copy.WaitOnEvents(0, 0, nullptr));
    EXPECT_EQ(-1, assigned.WaitOnEvents(0, 0, nullptr));
    events[0]->Set();
    EXPECT_EQ(0, assigned.WaitOnEvents(0, 0, nullptr));

    assigned = assigned;
    EXPECT_EQ(0, assigned.WaitOnEvents(0, 0, nullptr)) << "self-assignment keeps the objects";
}
