// A growable set of waitable objects and a wait until any one of them is signalled.
//
// Public header of kxipc.dll: it includes nothing from Windows, so applications choose how they
// include <windows.h> themselves.
#pragma once

#include "KxExport.h"

class CKxHandleSyncObject;

/// Keeps borrowed pointers to handle objects at positions 0 to count - 1, in the order they were
/// added; removing one moves every later one down a place. The waiter never destroys the objects.
///
/// Capacity: 32 entries at first; +50 when an object is added to a full array; + extraCount + 50
/// when a wait needs more room than there is; -50 when a removal leaves more than 100 entries free
/// (so a capacity of 100 or less never shrinks). Clearing keeps the capacity, so refilling a
/// cleared waiter allocates nothing.
///
/// Copying and assignment give the target its own copy of the array (same capacity, same
/// registered objects), so two waiters never free one array twice.
///
/// No lock is taken: a waiter shared between threads needs its callers to serialise. No virtual
/// operations: the layout is part of the DLL's interface. Allocation failure throws std::bad_alloc.
class KXIPC_API CKxIPCEventWaiter {
public:
    /// An empty waiter with room for 32 objects. Throws std::bad_alloc.
    CKxIPCEventWaiter();
    /// Frees the array; the registered objects stay with their owners.
    ~CKxIPCEventWaiter();
    /// A waiter with its own array: same capacity, same registered objects in the same order.
    CKxIPCEventWaiter(const CKxIPCEventWaiter& other);
    /// Replaces this waiter's array with a copy of other's; self-assignment changes nothing.
    CKxIPCEventWaiter& operator=(const CKxIPCEventWaiter& other);

    /// Registers object at the next position and stores that position in *index if given. The same
    /// object may be registered more than once. false (and nothing changed) for a null object.
    bool AddEvent(CKxHandleSyncObject* object, unsigned int* index = nullptr);
    /// Unregisters the first registration of object and stores its former position in *index if
    /// given; an object that is not registered leaves *index untouched. false only for null; true
    /// otherwise, also when the object was not registered.
    bool RemoveEvent(const CKxHandleSyncObject* object, unsigned int* index = nullptr);
    /// Unregisters every object; the capacity stays.
    void ClearIPCEventWaiter();
    /// Waits until one of the registered objects or of the extraCount objects of extraObjects
    /// (which takes part in this wait only, at the positions after the registered ones) is
    /// signalled. timeout in milliseconds, 0xFFFFFFFF for no limit. Returns the position of the
    /// signalled object, the lowest when several are, or -1 when the time-out passes. Throws
    /// CKxHandleSyncObjectException when there are no objects or more than 64 in all, or when
    /// extraObjects is null while extraCount is not 0 (in these cases before the array changes),
    /// when an object is null, or when the wait fails or finds a mutex abandoned.
    int WaitOnEvents(KxIPCTimeout timeout, unsigned int extraCount,
                     CKxHandleSyncObject** extraObjects);

private:
    /// Moves the registered entries into a new array of m_capacity entries.
    void ResizeEventsArray();

    CKxHandleSyncObject** m_events;  // owned array of m_capacity borrowed pointers
    unsigned int m_count;            // registered objects, <= m_capacity
    unsigned int m_capacity;
};
