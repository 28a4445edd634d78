// Scoped lock over any lockable object: Wait(INFINITE) on construction, Release on destruction.
#pragma once

#include "CKxSynchronizationObject.h"

// Does not own the object, which must outlive the lock. Taken and ended by one thread (a mutex can
// only be released by its owner). There is no early unlock.
//
// Throws CKxAutoLockException for a null object, and passes on what the object's Wait throws,
// with one exception: a mutex found abandoned. With an abandoned flag the lock then sets *abandoned
// to true and holds the mutex normally. Without one, the lock gives the mutex back and lets the
// CKxWaitAbandonnedException pass, so that no thread is left owning a mutex nobody will release.
// The destructor drops whatever Release throws (so a lock over an event releases nothing).
class CKxAutoLock {
public:
    explicit CKxAutoLock(CKxSynchronizationObject* object, bool* abandoned = nullptr);
    ~CKxAutoLock();

    CKxAutoLock(const CKxAutoLock&) = delete;
    CKxAutoLock& operator=(const CKxAutoLock&) = delete;

private:
    void ReleaseIgnoringErrors();

    CKxSynchronizationObject* m_object;
};
