// The channel's message queue over its shared ring.
#include "CkxIPCMessageQueue.h"

#include "KxSharedWord.h"

CkxIPCMessageQueue::CkxIPCMessageQueue(const std::string& name)
    : m_array(new TKxInterProcessArray<std::uint32_t>(name, kKxQueueElements)),
      m_ring(&(*m_array)[0]) {
    // The ring first, the header last: a process that dies half-way leaves the header 0, and the
    // next queue object initialises again.
    if (KxLoadShared(&m_array->Header()) == 0) {
        m_ring.Initialize();
        KxStoreShared(&m_array->Header(), std::uint32_t{1});
    }
}

CkxIPCMessageQueue::~CkxIPCMessageQueue() { delete m_array; }

bool CkxIPCMessageQueue::AddMessage(std::uint32_t count, const std::uint32_t* recipients,
                                    const CkxIPCMessage* message, std::uint32_t* position) {
    if (message == nullptr) return false;
    KxRingMessage record;
    record.senderId = message->GetSenderID();
    record.messageCode = message->GetMessageCode();
    record.param = message->GetParam();
    record.acknowledgeKey = message->GetAcknowledgeKey();
    return m_ring.Add(count, recipients, record, position);
}

bool CkxIPCMessageQueue::GetMessage(std::uint32_t id, CkxIPCMessage* message) {
    KxRingMessage record;
    if (message == nullptr || !m_ring.Take(id, &record)) return false;
    message->SetSenderID(record.senderId);
    message->SetMessageCode(record.messageCode);
    message->SetParam(record.param);
    message->SetAcknowledgeKey(record.acknowledgeKey);
    return true;
}

bool CkxIPCMessageQueue::HasMessage(std::uint32_t id) {
    // A transition from pending to pending finds the entry and leaves it as it is.
    std::uint32_t position = 0;
    return m_ring.FindRecipient(id, CKxMessageRing::kStatePending, CKxMessageRing::kStatePending,
                                &position);
}

bool CkxIPCMessageQueue::AcknowledgeMessage(std::uint32_t id, std::uint32_t* senderOut,
                                            std::uint64_t* keyOut) {
    return m_ring.Acknowledge(id, senderOut, keyOut);
}

bool CkxIPCMessageQueue::TakeMessages(std::uint32_t id, KxRingTakenMessage* taken,
                                      std::uint32_t capacity, std::uint32_t* takenCount) {
    return m_ring.TakeAll(id, taken, capacity, takenCount);
}

bool CkxIPCMessageQueue::AcknowledgeMessageAt(std::uint32_t id, std::uint32_t position,
                                              std::uint32_t* senderOut, std::uint64_t* keyOut) {
    return m_ring.AcknowledgeAt(id, position, senderOut, keyOut);
}

bool CkxIPCMessageQueue::SweepAbandonedAcknowledgement(std::uint32_t* senderOut,
                                                       std::uint64_t* keyOut) {
    return m_ring.SweepAbandonedAcknowledgement(senderOut, keyOut);
}

const CKxMessageRing& CkxIPCMessageQueue::GetRing() const { return m_ring; }

bool CkxIPCMessageQueue::RecipientStates(std::uint32_t position, std::uint64_t key,
                                         std::uint32_t count, std::uint32_t* states) const {
    bool found = false;
    m_ring.ForEachRecord([&](const KxRingRecord& record) {
        if (found || record.position != position || record.recipientCount != count ||
            record.message.acknowledgeKey != key) {
            return;
        }
        found = true;
        for (std::uint32_t i = 0; i < count; ++i) states[i] = record.recipients[i].state;
    });
    return found;
}
