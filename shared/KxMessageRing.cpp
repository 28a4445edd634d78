// The message queue's ring of records: add, take, acknowledge and give back, read defensively.
#include "KxMessageRing.h"

#include "KxKillPoint.h"  // standard headers only; nothing at all outside test builds
#include "KxSharedWord.h"

namespace {

// Word offsets inside a record of n recipients.
constexpr std::uint32_t IdWord(std::uint32_t i) { return 1 + 2 * i; }
constexpr std::uint32_t StateWord(std::uint32_t i) { return 2 + 2 * i; }
constexpr std::uint32_t SenderWord(std::uint32_t n) { return 2 * n + 1; }
constexpr std::uint32_t CodeWord(std::uint32_t n) { return 2 * n + 2; }
constexpr std::uint32_t ParamHighWord(std::uint32_t n) { return 2 * n + 3; }
constexpr std::uint32_t ParamLowWord(std::uint32_t n) { return 2 * n + 4; }
constexpr std::uint32_t KeyLowWord(std::uint32_t n) { return 2 * n + 5; }
constexpr std::uint32_t KeyHighWord(std::uint32_t n) { return 2 * n + 6; }

static_assert(KeyHighWord(2) + 1 == CKxMessageRing::RecordWords(2), "record words in order");

bool IsState(std::uint32_t state) { return state <= CKxMessageRing::kStateAcknowledged; }

// An entry that TakeAll takes: a posted message (key 0) waits for no handler, so it is
// acknowledged at once; any other is received until its handler has run.
std::uint32_t TakenState(const KxRingMessage& message) {
    return message.acknowledgeKey == 0 ? CKxMessageRing::kStateAcknowledged
                                       : CKxMessageRing::kStateReceived;
}

// For ScanEntries of an operation that changes no entry.
std::uint32_t Unchanged(std::uint32_t, const KxRingRecipient& entry) { return entry.state; }

}  // namespace

CKxMessageRing::CKxMessageRing(std::uint32_t* elements) : m_elements(elements) {}

// The segment's load/store discipline: the compiler may not re-read a checked word from the segment
// (where another process may have changed it) instead of using the value that was checked.
std::uint32_t CKxMessageRing::Load(std::uint32_t element) const {
    return KxLoadShared(m_elements + element);
}

void CKxMessageRing::Store(std::uint32_t element, std::uint32_t value) {
    KxStoreShared(m_elements + element, value);
}

std::uint32_t CKxMessageRing::LoadIndex(std::uint32_t element) const {
    const std::uint32_t value = Load(element);
    return IsPosition(value) ? value : 0;
}

void CKxMessageRing::Initialize() {
    for (std::uint32_t element = kFirstRingElement; element < kKxQueueElements; ++element) {
        Store(element, 0);
    }
    Store(kReadElement, kFirstRingElement);
    Store(kWriteElement, kFirstRingElement);
}

std::uint32_t CKxMessageRing::ReadPosition() const { return Load(kReadElement); }

std::uint32_t CKxMessageRing::WritePosition() const { return Load(kWriteElement); }

bool CKxMessageRing::FreeWords(std::uint32_t* freeWords) const {
    const std::uint32_t read = LoadIndex(kReadElement);
    const std::uint32_t write = LoadIndex(kWriteElement);
    if (read == 0 || write == 0) return false;
    *freeWords = kMaxRecordWords - Distance(read, write);
    return true;
}

std::uint32_t CKxMessageRing::RecordRecipients(std::uint32_t p, std::uint32_t remaining) const {
    const std::uint32_t recipients = Load(p);
    if (recipients == 0 || recipients > kKxMaxRecipients) return 0;
    // A record that would run past W overlaps free space or the next record: corrupt.
    if (RecordWords(recipients) > remaining) return 0;
    return recipients;
}

KxRingRecipient CKxMessageRing::ReadEntry(std::uint32_t p, std::uint32_t i) const {
    KxRingRecipient entry;
    entry.id = Load(Advance(p, IdWord(i)));
    entry.state = Load(Advance(p, StateWord(i)));
    return entry;
}

KxRingMessage CKxMessageRing::ReadMessage(std::uint32_t p, std::uint32_t recipients) const {
    KxRingMessage message;
    message.senderId = Load(Advance(p, SenderWord(recipients)));
    message.messageCode = Load(Advance(p, CodeWord(recipients)));
    message.param =
        (static_cast<std::uint64_t>(Load(Advance(p, ParamHighWord(recipients)))) << 32) |
        Load(Advance(p, ParamLowWord(recipients)));
    message.acknowledgeKey =
        (static_cast<std::uint64_t>(Load(Advance(p, KeyHighWord(recipients)))) << 32) |
        Load(Advance(p, KeyLowWord(recipients)));
    return message;
}

