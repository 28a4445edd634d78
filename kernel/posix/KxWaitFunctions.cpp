// Multiple waits over handle objects on Linux: futex_waitv over their words.
#include "KxWaitFunctions.h"

#include "KxExceptions.h"
#include "KxWaitMessages.h"
#include "KxPosixHandle.h"

static_assert(kKxMaxWaitObjects == kKxPosixMaximumWaitObjects, "one wait's objects");

namespace {

// The index of the object taken, or -1 on time-out; throws for everything else, an abandoned
// mutex included (the calling thread then owns it, as on Windows).
int WaitForMultiple(const KxWaitMessages& messages, CKxHandleSyncObject* const* objects, int count,
                    bool waitAll, KxTimeout timeout) {
    if (count < 1 || count > kKxMaxWaitObjects) {
        throw CKxHandleSyncObjectException(messages.badCount);
    }
    // Every pointer is checked before the wait starts, so a bad array consumes no signal. A
    // not-created object's null handle makes the wait fail.
    KxPosixWaitable* handles[kKxMaxWaitObjects];
    for (int i = 0; i < count; ++i) {
        if (!objects || !objects[i]) throw CKxHandleSyncObjectException(messages.badPointer);
        handles[i] = objects[i]->GetHandle();
    }
    const KxPosixWaitResult result = waitAll ? KxPosixWaitForAll(handles, count, timeout)
                                             : KxPosixWaitForAny(handles, count, timeout);
    if (result.status == KxPosixWaitStatus::Signalled) {
        for (int i = 0; i < count; ++i) {
            if (waitAll || i == result.index) KxPosixAcquireEnd(handles[i]);
        }
        return waitAll ? 0 : result.index;
    }
    if (result.status == KxPosixWaitStatus::TimedOut) return -1;
    throw CKxHandleSyncObjectException(messages.failed);
}

}  // namespace

bool WaitForAll(CKxHandleSyncObject* const* objects, int count, KxTimeout timeout) {
    return WaitForMultiple(kKxWaitForAllMessages, objects, count, true, timeout) >= 0;
}

int WaitForAny(CKxHandleSyncObject* const* objects, int count, KxTimeout timeout) {
    return WaitForMultiple(kKxWaitForAnyMessages, objects, count, false, timeout);
}

bool SignalAndWait(CKxHandleSyncObject* signal, CKxHandleSyncObject* object, KxTimeout timeout) {
    if (!signal || !object) throw CKxHandleSyncObjectException("SignalAndWait -> invalid object");
    KxPosixWaitable* const signalled = signal->GetHandle();
    KxPosixWaitable* waited = object->GetHandle();
    // Only an event can be signalled (Windows also takes a semaphore, which this library never
    // makes). Setting then waiting is one call's worth here: a futex wait never misses a signal
    // that came before it, so the woken party cannot find the waiter not yet waiting.
    if (!signalled || signalled->kind != KxPosixWaitKind::Event || !waited) {
        throw CKxHandleSyncObjectException("SignalAndWait -> SignalObjectAndWait failed");
    }
    KxPosixSetEvent(signalled->event);
    const KxPosixWaitResult result = KxPosixWaitForAny(&waited, 1, timeout);
    if (result.status == KxPosixWaitStatus::Signalled) {
        KxPosixAcquireEnd(waited);
        return true;
    }
    if (result.status == KxPosixWaitStatus::TimedOut) return false;
    throw CKxHandleSyncObjectException("SignalAndWait -> SignalObjectAndWait failed");
}
