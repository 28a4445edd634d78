// One participant's handle on a named channel: its mutex, member list and message queue.
#pragma once

#include <cstdint>
#include <memory>
#include <list>

#include "KxMessageRing.h"
#include "TKxInterProcessGrowArray.h"

class CIPCParticipantInfo;
class CKxEvent;
class CKxHandleSyncObject;
class CKxMutex;
class CkxIPCMessage;
class CkxIPCMessageQueue;

// The named objects of a channel, shared by every process of it (names and sizes in
// KxChannelLayout.h): the channel mutex, which guards both segments; the participant-identifier
// segment (header, count, 50 identifiers); and the queue segment (header, R, W, ring).
// The first process to construct a channel creates and initialises them under the channel mutex;
// later ones open them and leave their contents alone. A zero-filled segment is a new one.
//
// Threads: the participant's waiting thread constructs and deletes the object; any thread of the
// process may Lock it and call the operations. Every operation below Unlock needs the lock and
// returns false at once without it (lock count 0). The lock is recursive for the owning thread.
// Operations report refusal (bad argument, unregistered id, full queue or channel) with false and
// never throw of their own accord; kernel failures arrive as CKx...Exception. Hold the lock
// through CIPCChannelLock, which gives it back on every path.
//
// The contents are writable by any process: every index read from the segments is checked, and
// contents that make an operation impossible make it return false, never crash or hang.
class CIPCCommunicationChannel {
public:
    // Creates or opens the channel's objects and records the members present. Throws
    // CKxMutexException / CKxSharedMemoryException when they cannot be created (e.g. a name held
    // by a kernel object of another kind), and what making a live member's record throws.
    explicit CIPCCommunicationChannel(const char* name);
    virtual ~CIPCCommunicationChannel();
    CIPCCommunicationChannel(const CIPCCommunicationChannel&) = delete;
    CIPCCommunicationChannel& operator=(const CIPCCommunicationChannel&) = delete;

    // Takes the channel mutex (no time limit) and counts it. A mutex abandoned by a process that
    // died holding it counts as taken: writers publish a record by moving W last, so what a dead
    // writer left half-done is invisible, and an acknowledgement it left half-done between its
    // state change and its give-back is finished by the outermost Lock of any member, whoever
    // (member or observer) took the abandoned mutex first. When finishing it throws (its sender's
    // event cannot be opened; that sender then waits out its time-out), the mutex is released and
    // the count unchanged before the exception leaves.
    bool Lock();
    // Undoes one Lock; the mutex is released when the count is back at 0. False at count 0.
    bool Unlock();

    // Whether id is registered; position out (0-based) when given.
    bool IsParticipant(std::uint32_t id, std::uint32_t* position = nullptr);
    // Registers id and announces it to the members present with one join notice carrying key.
    // Alone: sets event at once, queues nothing. False: key 0, no event, id already registered,
    // 50 members, or no room for the notice (id then stays registered, unannounced).
    bool AddParticipant(std::uint32_t id, std::uint64_t key, CKxEvent* event);
    // Acknowledges everything still queued for id on its behalf (releasing synchronous senders),
    // then unregisters it. True also when id was not registered.
    bool RemoveParticipant(std::uint32_t id);
    // Members in array order with their thread objects (owned by the channel, valid until the
    // member is removed). count: room in, members out. False, with nothing written to count, ids
    // or objects, when the room is too small or the list names a member without a record (it was
    // rewritten meanwhile). Throws as making a live member's record throws.
    bool GetParticipants(std::uint32_t* count, std::uint32_t* ids, CKxHandleSyncObject** objects);
    // Queues message once for all recipients and wakes each. False, with nothing written, when a
    // recipient is not registered, the list is empty, or the ring lacks 2N + 7 free words. Throws
    // what making a live recipient's record throws; the message is then not queued.
    // *position (when given) gets the record's position, for RecipientStates.
    bool AddMessage(std::uint32_t count, const std::uint32_t* recipients,
                    const CkxIPCMessage* message, std::uint32_t* position = nullptr);
    // As AddMessage, but the recipients are not woken here: their receive events go to wakes
    // (room for count), *wakeCount their number, for the caller to set once it has given the lock
    // back (a woken recipient then finds it free). A recipient that already has an entry it has
    // not taken gets none: its wake is pending, or the drain it is in reaches the new entry too.
    bool AddMessage(std::uint32_t count, const std::uint32_t* recipients,
                    const CkxIPCMessage* message, std::uint32_t* position,
                    std::shared_ptr<CKxEvent>* wakes, std::uint32_t* wakeCount);
    // The states (pending, received, acknowledged) of the count entries of the message queued at
    // position with key; false once that record was given back.
    bool RecipientStates(std::uint32_t position, std::uint64_t key, std::uint32_t count,
                         std::uint32_t* states);
    // Takes id's oldest pending message (pending -> received).
    bool GetMessage(std::uint32_t id, CkxIPCMessage* message);
    // Whether GetMessage(id) would give a message now; changes nothing.
    bool HasMessage(std::uint32_t id);
    // Acknowledges id's oldest received message; the acknowledgement that completes a message
    // with a key sets the sender's acknowledge event while the sender is registered.
    bool AcknowledgeMessage(std::uint32_t id);
    // Takes every message waiting for id, oldest first, up to capacity, in one pass: a message
    // without a key (nobody waits for it) is acknowledged at once, the others become received and
    // are acknowledged later, each by AcknowledgeMessageAt with its position. False, with
    // *takenCount 0, when id is not registered or nothing waits.
    bool TakeMessages(std::uint32_t id, KxRingTakenMessage* taken, std::uint32_t capacity,
                      std::uint32_t* takenCount);
    // As AcknowledgeMessage, for id's received entry in the record at position (from
    // TakeMessages).
    bool AcknowledgeMessageAt(std::uint32_t id, std::uint32_t position);
    // As above, but the sender to release is not woken here: *releaseKey gets its key (0 when
    // none is owed), for the caller to set once it has given the lock back.
    bool AcknowledgeMessageAt(std::uint32_t id, std::uint32_t position, std::uint64_t* releaseKey);

    // Read-only views for diagnostics (lock held): the queue and the raw member count.
    const CkxIPCMessageQueue& GetQueue() const { return *m_queue; }

private:
    std::uint32_t* IdElements();
    CIPCParticipantInfo* FindRecord(std::uint32_t id) const;
    // The record of a registered member, made when missing. A member whose record cannot be made
    // because its thread has ended (KxThreadHasEnded) ended unwatched: it is removed like a
    // departed member and null is returned. Any other failure to make the record throws, as
    // CIPCParticipantInfo does, and changes nothing.
    CIPCParticipantInfo* RecordOf(std::uint32_t id);
    // Makes records for every registered member, removing those that ended unwatched. Throws as
    // RecordOf does; the records made before stay.
    void RecordAllParticipants();
    // Acknowledges id's oldest received entry and releases its sender when that completes it.
    bool AcknowledgeAndRelease(std::uint32_t id);
    // Sets the acknowledge event of key while its sender is registered.
    void ReleaseSender(std::uint32_t sender, std::uint64_t key);
    // Finishes the acknowledgement of a holder that died between its state change and its sweep:
    // gives the done records back and releases the sender nobody told.
    void FinishAbandonedAcknowledgement();
    void DeleteRecord(std::uint32_t id);

    CKxMutex* m_mutex;
    TKxInterProcessGrowArray<std::uint32_t>* m_participantIds;
    CkxIPCMessageQueue* m_queue;
    std::uint32_t m_lockCount;
    std::list<CIPCParticipantInfo*> m_records;
};