void CKxMessageRing::ReadRecord(std::uint32_t p, std::uint32_t recipients,
                                KxRingRecord* record) const {
    record->position = p;
    record->words = RecordWords(recipients);
    record->recipientCount = recipients;
    for (std::uint32_t i = 0; i < recipients; ++i) record->recipients[i] = ReadEntry(p, i);
    record->message = ReadMessage(p, recipients);
}

bool CKxMessageRing::IsConsistent() const {
    return Walk([](std::uint32_t, std::uint32_t) {});
}

template <class Change>
bool CKxMessageRing::ScanEntries(std::uint32_t p, std::uint32_t n, Change change) const {
    bool done = true;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (change(i, ReadEntry(p, i)) != kStateAcknowledged) done = false;
    }
    return done;
}

void CKxMessageRing::GiveBackRun::Next(std::uint32_t p, std::uint32_t n, bool doneAfter) {
    if (open && doneAfter) {
        newRead = Advance(p, RecordWords(n));
    } else {
        open = false;
    }
}

void CKxMessageRing::GiveBack(const GiveBackRun& run) {
    if (run.newRead != 0) Store(kReadElement, run.newRead);
}

bool CKxMessageRing::Add(std::uint32_t count, const std::uint32_t* recipients,
                         const KxRingMessage& message, std::uint32_t* position) {
    if (count == 0 || count > kKxMaxRecipients || recipients == nullptr) return false;
    Span span = {0, 0};
    if (!Walk([](std::uint32_t, std::uint32_t) {}, &span)) return false;
    const std::uint32_t write = span.write;
    const std::uint32_t words = RecordWords(count);
    if (words > kMaxRecordWords - Distance(span.read, write)) return false;

    Store(write, count);
    for (std::uint32_t i = 0; i < count; ++i) {
        Store(Advance(write, IdWord(i)), recipients[i]);
        Store(Advance(write, StateWord(i)), kStatePending);
    }
    Store(Advance(write, SenderWord(count)), message.senderId);
    Store(Advance(write, CodeWord(count)), message.messageCode);
    Store(Advance(write, ParamHighWord(count)), static_cast<std::uint32_t>(message.param >> 32));
    Store(Advance(write, ParamLowWord(count)), static_cast<std::uint32_t>(message.param));
    Store(Advance(write, KeyLowWord(count)), static_cast<std::uint32_t>(message.acknowledgeKey));
    Store(Advance(write, KeyHighWord(count)),
          static_cast<std::uint32_t>(message.acknowledgeKey >> 32));
    // W moves last: a writer that dies half-way (abandoning the channel mutex) leaves no half
    // record behind W.
    KX_KILL_POINT("ring.add.before-publish");
    Store(kWriteElement, Advance(write, words));
    if (position) *position = write;
    return true;
}

bool CKxMessageRing::Find(std::uint32_t id, std::uint32_t from, std::uint32_t* position,
                          std::uint32_t* recipients, std::uint32_t* stateElement) const {
    std::uint32_t element = 0;  // 0 while none is found
    const bool consistent = Walk([&](std::uint32_t p, std::uint32_t n) {
        for (std::uint32_t i = 0; element == 0 && i < n; ++i) {
            const KxRingRecipient entry = ReadEntry(p, i);
            if (entry.id == id && entry.state == from) {
                element = Advance(p, StateWord(i));
                *position = p;
                *recipients = n;
            }
        }
    });
    *stateElement = element;
    return consistent && element != 0;
}

bool CKxMessageRing::FindRecipient(std::uint32_t id, std::uint32_t from, std::uint32_t to,
                                   std::uint32_t* position) {
    if (position == nullptr || !IsState(from) || !IsState(to)) return false;
    std::uint32_t p = 0, n = 0, element = 0;
    if (!Find(id, from, &p, &n, &element)) return false;
    Store(element, to);
    *position = p;
    return true;
}

bool CKxMessageRing::Take(std::uint32_t id, KxRingMessage* message) {
    if (message == nullptr) return false;
    std::uint32_t p = 0, n = 0, element = 0;
    if (!Find(id, kStatePending, &p, &n, &element)) return false;
    Store(element, kStateReceived);
    *message = ReadMessage(p, n);
    return true;
}

bool CKxMessageRing::IsMessageDone(std::uint32_t position) const {
    // Only a record start reached from R counts: a position from outside is not trusted either.
    bool done = false;
    const bool consistent = Walk([&](std::uint32_t p, std::uint32_t n) {
        if (p == position) done = ScanEntries(p, n, Unchanged);
    });
    return consistent && done;
}

