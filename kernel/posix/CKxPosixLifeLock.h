// A thread's life lock: a robust mutex that the thread holds while it runs, in a named object
// found by the thread's identifier, so that any process of the user can wait for that thread's
// end, however it ends (return, exception, SIGKILL of its process).
#pragma once

#include <cstdint>
#include <memory>

#include "CKxPosixNamedObject.h"
#include "KxPosixWaitable.h"

// The object is /dev/shm/kxipc.t.<identifier in hex>. The holder locks its mutex; the watchers
// wait on its lock word (KxPosixWaitable of kind ThreadEnd), which stops naming the holder when it
// releases the lock or when the kernel releases it at the thread's death (the robust list). The
// kernel then wakes one watcher only; the waits pass the wake on to every watcher, and since that
// one may die in the same kill, each watching process also learns of the end from the thread's
// descriptor (CKxPosixThreadEndWaker). A watcher that is not waiting at that moment sees the end
// at its next wait, from the word itself.
//
// An identifier that the kernel has given to a new thread since counts as that thread, as on
// Windows: a new holder takes over the object (its lock reports the previous owner dead).
class CKxPosixLifeLock {
public:
    // Takes the calling thread's life lock. That thread must also destroy the object (which
    // releases the lock) or end holding it. Null with *error (an errno) on failure.
    static std::unique_ptr<CKxPosixLifeLock> Hold(int* error);

    // Opens the life lock of thread threadId, of any process, to wait for its end. Null with
    // *error ENOENT when no such lock exists: the thread never held one, or it ended and every
    // watcher has let go of it.
    static std::unique_ptr<CKxPosixLifeLock> Watch(std::uint32_t threadId, int* error);

    // Releases the lock if this object holds it (on the holder thread), then closes.
    ~CKxPosixLifeLock();

    // What a wait takes: signalled once the thread has ended. Valid while this object lives.
    KxPosixWaitable* Waitable() { return &m_waitable; }
    bool HasEnded();

private:
    CKxPosixLifeLock(std::unique_ptr<CKxPosixNamedObject> object, std::uint32_t threadId,
                     bool holder);

    std::unique_ptr<CKxPosixNamedObject> m_object;
    KxPosixWaitable m_waitable;
    bool m_holder;
};
