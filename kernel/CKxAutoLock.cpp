// Scoped lock.
#include "CKxAutoLock.h"

#include "KxExceptions.h"

CKxAutoLock::CKxAutoLock(CKxSynchronizationObject* object, bool* abandoned) : m_object(object) {
    if (!m_object) {
        throw CKxAutoLockException(
            "CKxAutoLock::CKxAutoLock -> NULL CKxSynchronizationObject pointer");
    }
    if (abandoned) *abandoned = false;
    try {
        // The result is not looked at: with INFINITE the wait only returns once obtained.
        m_object->Wait(INFINITE);
    } catch (const CKxWaitAbandonnedException&) {
        if (abandoned) {
            *abandoned = true;
            return;
        }
        // This thread owns the mutex now, but no destructor of this lock will run to give it back.
        ReleaseIgnoringErrors();
        throw;
    }
}

CKxAutoLock::~CKxAutoLock() { ReleaseIgnoringErrors(); }

void CKxAutoLock::ReleaseIgnoringErrors() {
    try {
        m_object->Release();
    } catch (...) {
        // An event or a thread has nothing to release; a destructor must not throw.
    }
}
