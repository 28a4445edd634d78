// The message ring on a plain buffer: record layout, wrap-around, capacity, per-recipient order,
// in-order give-back, completion reports, and refusal of corrupted words.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "KxMessageRing.h"

namespace {

constexpr std::uint32_t kGuard = 0xDEADBEEF;
constexpr std::uint32_t kGuardWords = 8;

// The 400 elements with guard words on both sides, to catch any access outside them.
class RingBuffer {
public:
    RingBuffer() : m_words(kGuardWords + 400 + kGuardWords, kGuard), m_ring(Elements()) {
        m_ring.Initialize();
    }
    std::uint32_t* Elements() { return &m_words[kGuardWords]; }
    std::uint32_t& operator[](std::uint32_t element) { return m_words[kGuardWords + element]; }
    CKxMessageRing& Ring() { return m_ring; }
    bool GuardsIntact() const {
        for (std::uint32_t i = 0; i < kGuardWords; ++i) {
            if (m_words[i] != kGuard || m_words[m_words.size() - 1 - i] != kGuard) return false;
        }
        return true;
    }
    std::vector<std::uint32_t> Snapshot() const { return m_words; }

private:
    std::vector<std::uint32_t> m_words;
    CKxMessageRing m_ring;
};

KxRingMessage Message(std::uint32_t sender, std::uint32_t code, std::uint64_t param,
                      std::uint64_t key) {
    KxRingMessage message;
    message.senderId = sender;
    message.messageCode = code;
    message.param = param;
    message.acknowledgeKey = key;
    return message;
}

bool Add(CKxMessageRing& ring, std::vector<std::uint32_t> recipients,
         const KxRingMessage& message) {
    return ring.Add(static_cast<std::uint32_t>(recipients.size()), recipients.data(), message);
}

std::uint32_t FreeWords(const CKxMessageRing& ring) {
    std::uint32_t free = 0xFFFFFFFF;
    EXPECT_TRUE(ring.FreeWords(&free));
    return free;
}

}  // namespace

TEST(KxMessageRing, RecordStartingAtElement398ContinuesAtElement2) {
    RingBuffer buffer;
    buffer[0] = 398;
    buffer[1] = 398;
    ASSERT_EQ(397u, FreeWords(buffer.Ring()));
    const std::uint64_t param = 0x1111111122222222u;
    const std::uint64_t key = 0x3333333344444444u;
    ASSERT_TRUE(Add(buffer.Ring(), {0x10, 0x20}, Message(0x99, 5, param, key)));
    const std::uint32_t expected[][2] = {{398, 2},  {399, 0x10},     {2, 0},           {3, 0x20},
                                         {5, 0x99}, {9, 0x44444444}, {10, 0x33333333}, {1, 11}};
    for (const auto& word : expected) EXPECT_EQ(word[1], buffer[word[0]]) << "element " << word[0];
    EXPECT_TRUE(buffer.GuardsIntact());

    KxRingMessage taken = {};
    std::uint32_t sender = 0;
    std::uint64_t outKey = 0;
    for (std::uint32_t id : {0x10u, 0x20u}) {
        ASSERT_TRUE(buffer.Ring().Take(id, &taken));
        EXPECT_EQ(param, taken.param);
        EXPECT_EQ(key, taken.acknowledgeKey);
        ASSERT_TRUE(buffer.Ring().Acknowledge(id, &sender, &outKey));
    }
    EXPECT_EQ(0x99u, sender);
    EXPECT_EQ(key, outKey);
    EXPECT_EQ(11u, buffer[0]);  // R followed the record across the wrap
    EXPECT_EQ(397u, FreeWords(buffer.Ring()));
}

