// Events as futex words, robust pthread mutexes, and the multiple waits over futex_waitv.
#include "KxPosixWaitable.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <climits>
#include <ctime>

namespace {

constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;

// glibc keeps a mutex's futex word (owner's identifier and the kernel's bits) first in the mutex.
static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0, "the lock word opens the mutex");

std::uint32_t* LockWord(pthread_mutex_t* mutex) {
    return reinterpret_cast<std::uint32_t*>(&mutex->__data.__lock);
}

std::uint32_t Load(std::uint32_t* word) { return __atomic_load_n(word, __ATOMIC_SEQ_CST); }

bool CompareExchange(std::uint32_t* word, std::uint32_t expected, std::uint32_t desired) {
    return __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

// Never FUTEX_PRIVATE_FLAG: a word may be shared between processes, and glibc's process-shared
// mutexes wake with the shared key too.
void Wake(std::uint32_t* word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// Whether the object is signalled now (a mutex: free or owned by self), without taking it. If
// not, *expected is the word's value to sleep on; for a mutex or a thread end the FUTEX_WAITERS
// bit is set in it first, or its owner's release (or the kernel, at the owner's death) would wake
// no one.
bool Signalled(const KxPosixWaitable& object, std::uint32_t self, std::uint32_t* expected) {
    for (;;) {
        const std::uint32_t value = Load(object.word);
        if (object.kind == KxPosixWaitKind::Event) {
            *expected = 0;
            return value != 0;
        }
        const std::uint32_t owner = value & FUTEX_TID_MASK;
        if (object.kind == KxPosixWaitKind::ThreadEnd ? owner != object.ownerTid
                                                      : owner == 0 || owner == self) {
            return true;
        }
        *expected = value | FUTEX_WAITERS;
        if (value & FUTEX_WAITERS || CompareExchange(object.word, value, *expected)) return false;
    }
}

enum class Take { Taken, Abandoned, Busy, Failed };

Take TakeOne(const KxPosixWaitable& object) {
    switch (object.kind) {
        case KxPosixWaitKind::Event:
            if (object.event->manualReset) return Load(object.word) ? Take::Taken : Take::Busy;
            return CompareExchange(object.word, 1, 0) ? Take::Taken : Take::Busy;
        case KxPosixWaitKind::ThreadEnd:
            return Take::Taken;  // only asked once Signalled said it has ended; consumes nothing
        case KxPosixWaitKind::Mutex:
            break;
    }
    const int result = pthread_mutex_trylock(object.mutex);
    if (result == EBUSY) return Take::Busy;
    if (result == EOWNERDEAD && pthread_mutex_consistent(object.mutex) != 0) return Take::Failed;
    if (result != 0 && result != EOWNERDEAD) return Take::Failed;
    // trylock stores the owner without FUTEX_WAITERS; a thread of glibc's own lock may sleep on
    // the word, and only that bit makes the release wake it.
    __atomic_fetch_or(object.word, FUTEX_WAITERS, __ATOMIC_SEQ_CST);
    return result == 0 ? Take::Taken : Take::Abandoned;
}

// Gives back what TakeOne took when a wait for all could not take everything.
void GiveBack(const KxPosixWaitable& object) {
    if (object.kind == KxPosixWaitKind::Mutex) pthread_mutex_unlock(object.mutex);
    if (object.kind == KxPosixWaitKind::Event && !object.event->manualReset) {
        KxPosixSetEvent(object.event);
    }
}

// After this thread was woken: a wake meant for others must not end with it. The kernel wakes one
// waiter of a mutex that is released or whose owner died, and one of a life lock whose owner died:
// a free mutex this wait did not take passes its wake on, and an ended thread wakes all watchers.
void PassWakesOn(KxPosixWaitable* const* objects, int count, int taken) {
    for (int i = 0; i < count; ++i) {
        const KxPosixWaitable& object = *objects[i];
        const std::uint32_t owner = Load(object.word) & FUTEX_TID_MASK;
        if (object.kind == KxPosixWaitKind::ThreadEnd && owner != object.ownerTid) {
            KxPosixWakeAllWaiters(object.word);
        }
        if (object.kind == KxPosixWaitKind::Mutex && i != taken && owner == 0) Wake(object.word, 1);
    }
}

bool Valid(KxPosixWaitable* const* objects, int count) {
    if (!objects || count < 1 || count > kKxPosixMaximumWaitObjects) return false;
    for (int i = 0; i < count; ++i) {
        if (!objects[i] || !objects[i]->word) return false;
    }
    return true;
}

// The absolute CLOCK_MONOTONIC time timeoutMs from now.
timespec Deadline(std::uint32_t timeoutMs) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long nanoseconds = now.tv_nsec + (timeoutMs % 1000) * 1000000LL;
    now.tv_sec += timeoutMs / 1000 + nanoseconds / 1000000000LL;
    now.tv_nsec = nanoseconds % 1000000000LL;
    return now;
}

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A mutex's owner that releases it or dies wakes one sleeper, and a sleeper killed before it
// passes that wake on (a thread of the owner's own process, killed with it) takes it along: no
// descriptor tells the others, since the owner changes all the time. So a wait that sleeps on a
// mutex looks at the words again this often; a lock is held for moments, so a sleeper seldom
// gets that far, and a wake-up lost in a kill costs at most this long.
constexpr std::uint32_t kMutexLookAgainMs = 100;

enum class Sleep { Woken, Changed, TimedOut, Failed };

// Sleeps until one word is woken or differs from its expected value, or the deadline passes.
Sleep SleepOn(futex_waitv* waiters, int count, const timespec* deadline) {
    const long result = syscall(SYS_futex_waitv, waiters, count, 0, deadline, CLOCK_MONOTONIC);
    if (result >= 0) return Sleep::Woken;
    if (errno == EAGAIN || errno == EINTR) return Sleep::Changed;
    return errno == ETIMEDOUT ? Sleep::TimedOut : Sleep::Failed;
}

void AddWaiter(futex_waitv* waiters, int* count, std::uint32_t* word, std::uint32_t expected) {
    waiters[*count] = futex_waitv{expected, reinterpret_cast<std::uintptr_t>(word), FUTEX_32, 0};
    ++*count;
}

// What a wait for any and a wait for all keep across their rounds: the objects, the deadline, and
// whether a wake reached this thread, which is passed on when the wait ends without using it.
class WaitRounds {
public:
    WaitRounds(KxPosixWaitable* const* objects, int count, std::uint32_t timeoutMs)
        : m_objects(objects),
          m_count(count),
          m_timeoutMs(timeoutMs),
          m_deadline(Deadline(timeoutMs)) {
        for (int i = 0; i < count; ++i)
            m_mutex = m_mutex || objects[i]->kind == KxPosixWaitKind::Mutex;
    }

    // Ends the wait with result; taken is the one object a wait for any took (-1: none, or all).
    KxPosixWaitResult End(KxPosixWaitResult result, int taken) {
        if (m_woken) PassWakesOn(m_objects, m_count, taken);
        return result;
    }

    // Sleeps on the sleepers' words until one changes; false when the wait ends here instead
    // (its time ran out, or the kernel refused), with *end its result.
    bool SleepRound(futex_waitv* waiters, int sleepers, KxPosixWaitResult* end) {
        const timespec* until = m_timeoutMs == kNoLimit ? nullptr : &m_deadline;
        timespec lookAgain;
        if (m_mutex) {
            lookAgain = Deadline(kMutexLookAgainMs);
            if (!until || Before(lookAgain, *until)) until = &lookAgain;
        }
        Sleep slept = m_timeoutMs == 0 ? Sleep::TimedOut : SleepOn(waiters, sleepers, until);
        if (slept == Sleep::TimedOut && until == &lookAgain) slept = Sleep::Changed;
        m_woken = m_woken || slept == Sleep::Woken;
        if (slept != Sleep::TimedOut && slept != Sleep::Failed) return true;
        *end =
            End({slept == Sleep::TimedOut ? KxPosixWaitStatus::TimedOut : KxPosixWaitStatus::Failed,
                 -1},
                -1);
        return false;
    }

private:
    KxPosixWaitable* const* m_objects;
    int m_count;
    std::uint32_t m_timeoutMs;
    timespec m_deadline;
    bool m_mutex = false;  // a mutex is among the objects: sleeps end to look again
    bool m_woken = false;
};

}  // namespace

