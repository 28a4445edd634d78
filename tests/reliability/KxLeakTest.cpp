// Many initialise/uninitialise cycles and many synchronous sends in one process leave its handle
// count and private bytes where they stood after a warm-up. The bands are fixed counts, not
// timings: at most kHandleBand more handles and kPrivateBytesBand more private bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "KxCountingParticipant.h"
#include "KxProcessUsage.h"
#include "KxTestHarness.h"
#include "KxWindows.h"

namespace {

// Allowed growth after warm-up. A leak of one handle or one element per cycle would exceed the
// handle band 100 times over; the byte band absorbs the heap's own page-granular growth.
const std::uint32_t kHandleBand = 8;
const std::int64_t kPrivateBytesBand = 512 * 1024;

struct KxUsage {
    std::uint32_t handles = 0;
    std::int64_t privateBytes = 0;
};

KxUsage Measure() {
    KxUsage usage;
    usage.handles = KxOpenHandleCount();
    usage.privateBytes = static_cast<std::int64_t>(KxPrivateBytes());
    return usage;
}

void ExpectWithinBand(const KxUsage& before, const KxUsage& after) {
    EXPECT_LE(after.handles, before.handles + kHandleBand)
        << "handles " << before.handles << " -> " << after.handles;
    EXPECT_LE(after.privateBytes, before.privateBytes + kPrivateBytesBand)
        << "private bytes " << before.privateBytes << " -> " << after.privateBytes;
    std::printf("handles %u -> %u, private bytes %lld -> %lld\n", before.handles, after.handles,
                static_cast<long long>(before.privateBytes),
                static_cast<long long>(after.privateBytes));
}

// Each cycle joins beside a member that stays (a join notice, its acknowledgement, OnJoin and
// OnQuit on the member's side), then leaves.
TEST(LeakTest, ThousandInitializeCyclesKeepHandlesAndPrivateBytes) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant stays(channel.c_str()), cycles(channel.c_str());
    stays.InitializeParticipant();
    const auto cycle = [&cycles] {
        cycles.InitializeParticipant();
        cycles.UninitializeParticipant();
    };
    for (int i = 0; i < 50; ++i) cycle();
    const KxUsage warm = Measure();
    for (int i = 0; i < 1000; ++i) cycle();
    const KxUsage after = Measure();

    EXPECT_EQ(1050u, stays.joins.load());
    ExpectWithinBand(warm, after);
    stays.UninitializeParticipant();
}

TEST(LeakTest, TenThousandSynchronousSendsKeepHandlesAndPrivateBytes) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant sender(channel.c_str()), receiver(channel.c_str());
    sender.InitializeParticipant();
    receiver.InitializeParticipant();
    const unsigned int to = receiver.GetParticipantID();
    unsigned sent = 0;
    for (int i = 0; i < 200; ++i) sent += sender.SendIPMessage(1, &to, 1, i) ? 1 : 0;
    const KxUsage warm = Measure();
    for (int i = 0; i < 10000; ++i) sent += sender.SendIPMessage(1, &to, 1, i) ? 1 : 0;
    const KxUsage after = Measure();

    EXPECT_EQ(10200u, sent);
    EXPECT_EQ(10200u, receiver.syncs.load());
    ExpectWithinBand(warm, after);
    receiver.UninitializeParticipant();
    sender.UninitializeParticipant();
}

// A long-lived process acknowledges many short-lived senders: the events of those that have ended
// are closed again, so a thousand of them cost no more handles than ten.
TEST(LeakTest, AcknowledgingThousandEndedProcessesHoldsNoMoreHandlesThanTen) {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    const std::uint64_t ownKey = (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) | 0x7000;
    CKxEvent* own = factory->GetAcknowledgeEvent(ownKey);
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
    std::printf("handles after 10 ended senders %u, after 1000 %u\n", afterTen, afterThousand);
    EXPECT_LE(afterThousand, afterTen + kHandleBand);
    EXPECT_EQ(own, factory->GetAcknowledgeEvent(ownKey)) << "a live process's event is kept";
}

}  // namespace