bool CKxMessageRing::TakeAll(std::uint32_t id, KxRingTakenMessage* taken, std::uint32_t capacity,
                             std::uint32_t* takenCount) {
    if (takenCount != nullptr) *takenCount = 0;
    if (taken == nullptr || takenCount == nullptr || capacity == 0) return false;
    // A consistent ring holds at most kMaxEntries entries; the bound keeps stateElements safe
    // whatever the walk meets.
    const std::uint32_t limit = capacity < kMaxEntries ? capacity : kMaxEntries;
    std::uint32_t stateElements[kMaxEntries];
    std::uint32_t count = 0;
    bool acknowledges = false;
    GiveBackRun run;
    const bool consistent = Walk([&](std::uint32_t p, std::uint32_t n) {
        bool haveMessage = false;
        KxRingMessage message = {};
        auto take = [&](std::uint32_t i, const KxRingRecipient& entry) {
            if (count == limit || entry.id != id || entry.state != kStatePending) {
                return entry.state;
            }
            if (!haveMessage) {
                message = ReadMessage(p, n);
                haveMessage = true;
            }
            stateElements[count] = Advance(p, StateWord(i));
            taken[count].message = message;
            taken[count].position = p;
            ++count;
            acknowledges = acknowledges || message.acknowledgeKey == 0;
            return TakenState(message);
        };
        run.Next(p, n, ScanEntries(p, n, take));
    });
    if (!consistent || count == 0) return false;

    for (std::uint32_t k = 0; k < count; ++k) Store(stateElements[k], TakenState(taken[k].message));
    if (acknowledges) KX_KILL_POINT("ring.acknowledge.before-sweep");
    GiveBack(run);
    *takenCount = count;
    return true;
}

bool CKxMessageRing::Acknowledge(std::uint32_t id, std::uint32_t* senderOut,
                                 std::uint64_t* keyOut) {
    return AcknowledgeFirst(id, 0, senderOut, keyOut);
}

bool CKxMessageRing::AcknowledgeAt(std::uint32_t id, std::uint32_t position,
                                   std::uint32_t* senderOut, std::uint64_t* keyOut) {
    return IsPosition(position) && AcknowledgeFirst(id, position, senderOut, keyOut);
}

bool CKxMessageRing::AcknowledgeFirst(std::uint32_t id, std::uint32_t only,
                                      std::uint32_t* senderOut, std::uint64_t* keyOut) {
    if (senderOut == nullptr || keyOut == nullptr) return false;
    std::uint32_t element = 0;  // the state word to acknowledge; 0 while none is found
    KxRingMessage completed = {};
    GiveBackRun run;
    const bool consistent = Walk([&](std::uint32_t p, std::uint32_t n) {
        const bool eligible = element == 0 && (only == 0 || p == only);
        auto acknowledge = [&](std::uint32_t i, const KxRingRecipient& entry) {
            if (!eligible || element != 0 || entry.id != id || entry.state != kStateReceived) {
                return entry.state;
            }
            element = Advance(p, StateWord(i));
            return kStateAcknowledged;
        };
        const bool doneAfter = ScanEntries(p, n, acknowledge);
        // Only the acknowledgement that completes a record reports it.
        if (eligible && element != 0 && doneAfter) completed = ReadMessage(p, n);
        run.Next(p, n, doneAfter);
    });
    if (!consistent || element == 0) return false;

    Store(element, kStateAcknowledged);
    KX_KILL_POINT("ring.acknowledge.before-sweep");
    const bool reports = completed.acknowledgeKey != 0;
    *senderOut = reports ? completed.senderId : 0;
    *keyOut = reports ? completed.acknowledgeKey : 0;
    // Space goes back in order only: a done record behind one that is not done keeps its words
    // until the older one is done, then both go with that acknowledgement.
    GiveBack(run);
    return true;
}

bool CKxMessageRing::SweepAbandonedAcknowledgement(std::uint32_t* senderOut,
                                                   std::uint64_t* keyOut) {
    if (senderOut == nullptr || keyOut == nullptr) return false;
    KxRingMessage unreported = {};
    bool first = true;
    GiveBackRun run;
    const bool consistent = Walk([&](std::uint32_t p, std::uint32_t n) {
        const bool done = ScanEntries(p, n, Unchanged);
        if (first && done) unreported = ReadMessage(p, n);
        first = false;
        run.Next(p, n, done);
    });
    if (!consistent) return false;
    const bool reports = unreported.acknowledgeKey != 0;
    *senderOut = reports ? unreported.senderId : 0;
    *keyOut = reports ? unreported.acknowledgeKey : 0;
    GiveBack(run);
    return true;
}
