// Handle objects: duplication, single-object wait, closing.
#include "CKxHandleSyncObject.h"

#include "KxExceptions.h"
#include "KxWindows.h"

void KxWaitableTraits::Close(Value value) noexcept { CloseHandle(value); }

CKxHandleSyncObject::CKxHandleSyncObject(KxNativeWaitable handle) {
    if (!handle) {
        throw CKxHandleSyncObjectException(
            "CKxHandleSyncObject::CKxHandleSyncObject -> trying to initialize with a NULL handle");
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &duplicate,
                         0 /*dwDesiredAccess*/, FALSE /*bInheritHandle*/, DUPLICATE_SAME_ACCESS)) {
        throw CKxHandleSyncObjectException(
            "CKxHandleSyncObject::CKxHandleSyncObject -> couldn't duplicate handle");
    }
    m_handle.Reset(duplicate);
}

bool CKxHandleSyncObject::Wait(KxTimeout timeout) {
    if (!m_handle) {
        throw CKxHandleSyncObjectException("CKxHandleSyncObject::Wait -> object not created yet");
    }
    switch (WaitForSingleObject(m_handle.Get(), timeout)) {
        case WAIT_OBJECT_0:
            return true;
        case WAIT_TIMEOUT:
            return false;
        case WAIT_ABANDONED:
            // The platform has already made the calling thread the owner; the catcher decides
            // whether the protected data can still be trusted, and must release it.
            throw CKxWaitAbandonnedException(
                "CKxHandleSyncObject::Wait -> WaitForSingleObject returned WAIT_ABANDONED... This "
                "might be ok?");
        default:
            throw CKxHandleSyncObjectException(
                "CKxHandleSyncObject::Wait -> error occurred in WaitForSingleObject");
    }
}

void CKxHandleSyncObject::Release() {
    throw CKxHandleSyncObjectException("CKxHandleSyncObject::Release -> this is not a valid call");
}

KxNativeWaitable CKxHandleSyncObject::GetHandle() const { return m_handle.Get(); }
