// The message queue's ring of records: add, take, acknowledge and give back, read defensively.
#include "KxMessageRing.h"

#include "KxKillPoint.h"  // standard headers only; nothing at all outside test builds

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

}  // namespace

CKxMessageRing::CKxMessageRing(std::uint32_t* elements) : m_elements(elements) {}

// Through a volatile pointer: the compiler may not re-read a checked word from the segment (where
// another process may have changed it) instead of using the value that was checked.
std::uint32_t CKxMessageRing::Load(std::uint32_t element) const {
    return static_cast<const volatile std::uint32_t*>(m_elements)[element];
}

void CKxMessageRing::Store(std::uint32_t element, std::uint32_t value) {
    static_cast<volatile std::uint32_t*>(m_elements)[element] = value;
}

std::uint32_t CKxMessageRing::LoadIndex(std::uint32_t element) const {
    const std::uint32_t value = Load(element);
    return IsPosition(value) ? value : 0;
}

bool CKxMessageRing::LoadSpan(std::uint32_t* read, std::uint32_t* write) const {
    *read = LoadIndex(kReadElement);
    *write = LoadIndex(kWriteElement);
    return *read != 0 && *write != 0;
}

void CKxMessageRing::Initialize() {
    for (std::uint32_t element = kFirstRingElement; element < kElementCount; ++element) {
        Store(element, 0);
    }
    Store(kReadElement, kFirstRingElement);
    Store(kWriteElement, kFirstRingElement);
}

std::uint32_t CKxMessageRing::ReadPosition() const { return Load(kReadElement); }

std::uint32_t CKxMessageRing::WritePosition() const { return Load(kWriteElement); }

bool CKxMessageRing::FreeWords(std::uint32_t* freeWords) const {
    std::uint32_t read = 0, write = 0;
    if (!LoadSpan(&read, &write)) return false;
    *freeWords = kMaxRecordWords - Distance(read, write);
    return true;
}

std::uint32_t CKxMessageRing::RecordRecipients(std::uint32_t p, std::uint32_t remaining) const {
    const std::uint32_t recipients = Load(p);
    if (recipients == 0 || recipients > kMaxRecipients) return 0;
    // A record that would run past W overlaps free space or the next record: corrupt.
    if (RecordWords(recipients) > remaining) return 0;
    return recipients;
}

bool CKxMessageRing::IsConsistent() const {
    std::uint32_t p = 0, write = 0;
    if (!LoadSpan(&p, &write)) return false;
    // remaining shrinks by at least 9 words a record, so the walk ends within the ring.
    for (std::uint32_t remaining = Distance(p, write); remaining != 0;) {
        const std::uint32_t recipients = RecordRecipients(p, remaining);
        if (recipients == 0) return false;
        p = Advance(p, RecordWords(recipients));
        remaining -= RecordWords(recipients);
    }
    return true;
}

bool CKxMessageRing::Add(std::uint32_t count, const std::uint32_t* recipients,
                         const KxRingMessage& message) {
    if (count == 0 || count > kMaxRecipients || recipients == nullptr) return false;
    if (!IsConsistent()) return false;
    std::uint32_t read = 0, write = 0;
    if (!LoadSpan(&read, &write)) return false;
    const std::uint32_t words = RecordWords(count);
    if (words > kMaxRecordWords - Distance(read, write)) return false;

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
    return true;
}

bool CKxMessageRing::Find(std::uint32_t id, std::uint32_t from, std::uint32_t to,
                          std::uint32_t* position, std::uint32_t* recipients) {
    if (!IsState(from) || !IsState(to) || !IsConsistent()) return false;
    std::uint32_t p = 0, write = 0;
    if (!LoadSpan(&p, &write)) return false;
    for (std::uint32_t remaining = Distance(p, write); remaining != 0;) {
        const std::uint32_t count = RecordRecipients(p, remaining);
        if (count == 0) return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (Load(Advance(p, IdWord(i))) == id && Load(Advance(p, StateWord(i))) == from) {
                Store(Advance(p, StateWord(i)), to);
                *position = p;
                *recipients = count;
                return true;
            }
        }
        p = Advance(p, RecordWords(count));
        remaining -= RecordWords(count);
    }
    return false;
}