KxPosixWaitable KxPosixEventWaitable(KxPosixEventState* event) {
    return {KxPosixWaitKind::Event, &event->signalled, event, nullptr, 0};
}

KxPosixWaitable KxPosixMutexWaitable(pthread_mutex_t* mutex) {
    return {KxPosixWaitKind::Mutex, LockWord(mutex), nullptr, mutex, 0};
}

KxPosixWaitable KxPosixThreadEndWaitable(pthread_mutex_t* lifeLock, std::uint32_t ownerTid) {
    return {KxPosixWaitKind::ThreadEnd, LockWord(lifeLock), nullptr, lifeLock, ownerTid};
}

void KxPosixInitEvent(KxPosixEventState* event, bool manualReset) {
    event->signalled = 0;
    event->manualReset = manualReset ? 1 : 0;
}

void KxPosixSetEvent(KxPosixEventState* event) {
    if (__atomic_exchange_n(&event->signalled, 1, __ATOMIC_SEQ_CST) == 0) {
        Wake(&event->signalled, INT_MAX);
    }
}

void KxPosixWakeAllWaiters(std::uint32_t* word) { Wake(word, INT_MAX); }

void KxPosixResetEvent(KxPosixEventState* event) {
    __atomic_store_n(&event->signalled, 0, __ATOMIC_SEQ_CST);
}

