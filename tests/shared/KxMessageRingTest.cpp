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

TEST(KxMessageRing, RecordLayoutMatchesTheWireFormat) {
    RingBuffer buffer;
    ASSERT_TRUE(
        Add(buffer.Ring(), {0x10, 0x20},
            Message(0x1234, 7, (std::uint64_t{1} << 32) | 2, (std::uint64_t{0xA0B} << 32) | 3)));
    const std::uint32_t expected[] = {2, 0x10, 0, 0x20, 0, 0x1234, 7, 1, 2, 3, 0xA0B};
    for (std::uint32_t k = 0; k < 11; ++k) EXPECT_EQ(expected[k], buffer[2 + k]) << "word " << k;
    EXPECT_EQ(2u, buffer[0]);
    EXPECT_EQ(13u, buffer[1]);
    EXPECT_EQ(0u, buffer[13]);
    EXPECT_EQ(397u - 11u, FreeWords(buffer.Ring()));

    KxRingMessage taken = {};
    ASSERT_TRUE(buffer.Ring().Take(0x20, &taken));
    EXPECT_EQ(0x1234u, taken.senderId);
    EXPECT_EQ(7u, taken.messageCode);
    EXPECT_EQ(0x0000000100000002u, taken.param);
    EXPECT_EQ(0x00000A0B00000003u, taken.acknowledgeKey);
    EXPECT_EQ(1u, buffer[6]);  // the second recipient's state: received
    EXPECT_EQ(0u, buffer[4]);
}

TEST(KxMessageRing, RecordStartingAtElement398ContinuesAtElement2) {
    RingBuffer buffer;
    buffer[0] = 398;
    buffer[1] = 398;
    ASSERT_EQ(397u, FreeWords(buffer.Ring()));
    const std::uint64_t param = 0x1111111122222222u;
    const std::uint64_t key = 0x3333333344444444u;
    ASSERT_TRUE(Add(buffer.Ring(), {0x10, 0x20}, Message(0x99, 5, param, key)));
    EXPECT_EQ(2u, buffer[398]);
    EXPECT_EQ(0x10u, buffer[399]);
    EXPECT_EQ(0u, buffer[2]);
    EXPECT_EQ(0x20u, buffer[3]);
    EXPECT_EQ(0x99u, buffer[5]);
    EXPECT_EQ(0x44444444u, buffer[9]);   // key low half
    EXPECT_EQ(0x33333333u, buffer[10]);  // key high half
    EXPECT_EQ(11u, buffer[1]);
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

    RingBuffer bad;
    EXPECT_FALSE(bad.Ring().Add(0, ids.data(), Message(1, 2, 3, 4)));
    EXPECT_FALSE(bad.Ring().Add(1, nullptr, Message(1, 2, 3, 4)));
    EXPECT_EQ(2u, bad[1]);
}

TEST(KxMessageRing, EachRecipientTakesAndAcknowledgesOldestFirst) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA}, Message(1, 101, 0, 0)));
    ASSERT_TRUE(Add(ring, {0xB, 0xA}, Message(1, 102, 0, 0)));
    ASSERT_TRUE(Add(ring, {0xA}, Message(1, 103, 0, 0)));

    KxRingMessage taken = {};
    ASSERT_TRUE(ring.Take(0xB, &taken));
    EXPECT_EQ(102u, taken.messageCode);
    EXPECT_FALSE(ring.Take(0xB, &taken));
    for (std::uint32_t code : {101u, 102u, 103u}) {
        ASSERT_TRUE(ring.Take(0xA, &taken));
        EXPECT_EQ(code, taken.messageCode);
    }
    EXPECT_FALSE(ring.Take(0xA, &taken));
    EXPECT_FALSE(ring.Take(0xC, &taken));

    // A's first acknowledgement completes the oldest record, which goes back at once.
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
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

