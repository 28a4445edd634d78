// A Windows mutex, unnamed (one process) or named (every process that uses the name).
#pragma once

#include <string>

#include "CKxHandleSyncObject.h"

// Wait (inherited) makes the calling thread the owner; the owner may wait again without blocking
// and must then release once per successful wait. Only the owning thread can release. Closing the
// handle does not release: a mutex still owned when its thread ends becomes abandoned, and the next
// Wait on it throws CKxWaitAbandonnedException (with ownership handed to the waiter).
class CKxMutex : public CKxHandleSyncObject {
public:
    // Unnamed mutex, not owned. Throws CKxMutexException if it cannot be created.
    CKxMutex();
    // Creates the mutex of that name, or opens it if it exists (the two are not told apart), with
    // open security attributes; the name goes to the platform unchanged. Not owned on return.
    // Throws CKxMutexException if no handle results (e.g. the name belongs to another kind of
    // kernel object).
    explicit CKxMutex(const std::string& name);
    // The existing mutex of that name, opened to wait on and release; null when no mutex of that
    // name exists (nothing is created). Throws CKxMutexException for any other failure.
    static CKxMutex* OpenExisting(const std::string& name);

    // Throws CKxMutexException when ReleaseMutex fails, typically because the calling thread does
    // not own the mutex; the mutex then stays as it was.
    void Release() override;

private:
    explicit CKxMutex(KxNativeWaitable opened) { SetHandle(opened); }
};
