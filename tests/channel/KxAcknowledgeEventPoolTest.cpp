// Acknowledge event pool: lending order and retirement, keys and names, keys of other processes,
// concurrent look-ups, failed creations, and the machine-wide pool mutex held elsewhere.
#include <gtest/gtest.h>

#include <cstdio>
#include <iomanip>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "KxKernelTestSupport.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CKxMutex.h"
#include "KxTestHarness.h"

namespace {

const char kPoolMutexName[] = "CKxIPCAcknowledgeEventPoolManagerMutex";

std::uint64_t OwnKey(std::uint32_t sequence) {
    return (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) | sequence;
}

// The event name, built without the library's formatter.
std::string AckEventName(std::uint64_t key) {
    std::ostringstream name;
    name << "KX IPCAckEv 0x" << std::uppercase << std::hex << std::setw(16) << std::setfill('0')
         << key;
    return name.str();
}

bool EventExists(const std::string& name) {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE /*bInheritHandle*/, name.c_str());
    if (event) CloseHandle(event);
    return event != nullptr;
}

CIPCServiceFactorySingleton* Factory() {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    EXPECT_NE(nullptr, factory);
    return factory;
}

}  // namespace

KX_CHILD_ROLE(PoolBorrowAndWait) {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    CKxIPCAcknowledgeEventPoolElement* element = factory->AcquireAcknowledgeElement();
    KxSay("key %llu", static_cast<unsigned long long>(element->GetAcknowledgeKey()));
    const bool woken = element->GetEvent()->Wait(kChildTimeoutMs);
    KxSay(woken ? "woken" : "timeout");
    factory->ReleaseAcknowledgeElement(element);
    return woken ? 0 : 1;
}

TEST(KxAcknowledgeEventPool, LoadMakesTenElementsLentLastInFirstOut) {
    CIPCServiceFactorySingleton* factory = Factory();
    ASSERT_NE(nullptr, factory);
    std::vector<CKxIPCAcknowledgeEventPoolElement*> lent;
    for (std::uint32_t sequence = 10; sequence >= 1; --sequence) {
        lent.push_back(factory->AcquireAcknowledgeElement());
        EXPECT_EQ(OwnKey(sequence), lent.back()->GetAcknowledgeKey());
    }
    lent.push_back(factory->AcquireAcknowledgeElement());
    EXPECT_EQ(OwnKey(11), lent.back()->GetAcknowledgeKey()) << "the list ran dry: a new element";

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
    EXPECT_FALSE(EventExists(AckEventName(retiredKey))) << "closed with its element";
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

TEST(KxAcknowledgeEventPool, EventNameIsTheKeyInSixteenUpperCaseHexDigits) {
    {
        CKxIPCAcknowledgeEventPoolElement element(0x76543210, 0xFEDCBA98u);
        EXPECT_EQ(0xFEDCBA9876543210ull, element.GetAcknowledgeKey());
        EXPECT_TRUE(EventExists("KX IPCAckEv 0xFEDCBA9876543210"));
    }
    EXPECT_FALSE(EventExists("KX IPCAckEv 0xFEDCBA9876543210")) << "the element owned the name";

    // The first element lent: this process's identifier and sequence 10 ("...0000000A").
    CIPCServiceFactorySingleton* factory = Factory();
    CKxIPCAcknowledgeEventPoolElement* element = factory->AcquireAcknowledgeElement();
    ASSERT_EQ(OwnKey(10), element->GetAcknowledgeKey());
    HANDLE byName =
        OpenEventA(EVENT_MODIFY_STATE, FALSE /*bInheritHandle*/, AckEventName(OwnKey(10)).c_str());
    ASSERT_NE(nullptr, byName) << AckEventName(OwnKey(10));
    SetEvent(byName);
    CloseHandle(byName);
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
    const bool returnedWhileHeld = returned.Wait(kChildTimeoutMs);
    holder->WriteLine("release");  // lets a borrower that did wait finish
    borrower.join();
    EXPECT_TRUE(returnedWhileHeld);
    EXPECT_TRUE(holder->WaitForLine("released", kChildTimeoutMs));
}

TEST(KxAcknowledgeEventPool, KeyEventIsOpenedOnceAndKept) {
    CIPCServiceFactorySingleton* factory = Factory();
    const std::uint64_t key = OwnKey(0x7001);  // no element of this process has it
    CKxEvent* event = factory->GetAcknowledgeEvent(key);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(event, factory->GetAcknowledgeEvent(key));
    EXPECT_NE(event, factory->GetAcknowledgeEvent(OwnKey(0x7002)));
    EXPECT_TRUE(EventExists(AckEventName(key))) << "created because no process held it";

    // A key whose name belongs to another kind of object fails, and leaves no entry behind.
    const std::uint64_t blocked = OwnKey(0x7003);
    {
        CKxMutex squatter(AckEventName(blocked));
        ExpectKxThrow<CKxEventException>([&] { factory->GetAcknowledgeEvent(blocked); },
                                         "CKxEvent::CKxEvent -> could not create an event");
    }
    CKxEvent* late = factory->GetAcknowledgeEvent(blocked);
    ASSERT_NE(nullptr, late);
    EXPECT_EQ(late, factory->GetAcknowledgeEvent(blocked));
}

TEST(KxAcknowledgeEventPoolCrossProcess, KeyOfAnotherProcessWakesItsBorrower) {
    auto child = CKxChildProcess::Role("PoolBorrowAndWait");
    ASSERT_TRUE(child);
    std::string line;
    ASSERT_TRUE(child->WaitForLine("key ", kChildTimeoutMs, &line));
    const std::uint64_t key = std::stoull(line.substr(4));
    EXPECT_EQ(child->ProcessId(), key >> 32);
    EXPECT_EQ(10u, key & 0xFFFFFFFFu) << "the child's first loan";

    Factory()->GetAcknowledgeEvent(key)->Set();
    EXPECT_TRUE(child->WaitForLine("woken", kChildTimeoutMs)) << child->Output();
    ASSERT_TRUE(child->WaitForExit(kChildTimeoutMs));
    EXPECT_EQ(0u, child->ExitCode());
}

TEST(KxAcknowledgeEventPool, ConcurrentLookUpsMakeOneEventPerKey) {
    const int kThreads = 8;
    const std::uint32_t kKeys = 48;
    CIPCServiceFactorySingleton* factory = Factory();
    CKxEvent start(true /*manualReset*/);
    std::vector<std::vector<CKxEvent*>> seen(kThreads, std::vector<CKxEvent*>(kKeys));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.Wait(INFINITE);
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

TEST(KxAcknowledgeEventPool, FailedElementCreationUsesNoSequenceNumber) {
    CIPCServiceFactorySingleton* factory = Factory();
    std::vector<CKxIPCAcknowledgeEventPoolElement*> lent;
    for (int i = 0; i < 10; ++i) lent.push_back(factory->AcquireAcknowledgeElement());
    {
        CKxMutex squatter(AckEventName(OwnKey(11)));  // the next element's name, wrong kind
        ExpectKxThrow<CKxEventException>([&] { factory->AcquireAcknowledgeElement(); },
                                         "CKxEvent::CKxEvent -> could not create an event");
    }
    CKxIPCAcknowledgeEventPoolElement* eleventh = factory->AcquireAcknowledgeElement();
    EXPECT_EQ(OwnKey(11), eleventh->GetAcknowledgeKey()) << "the failure used no sequence number";
    lent.push_back(eleventh);
    for (CKxIPCAcknowledgeEventPoolElement* element : lent) {
        factory->ReleaseAcknowledgeElement(element);
    }
}
