// Members in child processes keep running while this process overwrites their channel's segments:
// crafted words that make calls impossible are refused with false, random words crash nothing and
// hang nothing beyond the fixed waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KxMemberProcess.h"
#include "KxTestHarness.h"
#include "KxWindows.h"
#include "kxipc.h"

namespace {

// Segment layouts, as every process of a channel sees them (32-bit words).
const std::uint32_t kIdWords = 1 + 1 + 50;                  // header, count, 50 identifiers
const std::uint32_t kQueueWords = 1 + 400;                  // header, R, W, 398 ring words
const std::uint32_t kCount = 1, kR = 1, kW = 2, kRing = 3;  // word indexes in the segments

// A member of a child process: remembers the others, counts deliveries.
class HostileParticipant : public CkxIPCParticipant {
public:
    explicit HostileParticipant(const char* channel) : CkxIPCParticipant(channel) {}
    ~HostileParticipant() override { UninitializeParticipant(); }
    std::vector<unsigned int> Others() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_others;
    }

protected:
    void OnJoin(unsigned int id, bool) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_others.push_back(id);
    }
    void OnQuit(unsigned int id) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_others.erase(std::remove(m_others.begin(), m_others.end(), id), m_others.end());
    }
    void OnSyncMessage(unsigned int, unsigned int, unsigned long long) override {}
    void OnReceive(unsigned int sender, unsigned int code, unsigned long long) override {
        KxSay("recv %u %u", sender, code);
    }

private:
    std::mutex m_lock;
    std::vector<unsigned int> m_others;
};

DWORD ElapsedMs(DWORD since) { return GetTickCount() - since; }

// Two participants that join, say "ready", and once "go" arrives send, post, leave and rejoin in a
// loop until "stop" arrives on stdin;
// "mark" is answered with "marked" by the loop itself, proving that it still turns. Ends with
// "done <longest send ms> <longest initialise ms>".
KX_CHILD_ROLE(HostileBusyMember) {
    const std::string channel = args.at(0);
    HostileParticipant a(channel.c_str()), b(channel.c_str());
    HostileParticipant* members[2] = {&a, &b};
    DWORD longestSend = 0, longestInit = 0;
    auto initialize = [&](HostileParticipant* member) {
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
    std::atomic<bool> stop(false), markRequested(false);
    std::thread input([&] {
        std::string command;
        while (KxReadLine(&command)) {
            if (command == "stop") break;
            if (command == "mark") markRequested = true;
        }
        stop = true;
    });
    std::mt19937 random(GetCurrentProcessId());
    for (unsigned round = 0; !stop; ++round) {
        HostileParticipant* member = members[round % 2];
        const std::vector<unsigned int> others = member->Others();
        const unsigned roll = random() % 100;
        const DWORD start = GetTickCount();
        if (roll < 40) {
            member->SendIPMessage(0, nullptr, 1 + roll, round);
        } else if (roll < 80 && !others.empty()) {
            member->PostIPMessage(static_cast<unsigned int>(others.size()), others.data(), 1,
                                  round);
        } else if (roll < 95 && !others.empty()) {
            member->SendIPMessage(1, &others[random() % others.size()], 2, round);
        } else {
            member->UninitializeParticipant();
            initialize(member);
        }
        if (roll < 95) longestSend = std::max(longestSend, ElapsedMs(start));
        if (markRequested.exchange(false)) KxSay("marked");
    }
    input.join();
    a.UninitializeParticipant();
    b.UninitializeParticipant();
    KxSay("done %lu %lu", longestSend, longestInit);
    return 0;
}

// A writable view of one of the channel's segments, opened by name like any process can.
class SegmentView {
public:
    SegmentView(const std::string& name, std::uint32_t words) : m_words(words) {
        m_mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE /*bInheritHandle*/, name.c_str());
        if (m_mapping) {
            m_view = static_cast<std::uint32_t*>(
                MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, words * sizeof(std::uint32_t)));
        }
    }
    ~SegmentView() {
        if (m_view) UnmapViewOfFile(m_view);
        if (m_mapping) CloseHandle(m_mapping);
    }
    bool IsOpen() const { return m_view != nullptr; }
    // Volatile: the members read and write the same words at the same time.
    volatile std::uint32_t& operator[](std::uint32_t i) { return m_view[i]; }
    std::vector<std::uint32_t> Copy() const {
        return std::vector<std::uint32_t>(m_view, m_view + m_words);
    }
    void Restore(const std::vector<std::uint32_t>& words) {
        for (std::uint32_t i = 0; i < m_words; ++i) m_view[i] = words[i];
    }

