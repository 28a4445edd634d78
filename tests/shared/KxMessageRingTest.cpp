// The message ring on a plain buffer: wrap-around, capacity, in-order give-back and completion
// reports, draining with TakeAll / AcknowledgeAt, and refusal of corrupted words.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
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

// What an acknowledgement reports: the sender and key of the record it completed, {0, 0} when it
// completed none or one without a key, kRefused when it was refused.
using Report = std::pair<std::uint32_t, std::uint64_t>;
const Report kRefused{0xFFFF, 0xFFFF};

Report Acknowledge(CKxMessageRing& ring, std::uint32_t id) {
    Report report = kRefused;
    return ring.Acknowledge(id, &report.first, &report.second) ? report : kRefused;
}

Report AcknowledgeAt(CKxMessageRing& ring, std::uint32_t id, std::uint32_t position) {
    Report report = kRefused;
    return ring.AcknowledgeAt(id, position, &report.first, &report.second) ? report : kRefused;
}

Report Sweep(CKxMessageRing& ring) {
    Report report = kRefused;
    return ring.SweepAbandonedAcknowledgement(&report.first, &report.second) ? report : kRefused;
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
    const std::uint64_t param = 0x1111111122222222u;
    const std::uint64_t key = 0x3333333344444444u;
    ASSERT_TRUE(Add(buffer.Ring(), {0x10, 0x20}, Message(0x99, 5, param, key)));
    const std::uint32_t expected[][2] = {{398, 2},  {399, 0x10},     {2, 0},           {3, 0x20},
                                         {5, 0x99}, {9, 0x44444444}, {10, 0x33333333}, {1, 11}};
    for (const auto& word : expected) EXPECT_EQ(word[1], buffer[word[0]]) << "element " << word[0];
    EXPECT_TRUE(buffer.GuardsIntact());

    KxRingMessage taken = {};
    for (std::uint32_t id : {0x10u, 0x20u}) {
        ASSERT_TRUE(buffer.Ring().Take(id, &taken));
        EXPECT_EQ(param, taken.param);
        EXPECT_EQ(key, taken.acknowledgeKey);
        EXPECT_EQ(id == 0x20 ? Report(0x99, key) : Report(0, 0), Acknowledge(buffer.Ring(), id));
    }
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
    EXPECT_EQ(before, tooMany.Snapshot());

    // Written wrapping, with W ending just behind R.
    for (std::uint32_t start : {2u, 100u}) {
        RingBuffer buffer;
        buffer[0] = start;
        buffer[1] = start;
        ASSERT_TRUE(buffer.Ring().Add(195, ids.data(), Message(1, 2, 3, 4))) << start;
        EXPECT_EQ(0u, FreeWords(buffer.Ring()));
        EXPECT_EQ(start == 2 ? 399u : 99u, buffer[1]);
        const std::vector<std::uint32_t> full = buffer.Snapshot();
        EXPECT_FALSE(Add(buffer.Ring(), {7}, Message(1, 2, 3, 4)));
        EXPECT_EQ(full, buffer.Snapshot());
    }
}

// Each recipient takes its own entries oldest first; a record goes back only once it and every
// older record are done, and only the acknowledgement that completes a keyed record reports it.
TEST(KxMessageRing, SpaceIsGivenBackOnlyInOrderAndOnlyTheCompletingAcknowledgementReports) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(1, 101, 0, 0x500000011u)));
    ASSERT_TRUE(Add(ring, {0xB}, Message(2, 102, 0, 0x22)));
    ASSERT_TRUE(Add(ring, {0xB}, Message(3, 103, 0, 0)));  // posted
    const std::uint32_t write = buffer[1];

    KxRingMessage taken = {};
    EXPECT_EQ(kRefused, Acknowledge(ring, 0xB)) << "pending, not received";
    for (std::uint32_t code : {101u, 102u, 103u}) {
        ASSERT_TRUE(ring.Take(0xB, &taken));
        EXPECT_EQ(code, taken.messageCode);
    }
    EXPECT_FALSE(ring.Take(0xB, &taken));
    EXPECT_EQ(Report(0, 0), Acknowledge(ring, 0xB));     // first record: A still pending
    EXPECT_EQ(Report(2, 0x22), Acknowledge(ring, 0xB));  // second record done, behind the first
    EXPECT_EQ(Report(0, 0), Acknowledge(ring, 0xB));     // done, but a posted message reports none
    EXPECT_EQ(2u, buffer[0]);
    EXPECT_EQ(397u - 11u - 9u - 9u, FreeWords(ring));

    ASSERT_TRUE(ring.Take(0xA, &taken));
    EXPECT_EQ(Report(1, 0x500000011u), Acknowledge(ring, 0xA));
    EXPECT_EQ(write, buffer[0]);  // all three given back by this one acknowledgement
    EXPECT_EQ(kRefused, Acknowledge(ring, 0xA));
}

