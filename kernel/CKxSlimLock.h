// A process-local reader/writer lock that never enters the kernel when it is free.
#pragma once

#include <cstddef>

// A slim reader/writer lock (an SRWLOCK on Windows): held exclusively by one thread or shared by
// several, never recursively, and only inside one process. Taking it when free, and giving it
// back, are user-mode operations; a thread that finds it taken sleeps until it is given back. Hold
// it only through the scoped holders below, which give it back on every path.
class CKxSlimLock {
public:
    CKxSlimLock();
    ~CKxSlimLock();
    CKxSlimLock(const CKxSlimLock&) = delete;
    CKxSlimLock& operator=(const CKxSlimLock&) = delete;

    // Held exclusively from construction to destruction.
    class Exclusive {
    public:
        explicit Exclusive(CKxSlimLock& lock) : m_lock(lock) { m_lock.LockExclusive(); }
        ~Exclusive() { m_lock.UnlockExclusive(); }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        CKxSlimLock& m_lock;
    };

    // Held shared from construction to destruction.
    class Shared {
    public:
        explicit Shared(CKxSlimLock& lock) : m_lock(lock) { m_lock.LockShared(); }
        ~Shared() { m_lock.UnlockShared(); }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        CKxSlimLock& m_lock;
    };

private:
    void LockExclusive();
    void UnlockExclusive();
    void LockShared();
    void UnlockShared();

    // The platform's lock, built in place by the platform's source, which checks that it fits
    // (an SRWLOCK is one pointer; a pthread_rwlock_t on 64-bit Linux is 56 bytes).
#if defined(_WIN32)
    static constexpr std::size_t kStorageBytes = sizeof(void*);
#else
    static constexpr std::size_t kStorageBytes = 64;
#endif
    alignas(8) unsigned char m_storage[kStorageBytes];
};
