// Registration, queueing, wake-ups and departures of one named channel.
#include "CIPCCommunicationChannel.h"

#include <algorithm>
#include <string>

#include "CIPCParticipantInfo.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxAutoLock.h"
#include "CKxEvent.h"
#include "CKxMutex.h"
#include "CkxIPCMessage.h"
#include "CkxIPCMessageQueue.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxLiveness.h"
#include "KxParticipantIdList.h"
#include "KxScopeGuard.h"
#include "KxSharedWord.h"

CIPCCommunicationChannel::CIPCCommunicationChannel(const char* name)
    : m_mutex(nullptr), m_participantIds(nullptr), m_queue(nullptr), m_lockCount(0) {
    const std::string channelName(name ? name : "");
    // Absent only where a failed load could not be refused (Linux): the pool's events are missing,
    // and the members' records need them.
    if (!CIPCServiceFactorySingleton::GetInstance()) {
        throw CKxEventException("CKxEvent::CKxEvent -> could not create an event");
    }
    m_mutex = new CKxMutex(KxChannelMutexName(channelName));
    TKxScopeGuard undo([this] {
        delete m_queue;
        delete m_participantIds;
        if (m_lockCount != 0) KxReleaseIgnoringErrors(m_mutex);
        delete m_mutex;
        for (CIPCParticipantInfo* record : m_records) delete record;
    });
    Lock();
    m_participantIds = new TKxInterProcessGrowArray<std::uint32_t>(
        channelName + kKxIdArraySuffix, kKxIdArrayElements, kKxIdArrayGrowthStep);
    if (m_participantIds->GetMappedCapacity() < kKxIdArrayElements) {
        // Another process created the segment smaller than any channel makes it.
        throw CKxSharedMemoryException(
            "CIPCCommunicationChannel::CIPCCommunicationChannel -> participant array too small");
    }
    // The queue before the members' records: a member found ended unwatched is removed at once,
    // which acknowledges its entries in the queue.
    m_queue = new CkxIPCMessageQueue(channelName + kKxQueueSuffix);
    // As every outermost Lock does (see there).
    FinishAbandonedAcknowledgement();
    CKxParticipantIdList ids(IdElements());
    if (KxLoadShared(&m_participantIds->Header()) == 0) {
        KxStoreShared(&m_participantIds->Header(), std::uint32_t{1});
        ids.Initialize();
    } else {
        RecordAllParticipants();
    }
    undo.Dismiss();
    Unlock();
}

CIPCCommunicationChannel::~CIPCCommunicationChannel() {
    // The segments are unmapped under the channel mutex so that no other process reads them
    // half-closed; a destructor never throws, so kernel failures are dropped here (a Lock that
    // throws holds nothing).
    bool locked = false;
    try {
        locked = Lock();
    } catch (...) {
    }
    delete m_queue;
    delete m_participantIds;
    if (locked) KxReleaseIgnoringErrors(m_mutex);
    delete m_mutex;
    for (CIPCParticipantInfo* record : m_records) delete record;
}

bool CIPCCommunicationChannel::Lock() {
    bool abandoned = false;  // not consulted: see below
    if (!KxWaitTakingAbandoned(m_mutex, kKxWaitForever, &abandoned)) return false;
    ++m_lockCount;
    // Only the first taker of an abandoned mutex hears of it, and that may be an observer that
    // writes nothing (CKxChannelSnapshot). So every outermost Lock looks for what a dead holder
    // leaves, a done record at R, which no complete operation leaves: cheap (one walk of the
    // ring) and a no-op otherwise. A nested Lock skips the look: the outermost one of this hold
    // made it. The constructor, whose queue does not exist yet at its Lock, looks once it does.
    if (m_lockCount == 1 && m_queue != nullptr) {
        // No caller's guard exists yet to give the lock back: a mutex left owned by a thread that
        // lives on would stop every process of the channel for ever.
        TKxScopeGuard undo([this] {
            --m_lockCount;
            KxReleaseIgnoringErrors(m_mutex);
        });
        FinishAbandonedAcknowledgement();
        undo.Dismiss();
    }
    return true;
}

bool CIPCCommunicationChannel::Unlock() {
    if (m_lockCount == 0) return false;
    // Every Lock waited on the mutex, and the platform counts each wait of its owner: each Unlock
    // gives one back, so the mutex is free exactly when the count is back at 0.
    --m_lockCount;
    m_mutex->Release();
    return true;
}

std::uint32_t* CIPCCommunicationChannel::IdElements() { return &(*m_participantIds)[0]; }

bool CIPCCommunicationChannel::IsParticipant(std::uint32_t id, std::uint32_t* position) {
    if (m_lockCount == 0) return false;
    return CKxParticipantIdList(IdElements()).Find(id, position);
}

CIPCParticipantInfo* CIPCCommunicationChannel::FindRecord(std::uint32_t id) const {
    for (CIPCParticipantInfo* record : m_records) {
        if (record->GetParticipantID() == id) return record;
    }
    return nullptr;
}