bool CKxMessageRing::FindRecipient(std::uint32_t id, std::uint32_t from, std::uint32_t to,
                                   std::uint32_t* position) {
    std::uint32_t recipients = 0;
    return position != nullptr && Find(id, from, to, position, &recipients);
}

bool CKxMessageRing::IsDone(std::uint32_t p, std::uint32_t recipients) const {
    for (std::uint32_t i = 0; i < recipients; ++i) {
        if (Load(Advance(p, StateWord(i))) != kStateAcknowledged) return false;
    }
    return true;
}

bool CKxMessageRing::IsMessageDone(std::uint32_t position) const {
    // Only a record start reached from R counts: a position from outside is not trusted either.
    if (!IsConsistent()) return false;
    std::uint32_t p = 0, write = 0;
    if (!LoadSpan(&p, &write)) return false;
    for (std::uint32_t remaining = Distance(p, write); remaining != 0;) {
        const std::uint32_t count = RecordRecipients(p, remaining);
        if (count == 0) return false;
        if (p == position) return IsDone(p, count);
        p = Advance(p, RecordWords(count));
        remaining -= RecordWords(count);
    }
    return false;
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

bool CKxMessageRing::ReadRecord(std::uint32_t p, std::uint32_t remaining,
                                KxRingRecord* record) const {
    const std::uint32_t count = RecordRecipients(p, remaining);
    if (count == 0) return false;
    record->position = p;
    record->words = RecordWords(count);
    record->recipientCount = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        record->recipients[i].id = Load(Advance(p, IdWord(i)));
        record->recipients[i].state = Load(Advance(p, StateWord(i)));
    }
    record->message = ReadMessage(p, count);
    return true;
}

bool CKxMessageRing::Take(std::uint32_t id, KxRingMessage* message) {
    if (message == nullptr) return false;
    std::uint32_t p = 0, count = 0;
    if (!Find(id, kStatePending, kStateReceived, &p, &count)) return false;
    *message = ReadMessage(p, count);
    return true;
}

bool CKxMessageRing::Acknowledge(std::uint32_t id, std::uint32_t* senderOut,
                                 std::uint64_t* keyOut) {
    if (senderOut == nullptr || keyOut == nullptr) return false;
    std::uint32_t p = 0, count = 0;
    if (!Find(id, kStateReceived, kStateAcknowledged, &p, &count)) return false;
    KX_KILL_POINT("ring.acknowledge.before-sweep");

    *senderOut = 0;
    *keyOut = 0;
    if (IsDone(p, count)) {
        const KxRingMessage message = ReadMessage(p, count);
        if (message.acknowledgeKey != 0) {
            *senderOut = message.senderId;
            *keyOut = message.acknowledgeKey;
        }
    }

    // Give space back in order only: a done record behind one that is not done keeps its words
    // until the older one is done, then both go in this one sweep.
    GiveBackDone();
    return true;
}

bool CKxMessageRing::SweepAbandonedAcknowledgement(std::uint32_t* senderOut,
                                                   std::uint64_t* keyOut) {
    if (senderOut == nullptr || keyOut == nullptr || !IsConsistent()) return false;
    *senderOut = 0;
    *keyOut = 0;
    std::uint32_t read = 0, write = 0;
    if (!LoadSpan(&read, &write)) return false;
    const std::uint32_t recipients = RecordRecipients(read, Distance(read, write));
    if (recipients == 0 || !IsDone(read, recipients)) return true;
    const KxRingMessage message = ReadMessage(read, recipients);
    if (message.acknowledgeKey != 0) {
        *senderOut = message.senderId;
        *keyOut = message.acknowledgeKey;
    }
    GiveBackDone();
    return true;
}

void CKxMessageRing::GiveBackDone() {
    std::uint32_t read = 0, write = 0;
    if (!LoadSpan(&read, &write)) return;
    const std::uint32_t oldRead = read;
    for (std::uint32_t remaining = Distance(read, write); remaining != 0;) {
        const std::uint32_t recipients = RecordRecipients(read, remaining);
        if (recipients == 0 || !IsDone(read, recipients)) break;
        read = Advance(read, RecordWords(recipients));
        remaining -= RecordWords(recipients);
    }
    if (read != oldRead) Store(kReadElement, read);
}
