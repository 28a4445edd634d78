// Scoped lock over any lockable object: Wait(kKxWaitForever) on construction, Release on
// destruction; and the two steps it is made of, for locks that are not scoped.
#pragma once

#include "CKxSynchronizationObject.h"

// Waits for object as its Wait(timeout) does, except that a mutex found abandoned (its owner ended
// holding it) counts as obtained: the calling thread owns it then, as after a normal wait, and
// *abandoned (when given) is set so that the caller can finish what the dead owner left half-done;
// it is cleared otherwise. true: obtained or signalled; false: the time-out ran out. Every other
// failure throws as Wait does. The one way the library takes a mutex whose abandonment it recovers.
bool KxWaitTakingAbandoned(CKxSynchronizationObject* object, KxTimeout timeout, bool* abandoned);

// Gives back what a wait obtained, dropping whatever Release throws: for destructors and undo
// paths, where a second exception could not be reported. Releasing a mutex the calling thread
// owns does not fail.
void KxReleaseIgnoringErrors(CKxSynchronizationObject* object);

// Does not own the object, which must outlive the lock. Taken and ended by one thread (a mutex can
// only be released by its owner). There is no early unlock.
//
// Throws CKxAutoLockException for a null object, and passes on what the object's Wait throws,
// with one exception: a mutex found abandoned. With an abandoned flag the lock then sets *abandoned
// to true and holds the mutex normally (KxWaitTakingAbandoned). Without one, the lock gives the
// mutex back and lets the CKxWaitAbandonnedException pass, so that no thread is left owning a mutex
// nobody will release. The destructor drops whatever Release throws (so a lock over an event
// releases nothing).
class CKxAutoLock {
public:
    explicit CKxAutoLock(CKxSynchronizationObject* object, bool* abandoned = nullptr);
    ~CKxAutoLock();

    CKxAutoLock(const CKxAutoLock&) = delete;
    CKxAutoLock& operator=(const CKxAutoLock&) = delete;

private:
    CKxSynchronizationObject* m_object;
};
