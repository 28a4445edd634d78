// Waits on 1 to 64 handle objects at once.
#pragma once

#include "CKxHandleSyncObject.h"

// The most objects one wait takes (Windows' MAXIMUM_WAIT_OBJECTS).
constexpr int kKxMaxWaitObjects = 64;

// objects: count pointers to handle objects, 1 <= count <= 64; timeout in ms, kKxWaitForever for
// none. Throws CKxHandleSyncObjectException for a bad count or a null pointer (before waiting), and
// when WaitForMultipleObjects fails or finds a mutex abandoned (unlike CKxHandleSyncObject::Wait,
// the plain handle-object exception; the calling thread then owns the abandoned mutex). A
// not-created object (null handle) makes the platform call fail. The handles are copied to a fixed
// local array: nothing is allocated unless the call throws.

// true once every object is signalled at the same time; false on time-out.
bool WaitForAll(CKxHandleSyncObject* const* objects, int count, KxTimeout timeout);

// The index of a signalled object (the lowest when several are); -1 on time-out.
int WaitForAny(CKxHandleSyncObject* const* objects, int count, KxTimeout timeout);

// Sets the event signal and waits for object in one kernel call (no thread switch in between can
// make the woken party find the waiter not yet waiting). True once object is signalled, false on
// time-out. Throws CKxHandleSyncObjectException for a null object, a signal that is not an event
// or semaphore, an abandoned mutex or a failed wait.
bool SignalAndWait(CKxHandleSyncObject* signal, CKxHandleSyncObject* object, KxTimeout timeout);
// WaitForAny's fixed texts for a bad count and a null pointer, for callers that assemble its
// objects and refuse bad input the same way before they do.
extern const char kKxWaitForAnyBadCount[];
extern const char kKxWaitForAnyBadPointer[];
