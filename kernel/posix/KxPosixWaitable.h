// What the Linux waits take: events, mutexes and thread ends, each a 32-bit futex word in memory
// that every process using it maps; the event and mutex operations; waits on 1 to 64 of them.
#pragma once

#include <pthread.h>

#include <cstdint>

enum class KxPosixWaitKind : std::uint32_t { Event = 1, Mutex = 2, ThreadEnd = 3 };

// An event's state: the payload of its named object, or process memory for an unnamed one.
struct KxPosixEventState {
    std::uint32_t signalled;    // the futex word: 1 signalled, 0 not
    std::uint32_t manualReset;  // fixed at creation: 1 manual, 0 automatic
};

// One object of a wait. It points into memory the caller keeps mapped for the wait's duration.
// Event: word is &event->signalled. Mutex: word is the lock word of mutex (owner's thread
// identifier plus the kernel's FUTEX_WAITERS and FUTEX_OWNER_DIED bits). ThreadEnd: mutex is the
// life lock that the thread ownerTid holds while it runs (CKxPosixLifeLock); signalled once the
// word no longer names that owner, whether the thread released it or the kernel did at its death.
struct KxPosixWaitable {
    KxPosixWaitKind kind;
    std::uint32_t* word;
    KxPosixEventState* event;
    pthread_mutex_t* mutex;
    std::uint32_t ownerTid;
};

KxPosixWaitable KxPosixEventWaitable(KxPosixEventState* event);
KxPosixWaitable KxPosixMutexWaitable(pthread_mutex_t* mutex);
KxPosixWaitable KxPosixThreadEndWaitable(pthread_mutex_t* lifeLock, std::uint32_t ownerTid);

// Unsignalled, with its reset mode. Only before any other thread or process can see the event.
void KxPosixInitEvent(KxPosixEventState* event, bool manualReset);
// Signals and wakes every waiter; of an automatic event's waiters exactly one consumes the signal
// (the others find it taken and sleep again). Any thread of any process.
void KxPosixSetEvent(KxPosixEventState* event);
void KxPosixResetEvent(KxPosixEventState* event);

// Wakes every thread, of any process, sleeping on word (a thread's end: its life lock's word).
void KxPosixWakeAllWaiters(std::uint32_t* word);

// A robust, process-shared mutex, recursive for its owner as a Win32 mutex is (each successful
// wait needs one release). Only before any other thread or process can see it. 0 or an errno.
int KxPosixInitMutex(pthread_mutex_t* mutex, bool recursive);
// 0, or EPERM when the calling thread does not own the mutex.
int KxPosixReleaseMutex(pthread_mutex_t* mutex);

// Whether a thread of the calling process owns the mutex (abandoned or not).
bool KxPosixMutexOwnedInProcess(pthread_mutex_t* mutex);

// The calling thread's kernel identifier (gettid), the identifier every wait and life lock uses.
std::uint32_t KxPosixCurrentThreadId();

// How a wait ended. Signalled / Abandoned: index is the object (Abandoned: a mutex whose owner
// ended holding it; the calling thread now owns it, made consistent). TimedOut: index -1. Failed:
// bad arguments (count outside 1..64, a null pointer) or an unrecoverable mutex; nothing consumed.
enum class KxPosixWaitStatus { Signalled, Abandoned, TimedOut, Failed };
struct KxPosixWaitResult {
    KxPosixWaitStatus status;
    int index;
};

constexpr int kKxPosixMaximumWaitObjects = 64;

// Takes the lowest-indexed object that is signalled (consuming an automatic event, owning a
// mutex), waiting up to timeoutMs (0xFFFFFFFF: no limit).
KxPosixWaitResult KxPosixWaitForAny(KxPosixWaitable* const* objects, int count,
                                    std::uint32_t timeoutMs);
// Takes every object once all are signalled together; takes none on time-out. index: the first
// abandoned mutex when status is Abandoned (all are taken then too), else 0.
KxPosixWaitResult KxPosixWaitForAll(KxPosixWaitable* const* objects, int count,
                                    std::uint32_t timeoutMs);