// A receiver drains everything in one call and acknowledges by position, out of order.
TEST(KxMessageRing, TakeAllDrainsOldestFirstAndAcknowledgeAtCompletesTheRecordItNames) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA}, Message(1, 1, 0, 0)));              // at 2, posted
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(2, 2, 0x200, 0x22)));  // at 11
    ASSERT_TRUE(Add(ring, {0xA, 0xA}, Message(3, 3, 0, 0)));         // at 22, A listed twice
    ASSERT_TRUE(Add(ring, {0xA}, Message(4, 4, 0, 0x44)));           // at 33
    const std::uint32_t write = buffer[1];

    KxRingTakenMessage taken[44] = {};
    std::uint32_t count = 0xFFFF;
    ASSERT_TRUE(ring.TakeAll(0xA, taken, 3, &count));
    ASSERT_EQ(3u, count);
    const std::uint32_t firstPositions[] = {2, 11, 22};
    for (std::uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(firstPositions[k], taken[k].position);
        EXPECT_EQ(k + 1, taken[k].message.messageCode);
    }
    EXPECT_EQ(0x200u, taken[1].message.param);
    EXPECT_EQ(0x22u, taken[1].message.acknowledgeKey);
    EXPECT_EQ(11u, buffer[0]) << "the posted record went back in the same pass";

    ASSERT_TRUE(ring.TakeAll(0xA, taken, 44, &count));  // A's second entry at 22, then 33
    ASSERT_EQ(2u, count);
    EXPECT_EQ(22u, taken[0].position);
    EXPECT_EQ(33u, taken[1].position);
    EXPECT_FALSE(ring.TakeAll(0xA, taken, 44, &count));
    EXPECT_EQ(0u, count);

    const std::vector<std::uint32_t> before = buffer.Snapshot();
    for (std::uint32_t position : {2u, 12u, 22u, write, 0u, 500u}) {
        EXPECT_EQ(kRefused, AcknowledgeAt(ring, 0xA, position)) << position;
    }
    EXPECT_EQ(kRefused, AcknowledgeAt(ring, 0xB, 11)) << "pending, not received";
    EXPECT_EQ(before, buffer.Snapshot());

    EXPECT_EQ(Report(4, 0x44), AcknowledgeAt(ring, 0xA, 33));  // the newer one first
    EXPECT_TRUE(ring.IsMessageDone(33));
    EXPECT_EQ(11u, buffer[0]) << "done, but behind a record that is not";
    EXPECT_EQ(Report(0, 0), AcknowledgeAt(ring, 0xA, 11)) << "B has not acknowledged";

    ASSERT_TRUE(ring.TakeAll(0xB, taken, 1, &count));
    EXPECT_EQ(Report(2, 0x22), AcknowledgeAt(ring, 0xB, taken[0].position));
    EXPECT_EQ(write, buffer[0]);  // 11, 22 and 33 given back by this one acknowledgement
}

// A writer that died between an acknowledgement's state change and its give-back left a done
// record at R whose completion nobody reported; an entry in no known state never counts as done.
TEST(KxMessageRing, AbandonedAcknowledgementIsReportedOnceAndGivenBack) {
    RingBuffer buffer;
    CKxMessageRing& ring = buffer.Ring();
    ASSERT_TRUE(Add(ring, {0xA}, Message(5, 1, 0, 0x55)));
    ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(6, 2, 0, 0x66)));
    std::uint32_t position = 0;
    ASSERT_TRUE(ring.FindRecipient(0xA, 0, 2, &position));  // the state change alone
    ASSERT_TRUE(ring.FindRecipient(0xA, 0, 2, &position));
    buffer[position + 4] = 7;  // B's state

    EXPECT_EQ(Report(5, 0x55), Sweep(ring));
    EXPECT_EQ(position, buffer[0]);
    EXPECT_FALSE(ring.IsMessageDone(position));
    EXPECT_EQ(Report(0, 0), Sweep(ring));
    EXPECT_EQ(position, buffer[0]);
    KxRingMessage taken = {};
    EXPECT_FALSE(ring.Take(0xB, &taken));
    EXPECT_FALSE(ring.FindRecipient(0xB, 7, 2, &position)) << "7 is no state";
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
        ASSERT_TRUE(Add(ring, {0xA, 0xB}, Message(1, 2, 3, 0)));
        ASSERT_TRUE(Add(ring, {0xC}, Message(1, 2, 3, 0)));
        for (std::uint32_t element = 22; element < 400; ++element) buffer[element] = 1;
        KxRingMessage taken = {};
        ASSERT_TRUE(ring.Take(0xA, &taken));
        buffer[c.element] = c.value;
        const std::vector<std::uint32_t> before = buffer.Snapshot();
        std::uint32_t position = 0, free = 0, count = 0;
        KxRingTakenMessage all[4] = {};
        EXPECT_FALSE(ring.IsConsistent());
        if (c.element < 2 && (c.value < 2 || c.value > 399)) {
            EXPECT_FALSE(ring.FreeWords(&free));
        }
        EXPECT_FALSE(Add(ring, {0xA}, Message(1, 2, 3, 4)));
        EXPECT_FALSE(ring.Take(0xB, &taken));
        EXPECT_FALSE(ring.TakeAll(0xC, all, 4, &count));
        EXPECT_FALSE(ring.FindRecipient(0xC, 0, 1, &position));
        EXPECT_EQ(kRefused, Acknowledge(ring, 0xA));
        EXPECT_EQ(kRefused, AcknowledgeAt(ring, 0xA, 2));
        EXPECT_EQ(kRefused, Sweep(ring));
        EXPECT_EQ(before, buffer.Snapshot());
        EXPECT_TRUE(buffer.GuardsIntact());
    }
}
