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
// it is trusted. What keeps such a segment harmless:
// - Each operation that looks at records makes exactly one walk, from R record by record towards
//   W. R and W are read once and checked to lie in 2..399; each record's N is read once and
//   checked (1 to 195, and the record no longer than the words left before W); the walk and the
//   operation go on from those local copies only, so a word rewritten after its check cannot
//   move the walk. Every element index is 0, 1, or a position advanced modulo the ring, so no
//   access leaves the 400 elements, and a walk covers at most the 397 words from R to W (at most
//   44 records, 195 entries in all): it always ends.
// - The ring is consistent when that walk lands exactly on W. The walk stops at R or W out of
//   range, or at the first record that is not well formed or would run past W. An operation
//   that meets such a record part-way returns false having written nothing: each operation only
//   collects during its walk what it will change (which state words, how far R moves) and writes
//   once the walk has landed on W.
// - Identifiers, states and message words are data, not structure: an operation reads each at
//   most once and uses it as read. A state other than 0, 1 or 2 matches no transition and never
//   counts as acknowledged.
// A process that writes the segment without holding the channel mutex can still make an
// operation act on stale contents (take a message twice, lose one, give room back early); it
// cannot make one read or write outside the elements or walk for ever.
#pragma once

#include <cstdint>

#include "KxChannelLayout.h"

// One message as the ring stores it.
struct KxRingMessage {
    std::uint32_t senderId;
    std::uint32_t messageCode;
    std::uint64_t param;
    std::uint64_t acknowledgeKey;
};

// One entry taken by CKxMessageRing::TakeAll: the message and the record it lies in.
struct KxRingTakenMessage {
    KxRingMessage message;
    std::uint32_t position;  // element index of the record's word 0
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
    KxRingRecipient recipients[kKxMaxRecipients];
    KxRingMessage message;
};

class CKxMessageRing {
public:
    static constexpr std::uint32_t kReadElement = 0;   // R
    static constexpr std::uint32_t kWriteElement = 1;  // W
    static constexpr std::uint32_t kFirstRingElement = 2;
    static constexpr std::uint32_t kMaxRecordWords =
        kKxRingWords - 1;  // one word always stays free
    // Records and entries a full ring can hold: 44 one-recipient records, or one record of 195.
    static constexpr std::uint32_t kMaxRecords = kMaxRecordWords / 9;
    static constexpr std::uint32_t kMaxEntries = kKxMaxRecipients;

    static constexpr std::uint32_t kStatePending = 0;
    static constexpr std::uint32_t kStateReceived = 1;
    static constexpr std::uint32_t kStateAcknowledged = 2;

    // Words a record for the given number of recipients takes.
    static constexpr std::uint32_t RecordWords(std::uint32_t recipients) {
        return 2 * recipients + 7;
    }

    // elements: the queue's 400 elements (not its header word); must stay valid while the ring is
    // used. The ring owns nothing; the caller holds the channel mutex for every call. Every
    // operation that can fail returns false, with nothing written, on an inconsistent ring.
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
    // *position (when given) gets the record's position.
    bool Add(std::uint32_t count, const std::uint32_t* recipients, const KxRingMessage& message,
             std::uint32_t* position = nullptr);

    // Looks through the records from R (oldest first), entries in list order, for the first entry
    // of id whose state is `from`; sets it to `to` and gives the record's position. Gives nothing
    // back, even when that makes records done. False when there is none, from or to is no state,
    // position is null, or the ring is inconsistent.
    bool FindRecipient(std::uint32_t id, std::uint32_t from, std::uint32_t to,
                       std::uint32_t* position);

    // True when a record starts at position (reached from R) and every one of its entries is
    // acknowledged. False for any other position and on an inconsistent ring.
    bool IsMessageDone(std::uint32_t position) const;

