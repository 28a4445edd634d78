// Acknowledge event pool: lending order and retirement, the names other processes derive from keys
// and participant identifiers, concurrent look-ups, and the machine-wide pool mutex held elsewhere.
#include <gtest/gtest.h>

#include <iomanip>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "KxKernelTestSupport.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "KxLiveness.h"
#include "KxNamedEventProbe.h"
#include "KxTestHarness.h"

namespace {

const char kPoolMutexName[] = "CKxIPCAcknowledgeEventPoolManagerMutex";

std::uint64_t OwnKey(std::uint32_t sequence) {
    return (static_cast<std::uint64_t>(KxCurrentProcessId()) << 32) | sequence;
}

// An event name as every process derives it, built without the library's formatter.
std::string EventName(const char* prefix, std::uint64_t value, int digits) {
    std::ostringstream name;
    name << prefix << " 0x" << std::uppercase << std::hex << std::setw(digits) << std::setfill('0')
         << value;
    return name.str();
}

std::string AckEventName(std::uint64_t key) { return EventName("KX IPCAckEv", key, 16); }

CIPCServiceFactorySingleton* Factory() {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    EXPECT_NE(nullptr, factory);
    return factory;
}

}  // namespace

TEST(KxAcknowledgeEventPool, LoadMakesTenElementsLentLastInFirstOut) {
    CIPCServiceFactorySingleton* factory = Factory();
    ASSERT_NE(nullptr, factory);
    std::vector<CKxIPCAcknowledgeEventPoolElement*> lent;
    for (std::uint32_t sequence = 10; sequence >= 1; --sequence) {
        lent.push_back(factory->AcquireAcknowledgeElement());
        EXPECT_EQ(OwnKey(sequence), lent.back()->GetAcknowledgeKey());
    }
    // The list ran dry: a new element, whose name an earlier process of this identifier may have
    // left signalled in another process.
    {
        CKxEvent stale(AckEventName(OwnKey(11)), false);
        stale.Set();
        lent.push_back(factory->AcquireAcknowledgeElement());
    }
    EXPECT_EQ(OwnKey(11), lent.back()->GetAcknowledgeKey());
    EXPECT_FALSE(lent.back()->GetEvent()->Wait(0)) << "a stale signal would end a wait at once";

    factory->ReleaseAcknowledgeElement(lent[5]);  // sequence 5
    factory->ReleaseAcknowledgeElement(lent[10]);
    EXPECT_EQ(lent[10], factory->AcquireAcknowledgeElement());
    EXPECT_EQ(lent[5], factory->AcquireAcknowledgeElement());
    CKxIPCAcknowledgeEventPoolElement* twelfth = factory->AcquireAcknowledgeElement();
    EXPECT_EQ(OwnKey(12), twelfth->GetAcknowledgeKey());
    factory->ReleaseAcknowledgeElement(twelfth);
    for (CKxIPCAcknowledgeEventPoolElement* element : lent) {
        factory->ReleaseAcknowledgeElement(element);
    }

    // A borrower whose wait ended without the signal retires its element: an acknowledgement may
    // still set that event at any time, so no later borrower may wait on it.
    CKxIPCAcknowledgeEventPoolElement* retired = factory->AcquireAcknowledgeElement();
    const std::uint64_t retiredKey = retired->GetAcknowledgeKey();
    retired->NoteWaitEndedUnsignalled();
    factory->ReleaseAcknowledgeElement(retired);
    EXPECT_FALSE(KxNamedEventExists(AckEventName(retiredKey))) << "closed with its element";
    lent.clear();
    for (int i = 0; i < 12; ++i) {  // the 11 still free, then a new one
        lent.push_back(factory->AcquireAcknowledgeElement());
        EXPECT_NE(retiredKey, lent.back()->GetAcknowledgeKey());
    }
    EXPECT_EQ(OwnKey(13), lent.back()->GetAcknowledgeKey()) << "a retired key is never reused";
    for (CKxIPCAcknowledgeEventPoolElement* element : lent) {
        factory->ReleaseAcknowledgeElement(element);
    }
}

