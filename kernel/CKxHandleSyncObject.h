// A lockable object that owns one native waitable object (a Windows kernel handle) and waits on it.
#pragma once

#include "CKxSynchronizationObject.h"
#include "TKxUniqueHandle.h"

// Says that a handle object takes the caller's handle itself instead of a duplicate.
struct KxAdoptHandle {};

// Owns its handle and closes it on destruction. The handle is null while the object is "not
// created" (a CKxThread before Create); derived constructors that create a kernel object either
// give it its handle (SetHandle) or throw. Wait, GetHandle may be called from any thread.
class CKxHandleSyncObject : public CKxSynchronizationObject {
public:
    // Not created: for derived classes that create the kernel object themselves.
    CKxHandleSyncObject();
    // Keeps a duplicate of handle (same access, not inheritable); the caller keeps its own handle
    // and stays responsible for closing it. Throws CKxHandleSyncObjectException for a null handle
    // or a failed duplication.
    explicit CKxHandleSyncObject(KxNativeWaitable handle);
    // Owns handle itself from now on (one kernel call fewer than a duplicate). Throws
    // CKxHandleSyncObjectException for a null handle.
    CKxHandleSyncObject(KxNativeWaitable handle, KxAdoptHandle);
    ~CKxHandleSyncObject() override;

    CKxHandleSyncObject(const CKxHandleSyncObject&) = delete;
    CKxHandleSyncObject& operator=(const CKxHandleSyncObject&) = delete;

    // true: signalled or obtained; false: time-out. Throws CKxWaitAbandonnedException when a mutex
    // was abandoned by its owner (the calling thread then owns it), CKxHandleSyncObjectException
    // when not created or when the wait fails.
    bool Wait(KxTimeout timeout) override;
    // Always throws CKxHandleSyncObjectException: only a mutex has something to give back.
    void Release() override;

    KxNativeWaitable GetHandle() const;

protected:
    // Makes a not-created object created with handle, which it owns from now on.
    void SetHandle(KxNativeWaitable handle) { m_handle.Reset(handle); }

private:
    KxUniqueWaitable m_handle;
};