private:
    HANDLE m_mapping = nullptr;
    std::uint32_t* m_view = nullptr;
    std::uint32_t m_words;
};

std::string IdsName(const std::string& channel) {
    return "TKxInterProcessGrowArray" + channel + "_Participant_IDs_Array";
}
std::string QueueName(const std::string& channel) {
    return "TKxInterProcessArray" + channel + "_Message_Queue";
}

// Holds the channel mutex, as a member writing the segments would.
class ChannelMutexHold {
public:
    explicit ChannelMutexHold(const std::string& channel)
        : m_mutex(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE /*bInheritHandle*/,
                             (channel + "_Mutex").c_str())) {
        m_held = m_mutex && WaitForSingleObject(m_mutex, 30000) == WAIT_OBJECT_0;
    }
    ~ChannelMutexHold() {
        if (m_held) ReleaseMutex(m_mutex);
        if (m_mutex) CloseHandle(m_mutex);
    }
    bool Held() const { return m_held; }

private:
    HANDLE m_mutex;
    bool m_held = false;
};

}  // namespace

TEST(KxHostileSegmentTest, CraftedWordsMakePostsRefuseAndRestoredSegmentsWorkAgain) {
    const std::string channel = KxUniqueName("crafted");
    auto sender = CKxMemberProcess::Joined(channel), receiver = CKxMemberProcess::Joined(channel);
    SegmentView ids(IdsName(channel), kIdWords);
    SegmentView queue(QueueName(channel), kQueueWords);
    ASSERT_TRUE(ids.IsOpen());
    ASSERT_TRUE(queue.IsOpen());
    std::vector<std::uint32_t> goodIds, goodQueue;
    {
        ChannelMutexHold hold(channel);
        ASSERT_TRUE(hold.Held());
        goodIds = ids.Copy();
        goodQueue = queue.Copy();
    }
    ASSERT_EQ(2u, goodIds[kCount]);
    unsigned long long param = 0;

    struct Case {
        const char* what;
        void (*write)(SegmentView& ids, SegmentView& queue);
    };
    const Case cases[] = {
        {"R below the ring", [](SegmentView&, SegmentView& q) { q[kR] = 0; }},
        {"R beyond the ring", [](SegmentView&, SegmentView& q) { q[kR] = 400; }},
        {"W far beyond", [](SegmentView&, SegmentView& q) { q[kW] = 0xFFFFFFFF; }},
        {"record with N = 0",
         [](SegmentView&, SegmentView& q) {
             q[kR] = 2;
             q[kW] = 11;
             q[kRing] = 0;
         }},
        {"record with N = 196",
         [](SegmentView&, SegmentView& q) {
             q[kR] = 2;
             q[kW] = 11;
             q[kRing] = 196;
         }},
        {"records that overrun W",
         [](SegmentView&, SegmentView& q) {
             q[kR] = 2;
             q[kW] = 12;  // one record of N = 1 takes 9 words: ends at 11
             q[kRing] = 1;
         }},
        {"ring full of a record nobody acknowledges",
         [](SegmentView&, SegmentView& q) {
             // N = 195 (397 words) for identifier 0xFFFFFFF0, no member: the ring is full.
             q[kR] = 2;
             q[kW] = 2 + 397;
             q[kRing] = 195;
             for (std::uint32_t i = 0; i < 195; ++i) {
                 q[kRing + 1 + 2 * i] = 0xFFFFFFF0;
                 q[kRing + 2 + 2 * i] = 0;
             }
         }},
        {"member count 51", [](SegmentView& a, SegmentView&) { a[kCount] = 51; }},
        {"member count 0xFFFFFFFF", [](SegmentView& a, SegmentView&) { a[kCount] = 0xFFFFFFFF; }},
        {"recipient dropped from the list", [](SegmentView& a, SegmentView&) { a[kCount] = 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            ChannelMutexHold hold(channel);
            ASSERT_TRUE(hold.Held());
            ids.Restore(goodIds);
            queue.Restore(goodQueue);
            c.write(ids, queue);
        }
        // Refused, not lost in a hang or a crash: the sender answers.
        EXPECT_FALSE(sender->Post(7, ++param, {receiver->Id()}));
        EXPECT_EQ(1u, sender->Count(KxLine("posted", {param, 0})));
    }

    // Good contents again: the same post goes through and arrives at the receiver, which lived
    // through it all.
    {
        ChannelMutexHold hold(channel);
        ASSERT_TRUE(hold.Held());
        ids.Restore(goodIds);
        queue.Restore(goodQueue);
    }
    EXPECT_TRUE(sender->Post(7, ++param, {receiver->Id()}));
    EXPECT_TRUE(receiver->Saw(KxLine("recv", {sender->Id(), 7, param})));
}

// Busy members, three processes of two participants, while the words of both segments are
// overwritten with random values and with values chosen to break each check, without the lock and
// with it. Sends may wait out their 25 000 ms when a record is destroyed under them.
TEST(KxHostileSegmentTest, ScribbledSegmentsLeaveBusyMembersRunningSlow) {
    const std::string channel = KxUniqueName("scribble");
    std::vector<std::unique_ptr<CKxChildProcess>> members;
    for (int i = 0; i < 3; ++i) {
        members.push_back(CKxChildProcess::Role("HostileBusyMember", {channel}));
        ASSERT_TRUE(members.back()->WaitForLine("ready", 120000));
    }
    for (auto& member : members) member->WriteLine("go");
    SegmentView ids(IdsName(channel), kIdWords);
    SegmentView queue(QueueName(channel), kQueueWords);
    ASSERT_TRUE(ids.IsOpen());
    ASSERT_TRUE(queue.IsOpen());

    std::mt19937 random(20240611);
    const std::uint32_t crafted[] = {0,   1,          2,          3,          9,         50,  51,
                                     195, 196,        397,        398,        399,       400, 401,
                                     7,   0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    auto value = [&]() -> std::uint32_t {
        return random() % 2 ? crafted[random() % (sizeof(crafted) / sizeof(crafted[0]))]
                            : static_cast<std::uint32_t>(random());
    };
    for (int round = 0; round < 3000; ++round) {
        const unsigned target = random() % 8;
        if (target == 0) {
            ids[random() % kIdWords] = value();  // header, count or an identifier
        } else if (target == 1) {
            queue[kR + random() % 2] = value();  // R or W
        } else if (target == 2) {
            // Under the lock, a consistent-looking record at R with crafted recipients.
            ChannelMutexHold hold(channel);
            const std::uint32_t r = queue[kR];
            if (r >= 2 && r < 400) queue[1 + r] = 1 + random() % 3;
        } else {
            queue[random() % kQueueWords] = value();  // record bodies, recipient states
        }
        if (round % 10 == 0) Sleep(1);  // let the members run between bursts
    }

    for (auto& member : members) {
        EXPECT_EQ(STILL_ACTIVE, member->ExitCode());
        // The member's loop turns after the scribbling (a send may first wait out 25 000 ms).
        member->WriteLine("mark");
        EXPECT_TRUE(member->WaitForLine("marked", 90000));
    }
    for (auto& member : members) {
        member->WriteLine("stop");
        std::string done;
        ASSERT_TRUE(member->WaitForLine("done", 120000, &done));
        ASSERT_TRUE(member->WaitForExit(60000));
        EXPECT_EQ(0u, member->ExitCode());
        unsigned long longestSend = 0, longestInit = 0;
        ASSERT_EQ(2, std::sscanf(done.c_str(), "done %lu %lu", &longestSend, &longestInit));
        // Bounds, not speeds: no call waited beyond its fixed waits (plus a loaded machine's
        // margin), so no wait in the library went unbounded.
        EXPECT_LE(longestSend, 25000u + 10000u);
        EXPECT_LE(longestInit, 2 * 25000u + 10000u);
    }
}
