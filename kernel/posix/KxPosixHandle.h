// What a native waitable is on Linux: a waitable word and the storage that keeps it mapped.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "CKxPosixNamedObject.h"
#include "KxPlatformTypes.h"
#include "KxPosixWaitable.h"

// Every KxNativeWaitable of the Linux kernel is one of these, made by KxPosixNewHandle and deleted
// by KxWaitableTraits::Close. The waitable's words point into keepAlive: a named object, a life
// lock, or this process's own memory for an unnamed object. A duplicate shares keepAlive, as a
// duplicated Win32 handle shares its kernel object.
struct KxPosixHandle : KxPosixWaitable {
    std::shared_ptr<void> keepAlive;
    // A thread's exit code, STILL_ACTIVE's 259 while it runs; null for every other object.
    std::shared_ptr<std::atomic<std::uint32_t>> exitCode;
};

inline KxPosixHandle* KxPosixHandleOf(KxNativeWaitable handle) {
    return static_cast<KxPosixHandle*>(handle);
}

// After a wait found handle signalled: for a thread of this process, reads its exit code, which the
// thread stored after its procedure, so that everything the procedure wrote happens before what
// the waiter does next. (The end itself comes through the life lock's word, which the kernel and
// glibc change, not an atomic of this process's memory model.) Nothing for other objects.
inline void KxPosixAcquireEnd(KxNativeWaitable handle) {
    if (handle && KxPosixHandleOf(handle)->exitCode) {
        KxPosixHandleOf(handle)->exitCode->load(std::memory_order_acquire);
    }
}

// A new handle over waitable, keeping keepAlive alive; never null (throws only for memory).
KxNativeWaitable KxPosixNewHandle(const KxPosixWaitable& waitable, std::shared_ptr<void> keepAlive);

// Creates or opens the named object of kind for name (the caller's object name), initialising a
// new one with init(payload, context). Null with *error when it cannot (see CKxPosixNamedObject).
std::shared_ptr<CKxPosixNamedObject> KxPosixOpenOrCreateNamed(
    const std::string& name, KxPosixObjectKind kind, std::size_t payloadBytes,
    void (*init)(void*, void*), void* context, bool* created, int* error);
