// The process's pool of acknowledge events: lends its own events and opens other processes' ones.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "KxWindows.h"

class CKxEvent;
class CKxMutex;
class CKxIPCAcknowledgeEventPoolElement;

// One pool per process, held by the service factory singleton. Every process's pool locks the
// same machine-wide mutex "CKxIPCAcknowledgeEventPoolManagerMutex" around its free list, although
// each list is the process's own; the mutex is held only for the list operation (and the creation
// of a new element) and is never left held, whatever is thrown, so no process's pool can wait on
// it for ever. A mutex abandoned by a process that died holding it counts as obtained: the list it
// guards belongs to this process and is consistent.
//
// Lent elements belong to the borrower until it gives them back; the pool keeps no record of them.
// Elements on the free list and in the foreign-events map belong to the pool and live until it is
// destroyed; a retired element given back is deleted at once. Every operation may be called from
// any thread of the process.
class CKxIPCAcknowledgeEventPoolManager {
public:
    // Creates the pool mutex and ten elements with sequence numbers 1 to 10 (the next is 11).
    // Throws CKxMutexException or CKxEventException when a kernel object cannot be created, and
    // then leaves nothing behind.
    CKxIPCAcknowledgeEventPoolManager();
    // Deletes the free elements, then the foreign ones in ascending key order, then the mutex.
    // Elements still lent are not touched.
    virtual ~CKxIPCAcknowledgeEventPoolManager();

    CKxIPCAcknowledgeEventPoolManager(const CKxIPCAcknowledgeEventPoolManager&) = delete;
    CKxIPCAcknowledgeEventPoolManager& operator=(const CKxIPCAcknowledgeEventPoolManager&) = delete;

    // Lends the element given back last (last in, first out), or a new element with the next
    // sequence number when none is free. Never null. An element comes back to the list only when
    // its last borrower saw its signal or queued nothing, so no acknowledgement is still owed on
    // it. Throws CKxEventException when a new element cannot be created (the sequence number and
    // the list are then unchanged), or the mutex's exceptions.
    CKxIPCAcknowledgeEventPoolElement* AcquireElement();
    // Puts the element back on the free list, or deletes it when it has retired
    // (NoteWaitEndedUnsignalled): a late acknowledgement could otherwise end a later borrower's
    // wait. Null does nothing; neither does it touch the mutex. The element is not checked: it
    // must have come from AcquireElement and not be given back twice.
    void ReleaseElement(CKxIPCAcknowledgeEventPoolElement* element);
    // The event of any process's key, opened by name on the first call for that key (created if no
    // process holds it any more) and kept: later calls for the key return the same object. A key
    // of this process's own lent element gives a second handle on the element's kernel event. The
    // event stays owned by the pool. Throws CKxEventException if the event cannot be opened; the
    // map is then unchanged.
    CKxEvent* GetEventByKey(std::uint64_t key);

private:
    // A new element of this process with the next sequence number, unsignalled; the number
    // advances only once the element exists. Throws what the element's constructor throws.
    CKxIPCAcknowledgeEventPoolElement* MakeElement();
    // Waits for the pool mutex without time limit; an abandoned mutex counts as obtained.
    void LockPoolMutex();

    CKxMutex* m_mutex;
    // The free list and the sequence number of the next new element, under m_mutex. The list is
    // a stack at its back end.
    std::uint64_t m_nextSequence;
    // A vector, not a linked list: once it has held the most elements ever free at once, giving
    // back and lending allocate nothing, so a send costs no heap operation.
    std::vector<CKxIPCAcknowledgeEventPoolElement*> m_freeElements;
    // Key -> element for every key GetEventByKey was asked for, under m_foreignLock, which is
    // process-local: calls made for different channels reach GetEventByKey at the same time.
    std::map<std::uint64_t, CKxIPCAcknowledgeEventPoolElement*> m_foreignEvents;
    SRWLOCK m_foreignLock;
};
