// Thread wrapper on Linux: a detached pthread whose start routine holds the thread's life lock for
// the whole procedure, so that any process sees its end however it comes.
#include "CKxThread.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "CKxPosixLifeLock.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxPosixHandle.h"

namespace {

// The creation flags' bits, the values Windows gives them, so that both platforms report the same.
const std::uint32_t kCreateSuspended = 0x4;
const std::uint32_t kStackIsReservation = 0x10000;
const std::uint32_t kStillActive = 259;

// What Create and the new thread tell each other at the start, guarded by lock.
struct KxThreadStartReport {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    std::uint32_t threadId = 0;
    std::shared_ptr<CKxPosixLifeLock> watch;  // null: the thread could not take its life lock
};

// Owned by the new thread.
struct KxThreadStart {
    KxThreadProcedure procedure;
    void* argument;
    bool suspended;
    std::shared_ptr<std::atomic<std::uint32_t>> exitCode;
    KxThreadStartReport* report;  // Create's, valid until done is set
};

void* StartRoutine(void* raw) {
    std::unique_ptr<KxThreadStart> start(static_cast<KxThreadStart*>(raw));
    int error = 0;
    // Held from before Create returns to after the procedure's result is stored: a watcher that
    // finds it released finds the exit code too.
    std::unique_ptr<CKxPosixLifeLock> life = CKxPosixLifeLock::Hold(&error);
    std::unique_ptr<CKxPosixLifeLock> watch;
    if (life) watch = CKxPosixLifeLock::Watch(KxPosixCurrentThreadId(), &error);
    const bool started = watch != nullptr;  // without Create's watch, Create fails: run nothing
    {
        std::lock_guard<std::mutex> hold(start->report->lock);
        start->report->threadId = KxPosixCurrentThreadId();
        start->report->watch = std::move(watch);
        start->report->done = true;
        start->report->changed.notify_one();
    }
    // Create may have returned by now: its report is gone.
    if (!started) return nullptr;
    if (start->suspended) {
        for (;;) pause();  // nothing resumes it, as on Windows
    }
    const unsigned code = start->procedure(start->argument);
    start->exitCode->store(code, std::memory_order_release);  // see KxPosixAcquireEnd
    return nullptr;  // life's destructor releases the life lock: the thread has ended
}

}  // namespace

// Thread names are a Windows debugger feature; there is nothing to announce here.
void CKxThread::SetThreadName() {}

void CKxThread::Create(KxThreadProcedure procedure, void* argument, bool suspended,
                       std::uint32_t stackSize, bool /*secure: objects are the user's alone*/) {
    if (!procedure)
        throw CKxThreadException("CKxThread::Create -> invalid thread function pointer");
    if (GetHandle()) throw CKxThreadException("CKxThread::Create -> thread was already created");

    // A dead process's own objects (its threads' life locks, its receive and acknowledge events)
    // are never opened by name again, so nothing would remove them: each thread start, a join's
    // included, removes whatever no process holds any more.
    KxPosixRemoveUnheldObjects(false /*buildingToo*/);
    KxThreadStartReport report;
    auto exitCode = std::make_shared<std::atomic<std::uint32_t>>(kStillActive);
    std::unique_ptr<KxThreadStart> start(
        new KxThreadStart{procedure, argument, suspended, exitCode, &report});
    pthread_attr_t attributes;
    bool started = pthread_attr_init(&attributes) == 0;
    if (started) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        // A size below the platform's least keeps the default, as Windows rounds it up.
        if (stackSize >= PTHREAD_STACK_MIN) pthread_attr_setstacksize(&attributes, stackSize);
        pthread_t thread;
        started = pthread_create(&thread, &attributes, StartRoutine, start.get()) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (started) {
        start.release();  // the thread's now
        std::unique_lock<std::mutex> hold(report.lock);
        report.changed.wait(hold, [&report] { return report.done; });
    }
    // The new thread may run ahead of everything below: it must not rely on them.
    KX_KILL_POINT("thread.create.started");
    if (!started || !report.watch) {
        throw CKxThreadException("CKxThread::Create -> could not create a thread");
    }
    m_threadId = report.threadId;
    CKxPosixLifeLock* const watch = report.watch.get();
    KxPosixHandle* handle = KxPosixHandleOf(KxPosixNewHandle(*watch->Waitable(), report.watch));
    handle->exitCode = exitCode;
    SetHandle(handle);
    SetThreadName();
}

std::uint32_t CKxThread::GetExitCode() {
    if (!GetHandle()) throw CKxThreadException("CKxThread::GetExitCode -> thread not created yet");
    const auto& exitCode = KxPosixHandleOf(GetHandle())->exitCode;
    if (!exitCode) {
        throw CKxThreadException("CKxThread::GetExitCode -> error occurred in GetExitCodeThread");
    }
    return exitCode->load();
}

KxThreadId CKxThread::GetThreadId() const { return m_threadId; }

std::uint32_t CKxThread::CreationFlags(bool suspended, std::uint32_t stackSize) {
    std::uint32_t flags = suspended ? kCreateSuspended : 0;
    if (stackSize != 0) flags |= kStackIsReservation;
    return flags;
}