TEST(KxMessageRing, CapacityIs195RecipientsAndOneWordStaysFree) {
    std::vector<std::uint32_t> ids(196);
    for (std::uint32_t i = 0; i < 196; ++i) ids[i] = 1000 + i;

    RingBuffer tooMany;
    const std::vector<std::uint32_t> before = tooMany.Snapshot();
    EXPECT_FALSE(tooMany.Ring().Add(196, ids.data(), Message(1, 2, 3, 4)));
    EXPECT_FALSE(tooMany.Ring().Add(0, ids.data(), Message(1, 2, 3, 4)));
    EXPECT_FALSE(tooMany.Ring().Add(1, nullptr, Message(1, 2, 3, 4)));
    EXPECT_EQ(before, tooMany.Snapshot());

    // Written wrapping, with W ending just behind R.
    for (std::uint32_t start : {2u, 100u}) {
        RingBuffer buffer;
        buffer[0] = start;
        buffer[1] = start;
        ASSERT_TRUE(buffer.Ring().Add(195, ids.data(), Message(1, 2, 3, 4))) << start;
        EXPECT_EQ(0u, FreeWords(buffer.Ring()));
        EXPECT_EQ(start == 2 ? 399u : 99u, buffer[1]);
        EXPECT_TRUE(buffer.Ring().IsConsistent());
        const std::vector<std::uint32_t> full = buffer.Snapshot();
        EXPECT_FALSE(Add(buffer.Ring(), {7}, Message(1, 2, 3, 4)));
        EXPECT_EQ(full, buffer.Snapshot());
    }
}

TEST(KxMessageRing, EachRecipientTakesAndAcknowledgesOldestFirst) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
    KxRingMessage taken = {};
    EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key));  // empty
    ASSERT_TRUE(Add(ring, {0xA}, Message(1, 101, 0, 0)));
    ASSERT_TRUE(Add(ring, {0xB, 0xA}, Message(1, 102, 0, 0)));
    ASSERT_TRUE(Add(ring, {0xA}, Message(1, 103, 0, 0)));
    EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key)) << "pending, not received";
    EXPECT_FALSE(ring.Take(0xA, nullptr));
    EXPECT_EQ(0u, buffer[4]);

    ASSERT_TRUE(ring.Take(0xB, &taken));
    EXPECT_EQ(102u, taken.messageCode);
    EXPECT_FALSE(ring.Take(0xB, &taken));
    for (std::uint32_t code : {101u, 102u, 103u}) {
        ASSERT_TRUE(ring.Take(0xA, &taken));
        EXPECT_EQ(code, taken.messageCode);
    }
    EXPECT_FALSE(ring.Take(0xA, &taken));
    EXPECT_FALSE(ring.Take(0xC, &taken));
    EXPECT_FALSE(ring.Acknowledge(0xA, nullptr, &key));
    EXPECT_FALSE(ring.Acknowledge(0xA, &sender, nullptr));
    EXPECT_EQ(1u, buffer[4]);

    // A's first acknowledgement completes the oldest record, which goes back at once.
    const std::uint32_t secondRecord = buffer[0] + CKxMessageRing::RecordWords(1);
    ASSERT_TRUE(ring.Acknowledge(0xA, &sender, &key));
    EXPECT_EQ(secondRecord, buffer[0]);
    EXPECT_EQ(1u, buffer[secondRecord + 4]);  // A's entry in the second record still received
    ASSERT_TRUE(ring.Acknowledge(0xA, &sender, &key));
    EXPECT_EQ(2u, buffer[secondRecord + 4]);  // now acknowledged...
    EXPECT_EQ(secondRecord, buffer[0]);       // ...but B still holds the record
    ASSERT_TRUE(ring.Acknowledge(0xA, &sender, &key));
    ASSERT_TRUE(ring.Acknowledge(0xB, &sender, &key));
    EXPECT_EQ(buffer[1], buffer[0]);
    EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key));
}

