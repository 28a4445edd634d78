// Members in child processes keep running while this process overwrites their channel's segments:
// random and crafted words crash nothing and hang nothing beyond the fixed waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "KxChannelLayout.h"
#include "KxCountingParticipant.h"
#include "KxScopeGuard.h"
#include "KxTestHarness.h"
#include "KxWindows.h"

namespace {

// Segment layouts, as every process of a channel sees them (32-bit words).
const std::uint32_t kIdWords = 1 + kKxIdArrayElements;  // header, count, identifiers
const std::uint32_t kQueueWords = 1 + kKxQueueElements;  // header, R, W, ring words
const std::uint32_t kR = 1;                              // R's word in the queue segment, W next

DWORD ElapsedMs(DWORD since) { return GetTickCount() - since; }

// Two participants that join, say "ready", and once "go" arrives send, post, leave and rejoin in a
// loop until "stop" arrives on stdin. The loop ends after the call under way, so "done <longest
// send ms> <longest initialise ms>" proves that it still turned.
KX_CHILD_ROLE(HostileBusyMember) {
    const std::string channel = args.at(0);
    CKxCountingParticipant a(channel.c_str()), b(channel.c_str());
    CKxCountingParticipant* members[2] = {&a, &b};
    DWORD longestSend = 0, longestInit = 0;
    auto initialize = [&](CKxCountingParticipant* member) {
        const DWORD start = GetTickCount();
        member->InitializeParticipant();
        longestInit = std::max(longestInit, ElapsedMs(start));
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
    std::mt19937 random(GetCurrentProcessId());
    for (unsigned round = 0; !stop; ++round) {
        CKxCountingParticipant* member = members[round % 2];
        const unsigned int sibling = members[(round + 1) % 2]->GetParticipantID();
        const unsigned roll = random() % 100;
        const DWORD start = GetTickCount();
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
        if (roll < 95) longestSend = std::max(longestSend, ElapsedMs(start));
    }
    input.join();
    a.UninitializeParticipant();
    b.UninitializeParticipant();
    KxSay("done %lu %lu", longestSend, longestInit);
    return 0;
}

// A writable view of one of the channel's segments, opened by name like any process can; null when
// it cannot be opened. Volatile: the members read and write the same words at the same time.
volatile std::uint32_t* MapSegment(const std::string& name) {
    const HANDLE mapping =
        OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE /*bInheritHandle*/, name.c_str());
    if (!mapping) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0 /*whole*/);
    CloseHandle(mapping);  // the view keeps the section
    return static_cast<volatile std::uint32_t*>(view);
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
    volatile std::uint32_t* ids =
        MapSegment("TKxInterProcessGrowArray" + channel + "_Participant_IDs_Array");
    volatile std::uint32_t* queue = MapSegment("TKxInterProcessArray" + channel + "_Message_Queue");
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE /*bInheritHandle*/,
                                    (channel + "_Mutex").c_str());
    TKxScopeGuard close([&] {
        if (ids) UnmapViewOfFile(const_cast<std::uint32_t*>(ids));
        if (queue) UnmapViewOfFile(const_cast<std::uint32_t*>(queue));
        if (mutex) CloseHandle(mutex);
    });
    ASSERT_TRUE(ids && queue && mutex);

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
            if (WaitForSingleObject(mutex, kKxDeadlineMs) != WAIT_OBJECT_0) continue;
            const std::uint32_t r = queue[kR];
            if (r >= 2 && r < 400) queue[1 + r] = 1 + random() % 3;
            ASSERT_TRUE(ReleaseMutex(mutex));
        } else {
            queue[random() % kQueueWords] = value();  // record bodies, recipient states
        }
        if (round % 10 == 0) Sleep(1);  // let the members run between bursts
    }

    // Each member's loop ends after its call under way, which may first wait out 25 000 ms (a
    // start twice that); all of them at once, so that the waits overlap.
    for (auto& member : members) member->WriteLine("stop");
    for (auto& member : members) {
        std::string done;
        ASSERT_TRUE(member->WaitForLine("done", 120000, &done));
        ASSERT_TRUE(member->WaitForExit(kKxDeadlineMs));
        EXPECT_EQ(0u, member->ExitCode());
        unsigned long longestSend = 0, longestInit = 0;
        ASSERT_EQ(2, std::sscanf(done.c_str(), "done %lu %lu", &longestSend, &longestInit));
        // Bounds, not speeds: no call waited beyond its fixed waits (plus a loaded machine's
        // margin), so no wait in the library went unbounded.
        EXPECT_LE(longestSend, 25000u + 10000u);
        EXPECT_LE(longestInit, 2 * 25000u + 10000u);
    }
}
