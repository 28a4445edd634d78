// The message queue's ring of records, as logic over the queue segment's 400 elements.
//
// Windows-free on purpose: only standard headers, so that the same code runs in the library, in
// the diagnostic tool and natively on Linux under a fuzzer.
//
// Layout of the 400 elements (all unsigned 32-bit; the segment's header word lies before them and
// belongs to the queue, not to the ring). Every word is written by whichever participant holds the
// channel mutex; nothing here takes a lock.
//
//   element 0      R  read position: element index of the oldest record not yet given back
//   element 1      W  write position: element index where the next record starts
//   elements 2-399 the ring, 398 words; after element 399 it goes on at element 2
//
// R and W lie in 2..399; the ring is empty when R == W. One word always stays free so that a full
// ring and an empty one never look alike: free words = 397 - distance(R, W).
// A zero-filled segment is NOT a valid ring (R = W = 0): Initialize() makes it one.
//
// A record at position p (word k at element wrap(p + k)), N recipients, 1 <= N <= 195:
//   word 0            N
//   word 1 + 2i       identifier of recipient i
//   word 2 + 2i       state of recipient i: 0 pending, 1 received, 2 acknowledged
//   word 2N + 1       sender ID
//   word 2N + 2       message code
//   word 2N + 3, + 4  parameter, high half then low half
//   word 2N + 5, + 6  acknowledge key, low half then high half
// The two 64-bit values are stored in opposite half orders; every process keeps them so.
//
// Defensive reading: the segment can be written by any process of any user, so nothing read from
// it is trusted. R and W outside 2..399, a record whose N is 0 or above 195, or a chain of records
// from R that does not land exactly on W make the ring inconsistent, and every operation on an
// inconsistent ring returns false without writing anything. Each such word is read once per
// operation, so a value rewritten by another process between the check and the use cannot escape
// the check. No operation reads or writes outside the 400 elements, and every walk visits at most
// the 398 ring words. A state other than 0, 1 or 2 matches no transition and never counts as done.
#pragma once

#include <cstdint>

// One message as the ring stores it.
struct KxRingMessage {
    std::uint32_t senderId;
    std::uint32_t messageCode;
    std::uint64_t param;
    std::uint64_t acknowledgeKey;
};

// One recipient's entry of a record.
struct KxRingRecipient {
    std::uint32_t id;
    std::uint32_t state;
};

// A copy of one record, for readers that only look (the diagnostic tool).
struct KxRingRecord {
    std::uint32_t position;        // element index of word 0
    std::uint32_t words;           // 2N + 7
    std::uint32_t recipientCount;  // N
    KxRingRecipient recipients[195];
    KxRingMessage message;
};

class CKxMessageRing {
public:
    static constexpr std::uint32_t kElementCount = 400;  // R, W and the ring
    static constexpr std::uint32_t kReadElement = 0;     // R
    static constexpr std::uint32_t kWriteElement = 1;    // W
    static constexpr std::uint32_t kFirstRingElement = 2;
    static constexpr std::uint32_t kRingWords = 398;
    static constexpr std::uint32_t kMaxRecordWords = kRingWords - 1;  // one word always stays free
    static constexpr std::uint32_t kMaxRecipients = 195;

    static constexpr std::uint32_t kStatePending = 0;
    static constexpr std::uint32_t kStateReceived = 1;
    static constexpr std::uint32_t kStateAcknowledged = 2;

    // Words a record for the given number of recipients takes.
    static constexpr std::uint32_t RecordWords(std::uint32_t recipients) {
        return 2 * recipients + 7;
    }

    // elements: the queue's 400 elements (not its header word); must stay valid while the ring is
    // used. The ring owns nothing; the caller holds the channel mutex for every call.
    explicit CKxMessageRing(std::uint32_t* elements);

    // Makes an empty ring: R = W = 2 and the 398 ring words 0.
    void Initialize();

    // R and W as they stand in the segment, unchecked (for display).
    std::uint32_t ReadPosition() const;
    std::uint32_t WritePosition() const;

    // Free words; false (and *freeWords untouched) when R or W is out of range.
    bool FreeWords(std::uint32_t* freeWords) const;

    // True when R and W are in range and the records from R land exactly on W.
    bool IsConsistent() const;

    // Writes one record for count recipients at W and moves W past it; every entry starts pending.
    // Identifiers are not checked (one listed twice gets two entries). False, with nothing
    // written, when count is 0 or above 195, recipients is null, the record does not fit the free
    // words, or the ring is inconsistent.
    bool Add(std::uint32_t count, const std::uint32_t* recipients, const KxRingMessage& message);

    // Walks the records from R (oldest first), entries in list order, for the first entry of id
    // whose state is `from`; sets it to `to` and gives the record's position. False when there is
    // none, position is null, or the ring is inconsistent.
    bool FindRecipient(std::uint32_t id, std::uint32_t from, std::uint32_t to,
                       std::uint32_t* position);

