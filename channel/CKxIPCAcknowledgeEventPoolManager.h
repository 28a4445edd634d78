// The process's pool of acknowledge events: lends its own events and opens other processes' ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "CKxSlimLock.h"

class CKxEvent;
class CKxMutex;
class CKxIPCAcknowledgeEventPoolElement;

// One pool per process, held by the service factory singleton. The free list is the process's
// own and is guarded by a process-local lock (user mode: no kernel call unless threads of this
// process contend). The machine-wide mutex "CKxIPCAcknowledgeEventPoolManagerMutex" is still
// created at load, so a name held by another kind of kernel object still refuses the load, but
// nothing waits on it: a process elsewhere that holds it, or died holding it, stalls nobody here.
//
// Lent elements belong to the borrower until it gives them back; the pool keeps no record of them.
// Elements on the free list and in the foreign-events map belong to the pool: free ones live until
// the pool is destroyed, foreign ones until then, until their process has ended, or until ten
// other keys of their process have been used since, and a retired element given back is deleted
// at once. Every operation may be called from any thread of the process.
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
    // the list are then unchanged).
    CKxIPCAcknowledgeEventPoolElement* AcquireElement();
    // Puts the element back on the free list, or deletes it when it has retired
    // (NoteWaitEndedUnsignalled): a late acknowledgement could otherwise end a later borrower's
    // wait. Null does nothing. Never throws, so it may run on undo paths. The element is not
    // checked: it must have come from AcquireElement and not be given back twice.
    void ReleaseElement(CKxIPCAcknowledgeEventPoolElement* element);
    // Sets the event of any process's key: the acknowledgement that releases its sender. The event
    // is opened by name on the first use of the key (created if no process holds it any more) and
    // kept for the next acknowledgement to the same key. What is kept is bounded whatever the
    // senders do: before the kept events grow by another few dozen, those of processes that have
    // ended are closed, so that a long-lived process that serves many short-lived ones does not
    // gain a handle per sender for ever; and at most ten keys of one process are kept, the least
    // recently used closed first, so that the fresh key each retired element takes costs no
    // handle for good while its process lives (here, nor in the process itself). A closed key
    // reopens by name. A key of this process's own lent element gives a second handle on the
    // element's kernel event. Throws CKxEventException if the event cannot be opened (the kept
    // events are then unchanged, apart from those of ended processes) or set.
    void SetEventByKey(std::uint64_t key);
    // The event SetEventByKey sets for key, owned by the pool: the same object on every call until
    // it is closed (its process has ended, or ten other keys of its process were looked up since),
    // which a later look-up of another key may do. Only a caller that knows no such look-up comes
    // meanwhile may keep the pointer. Throws as SetEventByKey does, apart from setting.
    CKxEvent* GetEventByKey(std::uint64_t key);

private:
    // A new element of this process with the next sequence number, unsignalled; the number
    // advances only once the element exists. Under m_freeLock (or before any other thread can
    // reach the pool). Throws what making or looking at the element's event throws.
    CKxIPCAcknowledgeEventPoolElement* MakeElement();
    // The kept element of key, made when missing. Under m_foreignLock.
    CKxIPCAcknowledgeEventPoolElement* ForeignElement(std::uint64_t key);
    // Deletes the kept elements of processes that have ended (KxProcessHasEnded; never this
    // process's own). Under m_foreignLock.
    void CloseEventsOfEndedProcesses();
    // Makes room for one more key of owner: deletes its least recently used kept element when it
    // has its full share. Under m_foreignLock.
    void CloseLeastRecentKeyOfFullProcess(std::uint32_t owner);

    // A kept foreign element and the look-up count of its last use.
    struct KeptEvent {
        CKxIPCAcknowledgeEventPoolElement* element;
        std::uint64_t lastUse;
    };

    CKxMutex* m_mutex;  // created at load, never waited on
    // The free list and the sequence number of the next new element, under m_freeLock. The list
    // is a stack at its back end.
    std::uint64_t m_nextSequence;
    // A vector, not a linked list: once it has held the most elements ever free at once, giving
    // back and lending allocate nothing, so a send costs no heap operation.
    std::vector<CKxIPCAcknowledgeEventPoolElement*> m_freeElements;
    // Key -> element for every key asked for and not yet closed, under m_foreignLock, which is
    // process-local: acknowledgements made for different channels reach the pool at the same time.
    std::map<std::uint64_t, KeptEvent> m_foreignEvents;
    CKxSlimLock m_foreignLock;
    CKxSlimLock m_freeLock;
    // The size of m_foreignEvents after the last look for ended processes, under m_foreignLock.
    std::size_t m_foreignCountAtLastLook;
    // Look-ups of kept events so far, under m_foreignLock: the clock of KeptEvent::lastUse.
    std::uint64_t m_foreignUses;
};
