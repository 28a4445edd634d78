// A process-local reader/writer lock that never enters the kernel when it is free.
#pragma once

#include "KxWindows.h"

// A slim reader/writer lock (SRWLOCK): held exclusively by one thread or shared by several, never
// recursively, and only inside one process. Taking it when free, and giving it back, are user-mode
// operations; a thread that finds it taken sleeps until it is given back. Hold it only through the
// scoped holders below, which give it back on every path.
class CKxSlimLock {
public:
    CKxSlimLock() { InitializeSRWLock(&m_lock); }
    CKxSlimLock(const CKxSlimLock&) = delete;
    CKxSlimLock& operator=(const CKxSlimLock&) = delete;

    // Held exclusively from construction to destruction.
    class Exclusive {
    public:
        explicit Exclusive(CKxSlimLock& lock) : m_lock(lock) {
            AcquireSRWLockExclusive(&m_lock.m_lock);
        }
        ~Exclusive() { ReleaseSRWLockExclusive(&m_lock.m_lock); }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        CKxSlimLock& m_lock;
    };

    // Held shared from construction to destruction.
    class Shared {
    public:
        explicit Shared(CKxSlimLock& lock) : m_lock(lock) { AcquireSRWLockShared(&m_lock.m_lock); }
        ~Shared() { ReleaseSRWLockShared(&m_lock.m_lock); }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        CKxSlimLock& m_lock;
    };

private:
    SRWLOCK m_lock;
};