    // True when the record at position is well formed and every one of its entries is acknowledged.
    bool IsMessageDone(std::uint32_t position) const;

    // Takes id's oldest pending message: its entry becomes received and the message is copied out;
    // the record stays in the ring. False when there is none, message is null, or the ring is
    // inconsistent.
    bool Take(std::uint32_t id, KxRingMessage* message);

    // Acknowledges id's oldest received entry. *senderOut and *keyOut are set to 0, or, when this
    // acknowledgement completes its record and the record's key is not 0, to the record's sender
    // and key: only one acknowledgement ever reports a given message. Then gives back, in one
    // sweep, every done record from R up to the first that is not done. False, with nothing
    // changed, when either out is null, id has no received entry, or the ring is inconsistent.
    bool Acknowledge(std::uint32_t id, std::uint32_t* senderOut, std::uint64_t* keyOut);

    // The sweep of an acknowledgement whose writer died after its state change (the channel
    // mutex came abandoned): gives back every done record from R up to the first that is not
    // done. Every complete acknowledgement sweeps, so a done record at R can only be one whose
    // completion was never reported: *senderOut and *keyOut get its sender and key when it has a
    // key, else 0; the done records behind it were reported by their own acknowledgements. False,
    // with nothing changed, when either out is null or the ring is inconsistent.
    bool SweepAbandonedAcknowledgement(std::uint32_t* senderOut, std::uint64_t* keyOut);

    // Calls visit(const KxRingRecord&) for each record from R to W, oldest first. False, before
    // any call, when the ring is inconsistent.
    template <class Visit>
    bool ForEachRecord(Visit visit) const {
        if (!IsConsistent()) return false;
        std::uint32_t position = LoadIndex(kReadElement);
        std::uint32_t remaining = Distance(position, LoadIndex(kWriteElement));
        KxRingRecord record;
        while (remaining != 0) {
            if (!ReadRecord(position, remaining, &record)) return false;
            visit(static_cast<const KxRingRecord&>(record));
            position = Advance(position, record.words);
            remaining -= record.words;
        }
        return true;
    }

private:
    static bool IsPosition(std::uint32_t element) {
        return element >= kFirstRingElement && element < kElementCount;
    }
    // The position k words after p, wrapping after element 399 to element 2.
    static std::uint32_t Advance(std::uint32_t p, std::uint32_t k) {
        return kFirstRingElement + (p - kFirstRingElement + k) % kRingWords;
    }
    // Words from p forward to q; both are positions.
    static std::uint32_t Distance(std::uint32_t p, std::uint32_t q) {
        return (q + kRingWords - p) % kRingWords;
    }

    std::uint32_t Load(std::uint32_t element) const;
    void Store(std::uint32_t element, std::uint32_t value);
    // R or W read once, or 0 (not a position) when out of range.
    std::uint32_t LoadIndex(std::uint32_t element) const;
    // R and W both in range; false otherwise.
    bool LoadSpan(std::uint32_t* read, std::uint32_t* write) const;
    // N of the record at p if it is well formed and no longer than remaining words; else 0.
    std::uint32_t RecordRecipients(std::uint32_t p, std::uint32_t remaining) const;
    // FindRecipient, also giving the N read while walking.
    bool Find(std::uint32_t id, std::uint32_t from, std::uint32_t to, std::uint32_t* position,
              std::uint32_t* recipients);
    bool ReadRecord(std::uint32_t p, std::uint32_t remaining, KxRingRecord* record) const;
    KxRingMessage ReadMessage(std::uint32_t p, std::uint32_t recipients) const;
    bool IsDone(std::uint32_t p, std::uint32_t recipients) const;
    // Moves R past every done record from R up to the first that is not done.
    void GiveBackDone();

    std::uint32_t* m_elements;
};

static_assert(CKxMessageRing::RecordWords(CKxMessageRing::kMaxRecipients) ==
                  CKxMessageRing::kMaxRecordWords,
              "195 recipients take exactly the largest record an empty ring holds");
static_assert(CKxMessageRing::RecordWords(CKxMessageRing::kMaxRecipients + 1) >
                  CKxMessageRing::kMaxRecordWords,
              "a 196th recipient does not fit");
static_assert(CKxMessageRing::kFirstRingElement + CKxMessageRing::kRingWords ==
                  CKxMessageRing::kElementCount,
              "R, W and the ring fill the queue's elements");
static_assert(sizeof(std::uint32_t) * (1 + CKxMessageRing::kElementCount) == 1604,
              "the queue segment: header word and 400 elements");
static_assert(sizeof(KxRingRecord::recipients) / sizeof(KxRingRecipient) ==
                  CKxMessageRing::kMaxRecipients,
              "a record copy holds every recipient a record can have");