// Completion is reported (sender and key) only by the acknowledgement that completes a record.
TEST(KxMessageRing, SpaceIsGivenBackOnlyInOrderAndInOneSweep) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(1, 101, 0, 0x500000011u)));
    ASSERT_TRUE(Add(ring, {0xB}, Message(2, 102, 0, 0x22)));
    ASSERT_TRUE(Add(ring, {0xB}, Message(3, 103, 0, 0x33)));
    const std::uint32_t write = buffer[1];

    KxRingMessage taken = {};
    std::uint32_t sender = 0xFFFF;
    std::uint64_t key = 0xFFFF;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(ring.Take(0xB, &taken));
    ASSERT_TRUE(ring.Acknowledge(0xB, &sender, &key));  // first record: A still pending
    EXPECT_EQ(0u, sender);
    EXPECT_EQ(0u, key);
    ASSERT_TRUE(ring.Acknowledge(0xB, &sender, &key));  // second record done, behind the first
    EXPECT_EQ(2u, sender);
    EXPECT_EQ(0x22u, key);
    ASSERT_TRUE(ring.Acknowledge(0xB, &sender, &key));
    EXPECT_EQ(0x33u, key);
    EXPECT_EQ(2u, buffer[0]);
    EXPECT_EQ(397u - 11u - 9u - 9u, FreeWords(ring));

    ASSERT_TRUE(ring.Take(0xA, &taken));
    ASSERT_TRUE(ring.Acknowledge(0xA, &sender, &key));
    EXPECT_EQ(1u, sender);
    EXPECT_EQ(0x500000011u, key);
    EXPECT_EQ(write, buffer[0]);  // all three given back by this one acknowledgement
    EXPECT_EQ(397u, FreeWords(ring));
}

TEST(KxMessageRing, RecordWalkersSeeRecordStartsOnlyOldestFirst) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(5, 1, 0, 0)));
    ASSERT_TRUE(Add(ring, {0xA}, Message(6, 2, 0, 0)));
    KxRingMessage taken = {};
    ASSERT_TRUE(ring.Take(0xB, &taken));
    std::vector<KxRingRecord> seen;
    ASSERT_TRUE(ring.ForEachRecord([&](const KxRingRecord& r) { seen.push_back(r); }));
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(2u, seen[0].position);
    EXPECT_EQ(2u, seen[0].recipientCount);
    EXPECT_EQ(0xBu, seen[0].recipients[1].id);
    EXPECT_EQ(1u, seen[0].recipients[1].state);
    EXPECT_EQ(0u, seen[0].recipients[0].state);
    EXPECT_EQ(13u, seen[1].position);
    EXPECT_EQ(6u, seen[1].message.senderId);

    std::uint32_t position = 0;
    EXPECT_FALSE(ring.FindRecipient(0xA, 0, 1, nullptr));
    ASSERT_TRUE(ring.FindRecipient(0xA, 0, 2, &position));
    EXPECT_EQ(2u, position);
    ASSERT_TRUE(ring.FindRecipient(0xA, 0, 2, &position));
    EXPECT_EQ(13u, position);
    EXPECT_FALSE(ring.FindRecipient(0xA, 2, 3, &position));  // 3 is no state
    EXPECT_TRUE(ring.IsMessageDone(13));
    EXPECT_FALSE(ring.IsMessageDone(2)) << "B has not acknowledged";
    EXPECT_FALSE(ring.IsMessageDone(4));    // inside a record
    EXPECT_FALSE(ring.IsMessageDone(22));   // at W, beyond the records
    EXPECT_FALSE(ring.IsMessageDone(500));  // not a position at all
}

TEST(KxMessageRing, CorruptedPositionsAndRecordsRefuseEveryOperation) {
    struct Case {
        const char* what;
        std::uint32_t element;
        std::uint32_t value;
    };
    // One record to {0xA, 0xB} at 2..12 and one to {0xC} at 13..21; W = 22. The free words hold
    // what looks like old one-recipient records, as they do once the ring has wrapped.
    const Case cases[] = {
        {"R 0", 0, 0},
        {"R 1", 0, 1},
        {"R 400", 0, 400},
        {"R huge", 0, 0x80000000},
        {"W 1", 1, 1},
        {"W 400", 1, 400},
        {"W huge", 1, 0xFFFFFFFF},
        {"N of the first record 0", 2, 0},
        {"N of the second record 0", 13, 0},
        {"N above 195", 2, 196},
        {"N huge", 2, 0xFFFFFFFF},
        {"N whose record size wraps to 11", 2, 0x80000002},
        {"first record running past W", 2, 7},
        {"second record running past W", 13, 2},
        {"W inside the second record", 1, 20},
        {"W beyond the last record", 1, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RingBuffer buffer;
        CKxMessageRing& ring = buffer.Ring();
        ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(1, 2, 3, 4)));
        ASSERT_TRUE(Add(ring, {0xC}, Message(1, 2, 3, 4)));
        for (std::uint32_t element = 22; element < 400; ++element) buffer[element] = 1;
        buffer[c.element] = c.value;
        const std::vector<std::uint32_t> before = buffer.Snapshot();
        std::uint32_t position = 0, sender = 0, free = 0;
        std::uint64_t key = 0;
        KxRingMessage taken = {};
        EXPECT_FALSE(ring.IsConsistent());
        if (c.element < 2 && (c.value < 2 || c.value > 399)) {
            EXPECT_FALSE(ring.FreeWords(&free));
        }
        EXPECT_FALSE(Add(ring, {0xA}, Message(1, 2, 3, 4)));
        EXPECT_FALSE(ring.Take(0xA, &taken));
        EXPECT_FALSE(ring.Take(0xC, &taken));
        EXPECT_FALSE(ring.FindRecipient(0xC, 0, 1, &position));
        EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key));
        EXPECT_FALSE(ring.IsMessageDone(2));
        EXPECT_FALSE(ring.ForEachRecord([](const KxRingRecord&) {}));
        EXPECT_EQ(before, buffer.Snapshot());
    }
}

