// The helper thread that turns watched threads' descriptors into wake-ups of their life locks.
#include "CKxPosixThreadEndWaker.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>

#include "KxPosixWaitable.h"

namespace {

// pidfd_open's flag for a descriptor of one thread rather than of its process (Linux 6.9).
constexpr unsigned kPidfdThread = O_EXCL;
// The epoll data of a helper's stop descriptor; watched threads count from 1.
constexpr std::uint64_t kStopKey = 0;

// One watched word: the descriptor of its thread (-1 once that thread has ended or when it could
// not be had) and the number of watches of it.
struct KxWatchedThread {
    std::uint32_t* word;
    int descriptor;
    unsigned watches;
};

// One helper thread and what it polls: the watched threads' descriptors and its stop descriptor.
struct KxHelper {
    pthread_t thread;
    int epoll;
    int stop;  // an eventfd: readable once the helper is to end
};

// Keyed by a sequence number, which is the descriptor's epoll data: a word's address may come back
// for another thread's life lock after a Forget, and an event already taken from epoll for the old
// one must not touch the new one.
struct KxWaker {
    std::mutex lock;
    KxHelper helper{};
    bool running = false;  // helper is valid: it runs while anything is watched
    std::uint64_t sequence = kStopKey;
    std::map<std::uint64_t, KxWatchedThread> watched;
};

// Made at first use and never destroyed, as watches are closed from static destructors too.
KxWaker& Waker();

// The entry of word, or end().
std::map<std::uint64_t, KxWatchedThread>::iterator Find(KxWaker& waker, std::uint32_t* word) {
    return std::find_if(waker.watched.begin(), waker.watched.end(),
                        [word](const auto& each) { return each.second.word == word; });
}

// Closes a watched thread's descriptor and takes it off the poll.
void Close(KxWaker& waker, KxWatchedThread& thread) {
    if (thread.descriptor < 0) return;
    epoll_ctl(waker.helper.epoll, EPOLL_CTL_DEL, thread.descriptor, nullptr);
    close(thread.descriptor);
    thread.descriptor = -1;
}

void* Run(void* argument) {
    KxWaker& waker = Waker();
    const int epoll = static_cast<int>(reinterpret_cast<std::intptr_t>(argument));
    for (;;) {
        epoll_event ready[16];
        const int count = epoll_wait(epoll, ready, 16, -1);
        if (count < 0) continue;  // EINTR: every signal is blocked here, but a debugger's is not
        std::lock_guard<std::mutex> hold(waker.lock);
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.u64 == kStopKey) return nullptr;
            const auto found = waker.watched.find(ready[i].data.u64);
            if (found == waker.watched.end() || found->second.descriptor < 0) continue;
            KxPosixWakeAllWaiters(found->second.word);
            Close(waker, found->second);  // readable for good: one wake-up is all it owes
        }
    }
}

// Makes the poll and its helper thread. False when they cannot be had.
bool StartHelper(KxWaker& waker) {
    if (waker.running) return true;
    KxHelper helper{};
    helper.epoll = epoll_create1(EPOLL_CLOEXEC);
    helper.stop = eventfd(0, EFD_CLOEXEC);
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u64 = kStopKey;
    bool started = helper.epoll >= 0 && helper.stop >= 0 &&
                   epoll_ctl(helper.epoll, EPOLL_CTL_ADD, helper.stop, &interest) == 0;
    if (started) {
        // Every signal blocked: the process's signals are its application's threads' business.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        started =
            pthread_create(&helper.thread, nullptr, Run,
                           reinterpret_cast<void*>(static_cast<std::intptr_t>(helper.epoll))) == 0;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    if (!started) {
        if (helper.epoll >= 0) close(helper.epoll);
        if (helper.stop >= 0) close(helper.stop);
        return false;
    }
    waker.helper = helper;
    waker.running = true;
    return true;
}

// Ends a helper that nothing is left for: a process that watches nothing keeps no thread of ours
// (a process forked from it is not a multi-threaded fork on our account).
void StopHelper(const KxHelper& helper) {
    const std::uint64_t one = 1;
    (void)!write(helper.stop, &one, sizeof(one));
    pthread_join(helper.thread, nullptr);
    close(helper.epoll);
    close(helper.stop);
}

// fork copies the descriptors but not the helper, and a copied epoll would share the parent's
// interest list: the child closes them all and starts afresh. The lock is held across fork so
// that the child never inherits it held by a thread it does not have.
void LockForFork() { Waker().lock.lock(); }
void UnlockInParent() { Waker().lock.unlock(); }
void ResetInChild() {
    KxWaker& waker = Waker();
    for (auto& entry : waker.watched) {
        if (entry.second.descriptor >= 0) close(entry.second.descriptor);
    }
    waker.watched.clear();
    if (waker.running) {
        close(waker.helper.epoll);
        close(waker.helper.stop);
        waker.running = false;
    }
    waker.lock.unlock();
}

KxWaker& Waker() {
    static KxWaker* const waker = [] {
        pthread_atfork(&LockForFork, &UnlockInParent, &ResetInChild);
        return new KxWaker();
    }();
    return *waker;
}

}  // namespace

void CKxPosixThreadEndWaker::Watch(std::uint32_t threadId, std::uint32_t* word) {
    KxWaker& waker = Waker();
    std::lock_guard<std::mutex> hold(waker.lock);
    const auto known = Find(waker, word);
    if (known != waker.watched.end()) {
        ++known->second.watches;
        return;
    }
    // ESRCH: the thread has ended, and its word says so already. Any other failure: the watch
    // goes on with the kernel's wake-up alone.
    int descriptor = -1;
    if (StartHelper(waker)) {
        descriptor = static_cast<int>(syscall(SYS_pidfd_open, threadId, kPidfdThread));
    }
    const std::uint64_t key = ++waker.sequence;
    if (descriptor >= 0) {
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.u64 = key;
        if (epoll_ctl(waker.helper.epoll, EPOLL_CTL_ADD, descriptor, &interest) != 0) {
            close(descriptor);
            descriptor = -1;
        }
    }
    waker.watched.emplace(key, KxWatchedThread{word, descriptor, 1});
}

void CKxPosixThreadEndWaker::Forget(std::uint32_t* word) {
    KxWaker& waker = Waker();
    KxHelper idle{};
    {
        std::lock_guard<std::mutex> hold(waker.lock);
        const auto entry = Find(waker, word);
        if (entry == waker.watched.end() || --entry->second.watches != 0) return;
        Close(waker, entry->second);
        waker.watched.erase(entry);
        if (!waker.watched.empty() || !waker.running) return;
        // A Watch from here on starts a helper of its own.
        idle = waker.helper;
        waker.running = false;
    }
    StopHelper(idle);
}
