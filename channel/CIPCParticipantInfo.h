// One member of a channel as this process sees it: its waiting thread and its receive event.
#pragma once

#include <cstdint>
#include <memory>

class CKxEvent;
class CKxHandleSyncObject;

// Made by the channel the first time it deals with a member; owns both kernel objects.
// The thread object is signalled when the member's waiting thread ends, also when its process
// dies; the receive event wakes that thread. Used under the channel lock only.
class CIPCParticipantInfo {
public:
    // Opens the member's thread (synchronise access) and its receive event.
    // Throws CKxHandleSyncObjectException when the thread cannot be opened (it has ended, or this
    // process may not open it) and CKxEventException when the event cannot be created; nothing is
    // left open then.
    explicit CIPCParticipantInfo(std::uint32_t participantId);
    ~CIPCParticipantInfo();
    CIPCParticipantInfo(const CIPCParticipantInfo&) = delete;
    CIPCParticipantInfo& operator=(const CIPCParticipantInfo&) = delete;

    std::uint32_t GetParticipantID() const { return m_participantId; }
    // The thread object stays owned by the record and valid until it is deleted. The receive
    // event is shared: a sender that wakes the member after giving the channel lock back holds it
    // past the record's deletion.
    CKxHandleSyncObject* GetThreadObject() const { return m_threadObject; }
    CKxEvent* GetReceiveEvent() const { return m_receiveEvent.get(); }
    const std::shared_ptr<CKxEvent>& SharedReceiveEvent() const { return m_receiveEvent; }

private:
    std::uint32_t m_participantId;
    CKxHandleSyncObject* m_threadObject;
    std::shared_ptr<CKxEvent> m_receiveEvent;
};