CIPCParticipantInfo* CIPCCommunicationChannel::RecordOf(std::uint32_t id) {
    if (CIPCParticipantInfo* record = FindRecord(id)) return record;
    CIPCParticipantInfo* record = nullptr;
    try {
        record = new CIPCParticipantInfo(id);
    } catch (const CKxHandleSyncObjectException&) {
        // A failure of this process alone (an event name held by another kind of object, a full
        // handle table, denied access) says nothing about the member and must not evict it for
        // every process: only a thread the platform reports ended is a departure.
        if (!KxThreadHasEnded(id)) throw;
        // Its thread has ended and nobody removed it (every watcher died with it): remove it now
        // as a departed member, so that its senders are released and the channel goes on.
        RemoveParticipant(id);
        return nullptr;
    }
    m_records.push_back(record);
    return record;
}

void CIPCCommunicationChannel::RecordAllParticipants() {
    CKxParticipantIdList list(IdElements());
    std::uint32_t ids[kKxMaxParticipants];
    const std::uint32_t count = list.Count();
    for (std::uint32_t i = 0; i < count; ++i) ids[i] = list.At(i);
    for (std::uint32_t i = 0; i < count; ++i) RecordOf(ids[i]);
}

void CIPCCommunicationChannel::DeleteRecord(std::uint32_t id) {
    for (auto it = m_records.begin(); it != m_records.end(); ++it) {
        if ((*it)->GetParticipantID() == id) {
            delete *it;
            m_records.erase(it);
            return;
        }
    }
}

bool CIPCCommunicationChannel::AddParticipant(std::uint32_t id, std::uint64_t key,
                                              CKxEvent* event) {
    if (key == 0 || event == nullptr || m_lockCount == 0) return false;
    CKxParticipantIdList list(IdElements());
    if (!list.IsValid() || list.Find(id, nullptr)) return false;
    // Records for the members present first: one that ended unwatched leaves the list here
    // instead of receiving a notice nobody will acknowledge.
    RecordAllParticipants();
    const std::uint32_t present = list.Count();
    if (present >= kKxMaxParticipants) return false;
    std::uint32_t recipients[kKxMaxParticipants];
    for (std::uint32_t i = 0; i < present; ++i) recipients[i] = list.At(i);

    CIPCParticipantInfo* joiner = new CIPCParticipantInfo(id);
    m_records.push_back(joiner);
    if (!list.Add(id)) return false;
    KX_KILL_POINT("channel.add-participant.half-way");
    if (present == 0) {
        event->Set();
        return true;
    }
    CkxIPCMessage notice;
    notice.SetSenderID(id);
    notice.SetMessageCode(kKxJoinNoticeCode);
    notice.SetParam(0);
    notice.SetAcknowledgeKey(key);
    return AddMessage(present, recipients, &notice);
}

bool CIPCCommunicationChannel::AcknowledgeAndRelease(std::uint32_t id) {
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
    if (!m_queue->AcknowledgeMessage(id, &sender, &key)) return false;
    ReleaseSender(sender, key);
    return true;
}

void CIPCCommunicationChannel::ReleaseSender(std::uint32_t sender, std::uint64_t key) {
    if (sender != 0 && key != 0 && IsParticipant(sender)) {
        CIPCServiceFactorySingleton::GetInstance()->SetAcknowledgeEvent(key);
    }
}

void CIPCCommunicationChannel::FinishAbandonedAcknowledgement() {
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
    if (m_queue->SweepAbandonedAcknowledgement(&sender, &key)) ReleaseSender(sender, key);
}

bool CIPCCommunicationChannel::RemoveParticipant(std::uint32_t id) {
    if (m_lockCount == 0) return false;
    CKxParticipantIdList list(IdElements());
    if (list.Find(id, nullptr)) {
        // Entries the member had taken but not acknowledged (it died inside a handler) would keep
        // their records, and every record behind them, in the ring for ever: acknowledge them too.
        while (AcknowledgeAndRelease(id)) {
        }
        KX_KILL_POINT("channel.remove-participant.half-way");
        CkxIPCMessage message;
        while (m_queue->GetMessage(id, &message)) AcknowledgeAndRelease(id);
    }
    DeleteRecord(id);
    list.Remove(id);
    return true;
}

