// Members in child processes keep running while this process overwrites their channel's segments:
// random and crafted words crash nothing and hang nothing beyond the fixed waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CKxMutex.h"
#include "CKxSharedMemory.h"
#include "KxChannelLayout.h"
#include "KxCountingParticipant.h"
#include "KxTestHarness.h"

namespace {

// Segment layouts, as every process of a channel sees them (32-bit words).
const std::uint32_t kIdWords = 1 + kKxIdArrayElements;   // header, count, identifiers
const std::uint32_t kQueueWords = 1 + kKxQueueElements;  // header, R, W, ring words
const std::uint32_t kR = 1;                              // R's word in the queue segment, W next

// Two participants that join, say "ready", and once "go" arrives send, post, leave and rejoin in a
// loop until "stop" arrives on stdin. The loop ends after the call under way, so "done <longest
// send ms> <longest initialise ms>" proves that it still turned.
KX_CHILD_ROLE(HostileBusyMember) {
    const std::string channel = args.at(0);
    CKxCountingParticipant a(channel.c_str()), b(channel.c_str());
    CKxCountingParticipant* members[2] = {&a, &b};
    unsigned long long longestSend = 0, longestInit = 0;
    auto initialize = [&](CKxCountingParticipant* member) {
        const unsigned long long start = KxNowMs();
        member->InitializeParticipant();
        longestInit = std::max(longestInit, KxNowMs() - start);
    };
    initialize(&a);
    initialize(&b);
    KxSay("ready");
    // Every member joins before any starts its loop: busy loops hammering the channel mutex would
    // otherwise starve a later joiner's first lock on a loaded machine.
    std::string line;
    if (!KxReadLine(&line) || line != "go") return 1;
    std::atomic<bool> stop(false);
    std::thread input([&] {
        while (KxReadLine(&line) && line != "stop") {
        }
        stop = true;
    });
    std::mt19937 random(KxThisProcessId());
    for (unsigned round = 0; !stop; ++round) {
        CKxCountingParticipant* member = members[round % 2];
        const unsigned int sibling = members[(round + 1) % 2]->GetParticipantID();
        const unsigned roll = random() % 100;
        const unsigned long long start = KxNowMs();
        if (roll < 40) {
            member->SendIPMessage(0, nullptr, 1 + roll, round);  // to every other member
        } else if (roll < 80) {
            member->PostIPMessage(0, nullptr, 1, round);
        } else if (roll < 95) {
            member->SendIPMessage(1, &sibling, 2, round);
        } else {
            member->UninitializeParticipant();
            initialize(member);
        }
        if (roll < 95) longestSend = std::max(longestSend, KxNowMs() - start);
    }
    input.join();
    a.UninitializeParticipant();
    b.UninitializeParticipant();
    KxSay("done %llu %llu", longestSend, longestInit);
    return 0;
}

// One of the channel's segments, opened by name like any process can; null when it did not exist.
std::unique_ptr<CKxSharedMemory> OpenSegment(const std::string& name) {
    bool created = false;
    std::unique_ptr<CKxSharedMemory> segment(new CKxSharedMemory(4, name, &created));
    return created ? nullptr : std::move(segment);
}

// A segment's words. Volatile: the members read and write the same words at the same time.
volatile std::uint32_t* Words(CKxSharedMemory* segment) {
    return static_cast<volatile std::uint32_t*>(segment->GetBaseAddress());
}

}  // namespace

// Busy members, two processes of two participants, while the words of both segments are
// overwritten with random values and with values chosen to break each check, without the lock and
// with it. Sends may wait out their 25 000 ms when a record is destroyed under them.
TEST(KxHostileSegmentTest, ScribbledSegmentsLeaveBusyMembersRunningSlow) {
    const std::string channel = KxUniqueName("scribble");
    std::vector<std::unique_ptr<CKxChildProcess>> members;
    for (int i = 0; i < 2; ++i) {
        members.push_back(CKxChildProcess::Role("HostileBusyMember", {channel}));
        ASSERT_TRUE(members.back()->WaitForLine("ready", 120000));
    }
    for (auto& member : members) member->WriteLine("go");
    auto idSegment = OpenSegment("TKxInterProcessGrowArray" + channel + "_Participant_IDs_Array");
    auto queueSegment = OpenSegment("TKxInterProcessArray" + channel + "_Message_Queue");
    std::unique_ptr<CKxMutex> mutex(CKxMutex::OpenExisting(channel + "_Mutex"));
    ASSERT_TRUE(idSegment && queueSegment && mutex);
    volatile std::uint32_t *ids = Words(idSegment.get()), *queue = Words(queueSegment.get());

    std::mt19937 random(20240611);
    const std::uint32_t crafted[] = {0,   1,          2,          3,          9,         50,  51,
                                     195, 196,        397,        398,        399,       400, 401,
                                     7,   0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    auto value = [&]() -> std::uint32_t {
        return random() % 2 ? crafted[random() % (sizeof(crafted) / sizeof(crafted[0]))]
                            : static_cast<std::uint32_t>(random());
    };
    for (int round = 0; round < 1000; ++round) {
        const unsigned target = random() % 8;
        if (target == 0) {
            ids[random() % kIdWords] = value();  // header, count or an identifier
        } else if (target == 1) {
            queue[kR + random() % 2] = value();  // R or W
        } else if (target == 2) {
            // Under the lock, as a member writes: a record at R with crafted recipients.
            if (!mutex->Wait(kKxDeadlineMs)) continue;
            const std::uint32_t r = queue[kR];
            if (r >= 2 && r < 400) queue[1 + r] = 1 + random() % 3;
            mutex->Release();
        } else {
            queue[random() % kQueueWords] = value();  // record bodies, recipient states
        }
        if (round % 10 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // let the members run
    }

    // Each member's loop ends after its call under way, which may first wait out 25 000 ms (a
    // start twice that); all of them at once, so that the waits overlap.
    for (auto& member : members) member->WriteLine("stop");
    for (auto& member : members) {
        std::string done;
        ASSERT_TRUE(member->WaitForLine("done", 120000, &done));
        ASSERT_TRUE(member->WaitForExit(kKxDeadlineMs));
        EXPECT_EQ(0u, member->ExitCode());
        unsigned long long longestSend = 0, longestInit = 0;
        ASSERT_EQ(2, std::sscanf(done.c_str(), "done %llu %llu", &longestSend, &longestInit));
        // Bounds, not speeds: no call waited beyond its fixed waits (plus a loaded machine's
        // margin), so no wait in the library went unbounded.
        EXPECT_LE(longestSend, 25000u + 10000u);
        EXPECT_LE(longestInit, 2 * 25000u + 10000u);
    }
}