TEST(KxAcknowledgeEventPool, EventNamesAreTheKeyAndTheIdentifierInUpperCaseHex) {
    // A participant identifier with every digit in use, derived from this process's identifier
    // so that no other test has it.
    const std::string receiveName = EventName("KX IPCRcvEv", 0xB0000000u | KxCurrentProcessId(), 8);
    {
        std::unique_ptr<CKxEvent> receive(
            Factory()->CreateReceiveEvent(0xB0000000u | KxCurrentProcessId()));
        ASSERT_TRUE(KxSetNamedEvent(receiveName)) << receiveName;
        EXPECT_TRUE(receive->Wait(0)) << "the name reaches this event";
    }
    EXPECT_FALSE(KxSetNamedEvent(receiveName)) << "the name was the event's own";

    {
        CKxIPCAcknowledgeEventPoolElement element(0x76543210, 0xFEDCBA98u);
        EXPECT_EQ(0xFEDCBA9876543210ull, element.GetAcknowledgeKey());
        EXPECT_TRUE(KxNamedEventExists("KX IPCAckEv 0xFEDCBA9876543210"));
    }
    EXPECT_FALSE(KxNamedEventExists("KX IPCAckEv 0xFEDCBA9876543210"))
        << "the element owned the name";

    // The first element lent: this process's identifier and sequence 10 ("...0000000A").
    CIPCServiceFactorySingleton* factory = Factory();
    CKxIPCAcknowledgeEventPoolElement* element = factory->AcquireAcknowledgeElement();
    ASSERT_EQ(OwnKey(10), element->GetAcknowledgeKey());
    ASSERT_TRUE(KxSetNamedEvent(AckEventName(OwnKey(10))));
    EXPECT_TRUE(element->GetEvent()->Wait(0));
    EXPECT_FALSE(element->GetEvent()->Wait(0)) << "auto-reset: one wait consumed the signal";

    // The own key looked up gives a second handle; a signal that arrives after the borrower gave
    // the element back stays pending for the next borrower.
    CKxEvent* acknowledge = factory->GetAcknowledgeEvent(element->GetAcknowledgeKey());
    EXPECT_NE(element->GetEvent(), acknowledge);
    acknowledge->Set();
    factory->ReleaseAcknowledgeElement(element);
    CKxIPCAcknowledgeEventPoolElement* again = factory->AcquireAcknowledgeElement();
    EXPECT_EQ(element, again);
    EXPECT_TRUE(again->GetEvent()->Wait(0));
    factory->ReleaseAcknowledgeElement(again);
}

// The pool mutex is one for the whole machine, but each free list is its process's own: a process
// elsewhere that holds the mutex must not stall this one's lending and giving back.
TEST(KxAcknowledgeEventPool, LendingAndGivingBackNeverWaitForThePoolMutex) {
    auto holder = HoldMutexInChild(kPoolMutexName);
    ASSERT_TRUE(holder);
    CKxEvent returned(true /*manualReset*/);
    std::thread borrower([&] {
        CKxIPCAcknowledgeEventPoolElement* element = Factory()->AcquireAcknowledgeElement();
        Factory()->ReleaseAcknowledgeElement(element);
        Factory()->ReleaseAcknowledgeElement(nullptr);
        returned.Set();
    });
    const bool returnedWhileHeld = returned.Wait(kKxDeadlineMs);
    holder->WriteLine("release");  // lets a borrower that did wait finish
    borrower.join();
    EXPECT_TRUE(returnedWhileHeld);
    EXPECT_TRUE(holder->WaitForLine("released", kKxDeadlineMs));
}

TEST(KxAcknowledgeEventPool, ConcurrentLookUpsMakeOneEventPerKey) {
    const int kThreads = 8;
    const std::uint32_t kKeys = 10;  // as many keys of one process as the pool keeps
    CIPCServiceFactorySingleton* factory = Factory();
    CKxEvent start(true /*manualReset*/);
    std::vector<std::vector<CKxEvent*>> seen(kThreads, std::vector<CKxEvent*>(kKeys));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.Wait(kKxWaitForever);
            // Each thread walks the keys from another starting point: first look-ups collide.
            for (std::uint32_t i = 0; i < kKeys; ++i) {
                const std::uint32_t k = (i + t * 5) % kKeys;
                seen[t][k] = factory->GetAcknowledgeEvent(OwnKey(0x8000 + k));
            }
        });
    }
    start.Set();
    for (std::thread& thread : threads) thread.join();

    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[0], seen[t]) << "thread " << t;
    EXPECT_EQ(kKeys, std::set<CKxEvent*>(seen[0].begin(), seen[0].end()).size());
}
