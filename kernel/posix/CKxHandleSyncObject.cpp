// Handle objects on Linux: handles over futex words, shared duplicates, single-object waits.
#include "CKxHandleSyncObject.h"

#include <cerrno>

#include "CKxPosixNamedObject.h"
#include "KxExceptions.h"
#include "KxPosixHandle.h"

void KxWaitableTraits::Close(Value value) noexcept { delete KxPosixHandleOf(value); }

KxNativeWaitable KxPosixNewHandle(const KxPosixWaitable& waitable,
                                  std::shared_ptr<void> keepAlive) {
    KxPosixHandle* handle = new KxPosixHandle();
    static_cast<KxPosixWaitable&>(*handle) = waitable;
    handle->keepAlive = std::move(keepAlive);
    return handle;
}

std::shared_ptr<CKxPosixNamedObject> KxPosixOpenOrCreateNamed(
    const std::string& name, KxPosixObjectKind kind, std::size_t payloadBytes,
    void (*init)(void*, void*), void* context, bool* created, int* error) {
    const std::string fileName = KxPosixObjectFileName(name);
    if (fileName.empty()) {
        *error = ENAMETOOLONG;
        return nullptr;
    }
    std::shared_ptr<CKxPosixNamedObject> object = CKxPosixNamedObject::OpenOrCreate(
        fileName, kind, payloadBytes, init, context, created, error);
    if (!object) errno = *error;  // for KxLastSystemErrorText, after the caller's throw
    return object;
}

CKxHandleSyncObject::CKxHandleSyncObject(KxNativeWaitable handle) {
    if (!handle) {
        throw CKxHandleSyncObjectException(
            "CKxHandleSyncObject::CKxHandleSyncObject -> trying to initialize with a NULL handle");
    }
    // The duplicate shares the object and, for a thread, its exit code.
    KxPosixHandle* duplicate =
        KxPosixHandleOf(KxPosixNewHandle(*handle, KxPosixHandleOf(handle)->keepAlive));
    duplicate->exitCode = KxPosixHandleOf(handle)->exitCode;
    m_handle.Reset(duplicate);
}

bool CKxHandleSyncObject::Wait(KxTimeout timeout) {
    if (!m_handle) {
        throw CKxHandleSyncObjectException("CKxHandleSyncObject::Wait -> object not created yet");
    }
    KxPosixWaitable* object = m_handle.Get();
    switch (KxPosixWaitForAny(&object, 1, timeout).status) {
        case KxPosixWaitStatus::Signalled:
            KxPosixAcquireEnd(object);
            return true;
        case KxPosixWaitStatus::TimedOut:
            return false;
        case KxPosixWaitStatus::Abandoned:
            // The calling thread owns the mutex now, made consistent; as on Windows the catcher
            // decides whether the protected data can still be trusted, and must release it.
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
