// Multiple waits over handle objects.
#include "KxWaitFunctions.h"

#include "KxExceptions.h"
#include "KxWaitMessages.h"
#include "KxWindows.h"

static_assert(kKxMaxWaitObjects == MAXIMUM_WAIT_OBJECTS, "one wait's objects");

namespace {

// Gives WAIT_TIMEOUT or WAIT_OBJECT_0 + i with i < count; throws for everything else.
DWORD WaitForMultiple(const KxWaitMessages& messages, CKxHandleSyncObject* const* objects,
                      int count, BOOL waitAll, KxTimeout timeout) {
    if (count < 1 || count > MAXIMUM_WAIT_OBJECTS) {
        throw CKxHandleSyncObjectException(messages.badCount);
    }
    // Every pointer is checked before the wait starts, so a bad array consumes no signal.
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) {
        if (!objects || !objects[i]) throw CKxHandleSyncObjectException(messages.badPointer);
        handles[i] = objects[i]->GetHandle();
    }
    const DWORD result =
        WaitForMultipleObjects(static_cast<DWORD>(count), handles, waitAll, timeout);
    if (result == WAIT_TIMEOUT || result - WAIT_OBJECT_0 < static_cast<DWORD>(count)) {
        return result;
    }
    // WAIT_ABANDONED_0 + i and WAIT_FAILED alike.
    throw CKxHandleSyncObjectException(messages.failed);
}

}  // namespace

bool WaitForAll(CKxHandleSyncObject* const* objects, int count, KxTimeout timeout) {
    return WaitForMultiple(kKxWaitForAllMessages, objects, count, TRUE /*bWaitAll*/, timeout) !=
           WAIT_TIMEOUT;
}

int WaitForAny(CKxHandleSyncObject* const* objects, int count, KxTimeout timeout) {
    const DWORD result =
        WaitForMultiple(kKxWaitForAnyMessages, objects, count, FALSE /*bWaitAll*/, timeout);
    return result == WAIT_TIMEOUT ? -1 : static_cast<int>(result - WAIT_OBJECT_0);
}

bool SignalAndWait(CKxHandleSyncObject* signal, CKxHandleSyncObject* object, KxTimeout timeout) {
    if (!signal || !object) throw CKxHandleSyncObjectException("SignalAndWait -> invalid object");
    const DWORD result =
        SignalObjectAndWait(signal->GetHandle(), object->GetHandle(), timeout, FALSE);
    if (result == WAIT_OBJECT_0) return true;
    if (result == WAIT_TIMEOUT) return false;
    throw CKxHandleSyncObjectException("SignalAndWait -> SignalObjectAndWait failed");
}
