// Many initialise/uninitialise cycles and many synchronous sends in one process leave its handle
// count and private bytes where they stood after a warm-up. The bands are fixed counts, not
// timings: at most kHandleBand more handles and kPrivateBytesBand more private bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "KxCountingParticipant.h"
#include "KxKernelTestSupport.h"
#include "KxNamedEventProbe.h"
#include "KxProcessUsage.h"
#include "KxTestHarness.h"

namespace {

// Allowed growth after warm-up. A leak of one handle or one element per cycle would exceed the
// handle band 100 times over; the byte band absorbs the heap's own page-granular growth.
const std::uint32_t kHandleBand = 8;
const std::int64_t kPrivateBytesBand = 512 * 1024;

// Joins beside a member that stays (a join notice, its acknowledgement, OnJoin and OnQuit on the
// member's side) and leaves, then sends synchronously to that member, cycles times each.
void JoinAndSend(CKxCountingParticipant* stays, CKxCountingParticipant* cycles, int times) {
    const unsigned int to = stays->GetParticipantID();
    for (int i = 0; i < times; ++i) {
        cycles->InitializeParticipant();
        cycles->UninitializeParticipant();
    }
    cycles->InitializeParticipant();
    for (int i = 0; i < 10 * times; ++i) EXPECT_TRUE(cycles->SendIPMessage(1, &to, 1, i));
    cycles->UninitializeParticipant();
}

TEST(LeakTest, ThousandJoinsAndTenThousandSynchronousSendsKeepHandlesAndPrivateBytes) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant stays(channel.c_str()), cycles(channel.c_str());
    stays.InitializeParticipant();
    JoinAndSend(&stays, &cycles, 50);
    const std::uint32_t handles = KxOpenHandleCount();
    const std::int64_t privateBytes = static_cast<std::int64_t>(KxPrivateBytes());
    JoinAndSend(&stays, &cycles, 1000);

    EXPECT_EQ(1052u, stays.joins.load());
    EXPECT_EQ(10500u, stays.syncs.load());
    EXPECT_LE(KxOpenHandleCount(), handles + kHandleBand);
#ifndef KXIPC_SANITIZED  // a sanitizer holds freed memory back (quarantine) and shadows it
    EXPECT_LE(static_cast<std::int64_t>(KxPrivateBytes()), privateBytes + kPrivateBytesBand);
#endif
    stays.UninitializeParticipant();
}

// Whether the acknowledge event of key exists: some process holds it open.
bool AcknowledgeEventExists(std::uint64_t key) {
    char name[64];
    std::snprintf(name, sizeof(name), "KX IPCAckEv 0x%016llX",
                  static_cast<unsigned long long>(key));
    return KxNamedEventExists(name);
}

// A long-lived process acknowledges many short-lived senders: the events of those that have ended
// are closed again, so a thousand of them cost no more handles than ten; the event kept for a
// process that lives on stays open.
TEST(LeakTest, AcknowledgingThousandEndedProcessesHoldsNoMoreHandlesThanTen) {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    const auto alive = HoldMutexInChild(KxUniqueName("alive"));  // any process that lives on
    ASSERT_TRUE(alive);
    // A key the child never made: only the event kept here holds its name.
    const std::uint64_t liveKey = static_cast<std::uint64_t>(alive->ProcessId()) << 32 | 0x7000;
    factory->SetAcknowledgeEvent(liveKey);
    // Process identifiers far above any the platform hands out: no process has them.
    const auto acknowledge = [factory](std::uint32_t first, std::uint32_t count) {
        for (std::uint64_t process = 0xFFFF0000u + 4 * first; count-- > 0; process += 4) {
            factory->SetAcknowledgeEvent(process << 32 | 1);
        }
    };
    acknowledge(0, 10);
    const std::uint32_t afterTen = KxOpenHandleCount();
    acknowledge(10, 990);
    const std::uint32_t afterThousand = KxOpenHandleCount();
    EXPECT_LE(afterThousand, afterTen + kHandleBand) << afterTen << " -> " << afterThousand;
    EXPECT_TRUE(AcknowledgeEventExists(liveKey)) << "a live process's kept event was closed";
}

// An element whose wait ended without the signal retires, and its key with it: the next element
// has a fresh key. The events kept for retired keys, in a process that acknowledges a live
// sender and in the sender acknowledging its own, must not grow with the retirements; the one
// kept for the sender's key in steady use stays open.
TEST(LeakTest, RetiringThousandElementsHoldsNoMoreHandlesThanTen) {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    const auto sender = HoldMutexInChild(KxUniqueName("sender"));  // lives through the test
    ASSERT_TRUE(sender);
    const std::uint64_t inUse = static_cast<std::uint64_t>(sender->ProcessId()) << 32 | 0x100;
    std::uint64_t senderKey = inUse;
    const auto retire = [&](int count) {
        while (count-- > 0) {
            factory->SetAcknowledgeEvent(inUse);
            CKxIPCAcknowledgeEventPoolElement* element = factory->AcquireAcknowledgeElement();
            element->NoteWaitEndedUnsignalled();
            factory->SetAcknowledgeEvent(element->GetAcknowledgeKey());  // acknowledged late
            factory->ReleaseAcknowledgeElement(element);
            factory->SetAcknowledgeEvent(++senderKey);  // the sender's next key, retired too
        }
    };
    retire(10);
    const std::uint32_t afterTen = KxOpenHandleCount();
    retire(990);
    const std::uint32_t afterThousand = KxOpenHandleCount();
    EXPECT_LE(afterThousand, afterTen + kHandleBand) << afterTen << " -> " << afterThousand;
    EXPECT_TRUE(AcknowledgeEventExists(inUse)) << "closed the key in use, not a retired one";
}

}  // namespace