    // Takes id's oldest pending message: its entry becomes received and the message is copied out;
    // the record stays in the ring. False when there is none, message is null, or the ring is
    // inconsistent.
    bool Take(std::uint32_t id, KxRingMessage* message);

    // Takes up to capacity of id's pending entries in one pass, oldest record first and in list
    // order within a record: an entry of a record whose acknowledge key is 0 becomes acknowledged
    // at once (a posted message waits for no handler), any other entry becomes received. taken[0]
    // to taken[*takenCount - 1] get each entry's message and record position, in that order;
    // entries beyond capacity stay pending. Then, as an acknowledgement does, gives back every
    // done record from R up to the first that is not done (a record completed here has key 0, so
    // nothing is reported). A received entry's position stays a record start until the entry is
    // acknowledged; an acknowledged entry's record may be given back and its words reused. False,
    // with nothing written to the ring, when id has no pending entry, taken or takenCount is
    // null, capacity is 0, or the ring is inconsistent; *takenCount (when not null) is then 0 and
    // taken's contents mean nothing.
    bool TakeAll(std::uint32_t id, KxRingTakenMessage* taken, std::uint32_t capacity,
                 std::uint32_t* takenCount);

    // Acknowledges id's oldest received entry. *senderOut and *keyOut are set to 0, or, when this
    // acknowledgement completes its record and the record's key is not 0, to the record's sender
    // and key: only one acknowledgement ever reports a given message. Then gives back every done
    // record from R up to the first that is not done. False, with nothing changed, when either out
    // is null, id has no received entry, or the ring is inconsistent.
    bool Acknowledge(std::uint32_t id, std::uint32_t* senderOut, std::uint64_t* keyOut);

    // As Acknowledge, for id's first received entry in the record that starts at position (as
    // TakeAll gave it). False, with nothing changed, also when no record reached from R starts at
    // position, or that record holds no received entry of id.
    bool AcknowledgeAt(std::uint32_t id, std::uint32_t position, std::uint32_t* senderOut,
                       std::uint64_t* keyOut);

    // The give-back of an acknowledgement whose writer died after its state change (the channel
    // mutex came abandoned): gives back every done record from R up to the first that is not
    // done. Every complete acknowledgement gives back, so a done record at R can only be one whose
    // completion was never reported: *senderOut and *keyOut get its sender and key when it has a
    // key, else 0. Between complete operations there is none, and the call changes nothing. False,
    // with nothing changed, when either out is null or the ring is inconsistent.
    bool SweepAbandonedAcknowledgement(std::uint32_t* senderOut, std::uint64_t* keyOut);

    // Calls visit(const KxRingRecord&) for each record from R towards W, oldest first. True when
    // the records landed exactly on W; false when the walk met a record that is not well formed
    // (the records visited before it were) or R or W is out of range (no call).
    template <class Visit>
    bool ForEachRecord(Visit visit) const {
        KxRingRecord record;
        return Walk([&](std::uint32_t p, std::uint32_t n) {
            ReadRecord(p, n, &record);
            visit(static_cast<const KxRingRecord&>(record));
        });
    }

private:
    static bool IsPosition(std::uint32_t element) {
        return element >= kFirstRingElement && element < kKxQueueElements;
    }
    // The position k words after p, wrapping after element 399 to element 2.
    static std::uint32_t Advance(std::uint32_t p, std::uint32_t k) {
        return kFirstRingElement + (p - kFirstRingElement + k) % kKxRingWords;
    }
    // Words from p forward to q; both are positions.
    static std::uint32_t Distance(std::uint32_t p, std::uint32_t q) {
        return (q + kKxRingWords - p) % kKxRingWords;
    }

    std::uint32_t Load(std::uint32_t element) const;
    void Store(std::uint32_t element, std::uint32_t value);
    // R or W read once, or 0 (not a position) when out of range.
    std::uint32_t LoadIndex(std::uint32_t element) const;
    // N of the record at p if it is well formed and no longer than remaining words; else 0.
    std::uint32_t RecordRecipients(std::uint32_t p, std::uint32_t remaining) const;

