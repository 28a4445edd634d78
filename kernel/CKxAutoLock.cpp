// Scoped lock, and the abandoned-mutex wait and quiet release it is made of.
#include "CKxAutoLock.h"

#include "KxExceptions.h"

bool KxWaitTakingAbandoned(CKxSynchronizationObject* object, KxTimeout timeout, bool* abandoned) {
    if (abandoned) *abandoned = false;
    try {
        return object->Wait(timeout);
    } catch (const CKxWaitAbandonnedException&) {
        // The platform has already made the calling thread the owner.
        if (abandoned) *abandoned = true;
        return true;
    }
}

void KxReleaseIgnoringErrors(CKxSynchronizationObject* object) {
    try {
        object->Release();
    } catch (...) {
        // An event or a thread has nothing to release; a destructor must not throw.
    }
}

CKxAutoLock::CKxAutoLock(CKxSynchronizationObject* object, bool* abandoned) : m_object(object) {
    if (!m_object) {
        throw CKxAutoLockException(
            "CKxAutoLock::CKxAutoLock -> NULL CKxSynchronizationObject pointer");
    }
    // The result is not looked at: with no time limit the wait only returns once obtained.
    if (abandoned) {
        KxWaitTakingAbandoned(m_object, kKxWaitForever, abandoned);
        return;
    }
    try {
        m_object->Wait(kKxWaitForever);
    } catch (const CKxWaitAbandonnedException&) {
        // This thread owns the mutex now, but no destructor of this lock will run to give it back.
        KxReleaseIgnoringErrors(m_object);
        throw;
    }
}

CKxAutoLock::~CKxAutoLock() { KxReleaseIgnoringErrors(m_object); }