int KxPosixInitMutex(pthread_mutex_t* mutex, bool recursive) {
    pthread_mutexattr_t attributes;
    int result = pthread_mutexattr_init(&attributes);
    if (result != 0) return result;
    if (!(result = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED)) &&
        !(result = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST)) &&
        !(result = pthread_mutexattr_settype(
              &attributes, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_ERRORCHECK))) {
        result = pthread_mutex_init(mutex, &attributes);
    }
    pthread_mutexattr_destroy(&attributes);
    return result;
}

int KxPosixReleaseMutex(pthread_mutex_t* mutex) {
    // Refused before the call: a release by a thread that does not own the mutex is an expected
    // failure here (Win32's ReleaseMutex), not a misuse for the thread sanitizer to report.
    if ((Load(LockWord(mutex)) & FUTEX_TID_MASK) != KxPosixCurrentThreadId()) return EPERM;
    return pthread_mutex_unlock(mutex);
}

bool KxPosixMutexOwnedInProcess(pthread_mutex_t* mutex) {
    const std::uint32_t owner = Load(LockWord(mutex)) & FUTEX_TID_MASK;
    return owner != 0 && syscall(SYS_tgkill, getpid(), owner, 0) == 0;
}

namespace {
// gettid is a kernel call each time, and every release and every wait asks: each thread keeps
// its identifier. A forked child's one thread has a new identifier, so the child forgets it.
thread_local std::uint32_t t_threadId = 0;
void ForgetThreadIdAfterFork() { t_threadId = 0; }
const int g_forgetAfterFork = pthread_atfork(nullptr, nullptr, &ForgetThreadIdAfterFork);
}  // namespace

std::uint32_t KxPosixCurrentThreadId() {
    if (t_threadId == 0) t_threadId = static_cast<std::uint32_t>(gettid());
    return t_threadId;
}

KxPosixWaitResult KxPosixWaitForAny(KxPosixWaitable* const* objects, int count,
                                    std::uint32_t timeoutMs) {
    if (!Valid(objects, count)) return {KxPosixWaitStatus::Failed, -1};
    const std::uint32_t self = KxPosixCurrentThreadId();
    WaitRounds rounds(objects, count, timeoutMs);
    for (;;) {
        futex_waitv waiters[kKxPosixMaximumWaitObjects];
        int sleepers = 0;
        for (int i = 0; i < count; ++i) {
            std::uint32_t expected;
            Take take = Take::Busy;
            while (take == Take::Busy && Signalled(*objects[i], self, &expected)) {
                take = TakeOne(*objects[i]);
            }
            if (take == Take::Failed) return {KxPosixWaitStatus::Failed, -1};
            if (take != Take::Busy) {
                return rounds.End({take == Take::Taken ? KxPosixWaitStatus::Signalled
                                                       : KxPosixWaitStatus::Abandoned,
                                   i},
                                  i);
            }
            AddWaiter(waiters, &sleepers, objects[i]->word, expected);
        }
        KxPosixWaitResult end;
        if (!rounds.SleepRound(waiters, sleepers, &end)) return end;
    }
}

KxPosixWaitResult KxPosixWaitForAll(KxPosixWaitable* const* objects, int count,
                                    std::uint32_t timeoutMs) {
    if (!Valid(objects, count)) return {KxPosixWaitStatus::Failed, -1};
    const std::uint32_t self = KxPosixCurrentThreadId();
    WaitRounds rounds(objects, count, timeoutMs);
    for (;;) {
        futex_waitv waiters[kKxPosixMaximumWaitObjects];
        int sleepers = 0;
        for (int i = 0; i < count; ++i) {
            std::uint32_t expected;
            if (!Signalled(*objects[i], self, &expected)) {
                AddWaiter(waiters, &sleepers, objects[i]->word, expected);
            }
        }
        if (sleepers == 0) {
            // All looked signalled together: take them in order, or give back what was taken
            // when another thread took one in between, and look again.
            int taken = 0;
            int abandoned = -1;
            Take take = Take::Taken;
            for (; taken < count; ++taken) {
                take = TakeOne(*objects[taken]);
                if (take == Take::Busy || take == Take::Failed) break;
                if (take == Take::Abandoned && abandoned < 0) abandoned = taken;
            }
            if (taken == count) {
                return rounds.End(abandoned < 0
                                      ? KxPosixWaitResult{KxPosixWaitStatus::Signalled, 0}
                                      : KxPosixWaitResult{KxPosixWaitStatus::Abandoned, abandoned},
                                  -1);
            }
            while (taken-- > 0) GiveBack(*objects[taken]);
            if (take == Take::Failed) return {KxPosixWaitStatus::Failed, -1};
            continue;
        }
        KxPosixWaitResult end;
        if (!rounds.SleepRound(waiters, sleepers, &end)) return end;
    }
}