    // R and W as one walk checked them.
    struct Span {
        std::uint32_t read;
        std::uint32_t write;
    };

    // The one walk: calls visit(position, N) for each record from R, N checked, and returns true
    // when the records land exactly on W. Stops, returning false, at R or W out of range or at
    // the first record that is not well formed or runs past W; visit never sees that record.
    // *span (may be null) gets R and W as checked when both are in range.
    template <class Visit>
    bool Walk(Visit visit, Span* span = nullptr) const {
        const std::uint32_t read = LoadIndex(kReadElement);
        const std::uint32_t write = LoadIndex(kWriteElement);
        if (read == 0 || write == 0) return false;
        if (span != nullptr) *span = Span{read, write};
        std::uint32_t p = read;
        // remaining shrinks by at least 9 words a record, so the walk ends within the ring.
        for (std::uint32_t remaining = Distance(read, write); remaining != 0;) {
            const std::uint32_t n = RecordRecipients(p, remaining);
            if (n == 0) return false;
            visit(p, n);
            p = Advance(p, RecordWords(n));
            remaining -= RecordWords(n);
        }
        return true;
    }

    // How far R moves: past every record, from R on, that is done once the operation's state
    // changes are written, up to the first that is not. Fed each record in walk order.
    struct GiveBackRun {
        std::uint32_t newRead = 0;  // 0 while R stays
        bool open = true;
        void Next(std::uint32_t p, std::uint32_t n, bool doneAfter);
    };
    // Writes R when the run moved it.
    void GiveBack(const GiveBackRun& run);

    // Reads each entry of the record at p once; change(i, entry) gives the entry's state after
    // the operation. True when every entry is acknowledged after it.
    template <class Change>
    bool ScanEntries(std::uint32_t p, std::uint32_t n, Change change) const;

    // Entry i of the record at p, read once.
    KxRingRecipient ReadEntry(std::uint32_t p, std::uint32_t i) const;
    KxRingMessage ReadMessage(std::uint32_t p, std::uint32_t recipients) const;
    void ReadRecord(std::uint32_t p, std::uint32_t recipients, KxRingRecord* record) const;
    // The Acknowledge family: id's first received entry, in any record (only == 0) or in the
    // record at only.
    bool AcknowledgeFirst(std::uint32_t id, std::uint32_t only, std::uint32_t* senderOut,
                          std::uint64_t* keyOut);
    // The first entry of id in state from, as its record's position and N and its state word;
    // false when there is none or the ring is inconsistent. Writes nothing.
    bool Find(std::uint32_t id, std::uint32_t from, std::uint32_t* position,
              std::uint32_t* recipients, std::uint32_t* stateElement) const;

    std::uint32_t* m_elements;
};

static_assert(CKxMessageRing::RecordWords(kKxMaxRecipients) == CKxMessageRing::kMaxRecordWords,
              "195 recipients take exactly the largest record an empty ring holds");
static_assert(CKxMessageRing::RecordWords(kKxMaxRecipients + 1) > CKxMessageRing::kMaxRecordWords,
              "a 196th recipient does not fit");
static_assert(CKxMessageRing::kMaxRecords == 44 &&
                  CKxMessageRing::kMaxRecords * CKxMessageRing::RecordWords(1) <=
                      CKxMessageRing::kMaxRecordWords,
              "44 one-recipient records fill the ring");
static_assert(CKxMessageRing::kFirstRingElement + kKxRingWords == kKxQueueElements,
              "R, W and the ring fill the queue's elements");
static_assert(sizeof(std::uint32_t) * (1 + kKxQueueElements) == 1604,
              "the queue segment: header word and 400 elements");
static_assert(sizeof(KxRingRecord::recipients) / sizeof(KxRingRecipient) == kKxMaxRecipients,
              "a record copy holds every recipient a record can have");
