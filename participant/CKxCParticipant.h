// The participant behind kxipc_c.h: forwards the handlers to C callbacks.
#pragma once

#include <atomic>
#include <cstdint>

#include "CKxSlimLock.h"
#include "CkxIPCParticipant.h"
#include "kxipc_c.h"

// One participant of the C interface, shared between the handle table and the calls under way on
// it (std::shared_ptr): whichever of them lets go last destroys it.
//
// Threads. Leave, Rejoin and Close are serialised among themselves; Join is the first join, made
// before the participant is shared. None of them may be called on the participant's own waiting
// thread (IsDispatchingHere tells; the waiting thread would wait for itself). Members and the
// sending members of the base class may be called from any thread, the callbacks included. The
// callbacks run on the waiting thread, never with a lock of this class held.
class CKxCParticipant : public CkxIPCParticipant {
public:
    // callbacks is copied; user is handed to every callback. Nothing is joined here.
    CKxCParticipant(const char* channel, const kxipc_callbacks& callbacks, void* user);
    // Leaves first: no callback runs once this class is gone. Never throws.
    ~CKxCParticipant() override;

    // Joins (OnJoin(id, false) runs for each member present before it returns). Throws what
    // InitializeParticipant throws (the CKxBaseException family, std::bad_alloc), leaving the
    // participant not joined.
    void Join();
    // Each false, changing nothing, when not possible in the participant's state: Leave when not
    // joined, Rejoin when joined; both when closed. They throw what Join and
    // UninitializeParticipant throw; the participant is then still joined (Leave) or not (Rejoin).
    bool Leave();
    bool Rejoin();
    // Leaves if joined and closes for good: false when already closed. The participant is still
    // open if it throws.
    bool Close();
    bool IsClosed() const;
    bool IsJoined() const;

    // True on this participant's waiting thread while one of its callbacks runs.
    bool IsDispatchingHere() const;

protected:
    void OnJoin(unsigned int participantId, bool joinedLater) override;
    void OnQuit(unsigned int participantId) override;
    void OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                       unsigned long long param) override;
    void OnReceive(unsigned int senderId, unsigned int messageCode,
                   unsigned long long param) override;

private:
    // Marks the calling thread as dispatching this participant's callbacks for one callback.
    class CDispatchScope;

    void LeaveJoined();  // under m_membership

    const kxipc_callbacks m_callbacks;
    void* const m_user;
    // Held across joining and leaving (up to twice 25 000 ms), never by a callback.
    mutable CKxSlimLock m_membership;
    std::atomic<bool> m_joined;  // written under m_membership
    std::atomic<bool> m_closed;  // written under m_membership
};
