// The C interface's open participants of this process, named by handles that are never pointers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "CKxCParticipant.h"
#include "CKxSlimLock.h"
#include "kxipc_c.h"

// A handle is a slot number and that slot's generation, so a handle of a closed participant, or a
// value that was never a handle, names nothing (a reused slot has a new generation), and no handle
// is ever dereferenced. Any thread; the lock is held only while the table itself is read or
// changed, never across a call into a participant.
class CKxCHandleTable {
public:
    // The process's table. It lives until the process ends: participants still open then end
    // with the process, as a member that dies does, rather than from the loader's detach, where
    // their waiting threads cannot be waited for.
    static CKxCHandleTable& Instance();

    // A new handle for participant (never null). Throws std::bad_alloc, leaving the table as it
    // was.
    kxipc_participant* Add(std::shared_ptr<CKxCParticipant> participant);
    // The participant handle names, or null.
    std::shared_ptr<CKxCParticipant> Find(const kxipc_participant* handle) const;
    // Takes the participant out of the table and hands it back (null when handle names nothing),
    // so that the caller destroys it after the lock is given back.
    std::shared_ptr<CKxCParticipant> Remove(const kxipc_participant* handle);

private:
    struct Slot {
        std::uint32_t generation = 1;
        std::shared_ptr<CKxCParticipant> participant;
    };

    CKxCHandleTable() = default;
    // The slot a handle names when it is open; null otherwise. Under m_lock.
    const Slot* Lookup(const kxipc_participant* handle) const;

    mutable CKxSlimLock m_lock;
    std::vector<Slot> m_slots;          // guarded by m_lock
    std::vector<std::uint32_t> m_free;  // free slot numbers, guarded by m_lock
};