TEST(KxMessageRing, GarbageStateIsNeverMatchedNorDone) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(1, 2, 3, 4)));
    buffer[4] = 7;  // A's state
    KxRingMessage taken = {};
    std::uint32_t sender = 0, position = 0;
    std::uint64_t key = 0;
    EXPECT_TRUE(ring.IsConsistent());
    EXPECT_FALSE(ring.Take(0xA, &taken));
    EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key));
    EXPECT_FALSE(ring.FindRecipient(0xA, 7, 2, &position));
    EXPECT_EQ(7u, buffer[4]);

    // B completes its part, but a garbage entry never counts as acknowledged.
    ASSERT_TRUE(ring.Take(0xB, &taken));
    ASSERT_TRUE(ring.Acknowledge(0xB, &sender, &key));
    EXPECT_EQ(0u, key);
    EXPECT_FALSE(ring.IsMessageDone(2));
    EXPECT_EQ(2u, buffer[0]);
}

// Random words anywhere in the elements: every operation must end and stay inside them, and a
// ring is reported consistent only when its records cover exactly the words from R to W.
TEST(KxMessageRing, RandomCorruptionNeverEscapesTheElements) {
    std::mt19937 engine(20240601);
    auto random = [&engine](std::uint32_t below) {
        return static_cast<std::uint32_t>(engine() % below);
    };
    for (int round = 0; round < 3000; ++round) {
        RingBuffer buffer;
        CKxMessageRing& ring = buffer.Ring();
        for (std::uint32_t m = random(6); m != 0; --m) {
            Add(ring, {random(4), random(4)}, Message(1, 2, 3, 4));
        }
        for (std::uint32_t hits = 1 + random(4); hits != 0; --hits) {
            const std::uint32_t pick = random(3);
            buffer[random(400)] =
                pick == 0 ? static_cast<std::uint32_t>(engine()) : random(pick == 1 ? 400 : 4);
        }
        std::uint32_t sender = 0, position = 0, free = 0;
        std::uint64_t key = 0;
        KxRingMessage taken = {};
        for (int op = 0; op < 8; ++op) {
            const std::uint32_t id = random(4);
            const std::uint32_t which = random(5);
            if (which == 0) Add(ring, {id}, Message(1, 2, 3, 4));
            if (which == 1) ring.Take(id, &taken);
            if (which == 2) ring.Acknowledge(id, &sender, &key);
            if (which == 3) ring.FindRecipient(id, random(4), random(4), &position);
            if (which == 4) ring.IsMessageDone(static_cast<std::uint32_t>(engine()));
        }
        ring.FreeWords(&free);
        std::uint32_t visited = 0;
        const bool walked = ring.ForEachRecord([&](const KxRingRecord& r) { visited += r.words; });
        ASSERT_TRUE(buffer.GuardsIntact()) << "round " << round;
        ASSERT_EQ(walked, ring.IsConsistent()) << "round " << round;
        // A walk it accepts covers exactly the words from R to W.
        if (walked) {
            ASSERT_EQ((buffer[1] + 398 - buffer[0]) % 398, visited) << "round " << round;
        }
    }
}