bool CIPCCommunicationChannel::GetParticipants(std::uint32_t* count, std::uint32_t* ids,
                                               CKxHandleSyncObject** objects) {
    if (m_lockCount == 0 || count == nullptr) return false;
    CKxParticipantIdList list(IdElements());
    if (!list.IsValid()) return false;
    RecordAllParticipants();
    // Any process can write the list without the mutex, so it may have changed since the records
    // were made: it is read once, and an identifier found without a record refuses the call.
    std::uint32_t presentIds[kKxMaxParticipants];
    CKxHandleSyncObject* threads[kKxMaxParticipants];
    const std::uint32_t present = list.Count();
    for (std::uint32_t i = 0; i < present; ++i) {
        presentIds[i] = list.At(i);
        const CIPCParticipantInfo* record = FindRecord(presentIds[i]);
        if (record == nullptr) return false;
        threads[i] = record->GetThreadObject();
    }
    const std::uint32_t room = *count;
    if (room < present || (room > 0 && (ids == nullptr || objects == nullptr))) return false;
    for (std::uint32_t i = 0; i < present; ++i) {
        ids[i] = presentIds[i];
        objects[i] = threads[i];
    }
    for (std::uint32_t i = present; i < room; ++i) ids[i] = 0;
    *count = present;
    return true;
}

bool CIPCCommunicationChannel::AddMessage(std::uint32_t count, const std::uint32_t* recipients,
                                          const CkxIPCMessage* message, std::uint32_t* position) {
    // Woken here, under the lock: a join notice's recipients, and the callers that wait for none.
    std::uint32_t wakeCount = 0;
    return AddMessage(count, recipients, message, position, nullptr, &wakeCount);
}

bool CIPCCommunicationChannel::AddMessage(std::uint32_t count, const std::uint32_t* recipients,
                                          const CkxIPCMessage* message, std::uint32_t* position,
                                          std::shared_ptr<CKxEvent>* wakes,
                                          std::uint32_t* wakeCount) {
    *wakeCount = 0;
    if (m_lockCount == 0 || (recipients == nullptr && count != 0)) return false;
    if (count == 0 || count > kKxMaxRecipients || message == nullptr) return false;
    CKxParticipantIdList list(IdElements());
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!list.Find(recipients[i], nullptr)) return false;
    }
    // Records (and so receive events) before anything is written: making one may throw, and a
    // recipient found ended unwatched is removed, which refuses the message as unregistered.
    CIPCParticipantInfo* records[kKxMaxRecipients];
    for (std::uint32_t i = 0; i < count; ++i) {
        records[i] = RecordOf(recipients[i]);
        if (records[i] == nullptr) return false;
    }
    if (!wakes) {
        if (!m_queue->AddMessage(count, recipients, message, position)) return false;
        for (std::uint32_t i = 0; i < count; ++i) records[i]->GetReceiveEvent()->Set();
        return true;
    }
    // Who needs a wake is read before the new entries exist; a recipient listed twice needs one.
    bool wake[kKxMaxRecipients];
    for (std::uint32_t i = 0; i < count; ++i) {
        wake[i] = !m_queue->HasMessage(recipients[i]) &&
                  std::find(recipients, recipients + i, recipients[i]) == recipients + i;
    }
    if (!m_queue->AddMessage(count, recipients, message, position)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (wake[i]) wakes[(*wakeCount)++] = records[i]->SharedReceiveEvent();
    }
    return true;
}

bool CIPCCommunicationChannel::GetMessage(std::uint32_t id, CkxIPCMessage* message) {
    if (m_lockCount == 0 || !IsParticipant(id)) return false;
    return m_queue->GetMessage(id, message);
}

bool CIPCCommunicationChannel::HasMessage(std::uint32_t id) {
    if (m_lockCount == 0 || !IsParticipant(id)) return false;
    return m_queue->HasMessage(id);
}

bool CIPCCommunicationChannel::AcknowledgeMessage(std::uint32_t id) {
    if (m_lockCount == 0) return false;
    return AcknowledgeAndRelease(id);
}

bool CIPCCommunicationChannel::TakeMessages(std::uint32_t id, KxRingTakenMessage* taken,
                                            std::uint32_t capacity, std::uint32_t* takenCount) {
    if (takenCount) *takenCount = 0;
    if (m_lockCount == 0 || !IsParticipant(id)) return false;
    // Acknowledging the entries without a key can complete no record with a key (a record has one
    // key), so no sender waits to be released here.
    return m_queue->TakeMessages(id, taken, capacity, takenCount);
}

bool CIPCCommunicationChannel::AcknowledgeMessageAt(std::uint32_t id, std::uint32_t position) {
    if (m_lockCount == 0) return false;
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
    if (!m_queue->AcknowledgeMessageAt(id, position, &sender, &key)) return false;
    ReleaseSender(sender, key);
    return true;
}

bool CIPCCommunicationChannel::AcknowledgeMessageAt(std::uint32_t id, std::uint32_t position,
                                                    std::uint64_t* releaseKey) {
    *releaseKey = 0;
    if (m_lockCount == 0) return false;
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
    if (!m_queue->AcknowledgeMessageAt(id, position, &sender, &key)) return false;
    if (sender != 0 && key != 0 && IsParticipant(sender)) *releaseKey = key;
    return true;
}

bool CIPCCommunicationChannel::RecipientStates(std::uint32_t position, std::uint64_t key,
                                               std::uint32_t count, std::uint32_t* states) {
    if (m_lockCount == 0) return false;
    return m_queue->RecipientStates(position, key, count, states);
}