TEST(KxMessageRing, AcknowledgeNeedsAReceivedEntryAndBothOuts) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
    EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key));  // empty
    ASSERT_TRUE(Add(ring, {0xA}, Message(1, 2, 3, 4)));
    EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key));  // pending, not received
    KxRingMessage taken = {};
    EXPECT_FALSE(ring.Take(0xA, nullptr));
    EXPECT_EQ(0u, buffer[4]);
    ASSERT_TRUE(ring.Take(0xA, &taken));
    EXPECT_FALSE(ring.Acknowledge(0xA, nullptr, &key));
    EXPECT_FALSE(ring.Acknowledge(0xA, &sender, nullptr));
    EXPECT_EQ(1u, buffer[4]);
    EXPECT_TRUE(ring.Acknowledge(0xA, &sender, &key));
}

TEST(KxMessageRing, SpaceIsGivenBackOnlyInOrderAndInOneSweep) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(1, 101, 0, 0x11)));
    ASSERT_TRUE(Add(ring, {0xB}, Message(2, 102, 0, 0x22)));
    ASSERT_TRUE(Add(ring, {0xB}, Message(3, 103, 0, 0x33)));
    const std::uint32_t write = buffer[1];

    KxRingMessage taken = {};
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(ring.Take(0xB, &taken));
    ASSERT_TRUE(ring.Acknowledge(0xB, &sender, &key));  // first record: A still pending
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
    EXPECT_EQ(0x11u, key);
    EXPECT_EQ(write, buffer[0]);  // all three given back by this one acknowledgement
    EXPECT_EQ(397u, FreeWords(ring));
}

TEST(KxMessageRing, OnlyTheCompletingAcknowledgementOfAKeyedMessageReportsIt) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(0x77, 1, 0, 0x500000001u)));
    ASSERT_TRUE(Add(ring, {0xA}, Message(0x78, 2, 0, 0)));
    KxRingMessage taken = {};
    ASSERT_TRUE(ring.Take(0xA, &taken));
    ASSERT_TRUE(ring.Take(0xB, &taken));
    ASSERT_TRUE(ring.Take(0xA, &taken));

    std::uint32_t sender = 0xFFFF;
    std::uint64_t key = 0xFFFF;
    const std::uint32_t read = buffer[0];
    ASSERT_TRUE(ring.Acknowledge(0xA, &sender, &key));
    EXPECT_EQ(0u, sender);
    EXPECT_EQ(0u, key);
    EXPECT_EQ(read, buffer[0]);
    ASSERT_TRUE(ring.Acknowledge(0xB, &sender, &key));
    EXPECT_EQ(0x77u, sender);
    EXPECT_EQ(0x500000001u, key);

    // Completed, but posted: nothing to report; its room still goes back.
    sender = 0xFFFF;
    key = 0xFFFF;
    ASSERT_TRUE(ring.Acknowledge(0xA, &sender, &key));
    EXPECT_EQ(0u, sender);
    EXPECT_EQ(0u, key);
    EXPECT_EQ(buffer[1], buffer[0]);
}

TEST(KxMessageRing, FindRecipientAndIsMessageDoneWorkOnRecordStartsOnly) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA}, Message(1, 1, 0, 0)));
    ASSERT_TRUE(Add(ring, {0xA}, Message(1, 2, 0, 0)));
    std::uint32_t position = 0;
    EXPECT_FALSE(ring.FindRecipient(0xA, 0, 1, nullptr));
    ASSERT_TRUE(ring.FindRecipient(0xA, 0, 2, &position));
    EXPECT_EQ(2u, position);
    ASSERT_TRUE(ring.FindRecipient(0xA, 0, 2, &position));
    EXPECT_EQ(11u, position);
    EXPECT_TRUE(ring.IsMessageDone(2));
    EXPECT_TRUE(ring.IsMessageDone(11));
    EXPECT_FALSE(ring.IsMessageDone(4));                     // inside a record
    EXPECT_FALSE(ring.IsMessageDone(20));                    // at W, beyond the records
    EXPECT_FALSE(ring.IsMessageDone(500));                   // not a position at all
    EXPECT_FALSE(ring.FindRecipient(0xA, 2, 3, &position));  // 3 is no state
}

TEST(KxMessageRing, ForEachRecordVisitsPendingRecordsOldestFirst) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(5, 1, 0, 0)));
    ASSERT_TRUE(Add(ring, {0xC}, Message(6, 2, 0, 0)));
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
}

TEST(KxMessageRing, OutOfRangePositionsRefuseEveryOperation) {
    for (std::uint32_t element : {0u, 1u}) {
        for (std::uint32_t bad : {0u, 1u, 400u, 0x80000000u, 0xFFFFFFFFu}) {
            RingBuffer buffer;
            ASSERT_TRUE(Add(buffer.Ring(), {0xA}, Message(1, 2, 3, 4)));
            buffer[element] = bad;
            CKxMessageRing& ring = buffer.Ring();
            const std::vector<std::uint32_t> before = buffer.Snapshot();
            std::uint32_t free = 0, sender = 0;
            std::uint64_t key = 0;
            KxRingMessage taken = {};
            EXPECT_FALSE(ring.IsConsistent());
            EXPECT_FALSE(ring.FreeWords(&free));
            EXPECT_FALSE(Add(ring, {0xA}, Message(1, 2, 3, 4)));
            EXPECT_FALSE(ring.Take(0xA, &taken));
            EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key));
            EXPECT_FALSE(ring.ForEachRecord([](const KxRingRecord&) { FAIL(); }));
            EXPECT_EQ(before, buffer.Snapshot()) << element << " = " << bad;
        }
    }
}

TEST(KxMessageRing, MalformedRecordsRefuseEveryOperation) {
    struct Case {
        const char* what;
        std::uint32_t element;
        std::uint32_t value;
    };
    // One record to {0xA, 0xB} at 2..12 and one to {0xC} at 13..21; W = 22. The free words hold
    // what looks like old one-recipient records, as they do once the ring has wrapped.
    const Case cases[] = {
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
        RingBuffer buffer;
        CKxMessageRing& ring = buffer.Ring();
        ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(1, 2, 3, 4)));
        ASSERT_TRUE(Add(ring, {0xC}, Message(1, 2, 3, 4)));
        for (std::uint32_t element = 22; element < 400; ++element) buffer[element] = 1;
        buffer[c.element] = c.value;
        const std::vector<std::uint32_t> before = buffer.Snapshot();
        std::uint32_t position = 0, sender = 0;
        std::uint64_t key = 0;
        KxRingMessage taken = {};
        EXPECT_FALSE(ring.IsConsistent()) << c.what;
        EXPECT_FALSE(Add(ring, {0xA}, Message(1, 2, 3, 4))) << c.what;
        EXPECT_FALSE(ring.Take(0xA, &taken)) << c.what;
        EXPECT_FALSE(ring.Take(0xC, &taken)) << c.what;
        EXPECT_FALSE(ring.FindRecipient(0xC, 0, 1, &position)) << c.what;
        EXPECT_FALSE(ring.Acknowledge(0xA, &sender, &key)) << c.what;
        EXPECT_FALSE(ring.IsMessageDone(2)) << c.what;
        EXPECT_EQ(before, buffer.Snapshot()) << c.what;
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
            const std::uint32_t element = random(400);
            const std::uint32_t pick = random(3);
            buffer[element] = pick == 0   ? static_cast<std::uint32_t>(engine())
                              : pick == 1 ? random(400)
                                          : random(4);
        }
        std::uint32_t sender = 0, position = 0, free = 0;
        std::uint64_t key = 0;
        KxRingMessage taken = {};
        for (int op = 0; op < 8; ++op) {
            const std::uint32_t id = random(4);
            switch (random(5)) {
                case 0:
                    Add(ring, {id}, Message(1, 2, 3, 4));
                    break;
                case 1:
                    ring.Take(id, &taken);
                    break;
                case 2:
                    ring.Acknowledge(id, &sender, &key);
                    break;
                case 3:
                    ring.FindRecipient(id, random(4), random(4), &position);
                    break;
                default:
                    ring.IsMessageDone(static_cast<std::uint32_t>(engine()));
                    break;
            }
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
