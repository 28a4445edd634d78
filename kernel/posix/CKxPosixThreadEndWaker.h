// Every waiter of this process on a watched thread's life lock woken at that thread's end, however
// the kernel's own single wake-up fared.
#pragma once

#include <cstdint>

// The kernel wakes one waiter of a robust mutex whose owner dies (the robust list), and that
// waiter may be dying in the same kill: a thread of the owner's own process waiting for it, a
// watcher killed with its process group. Its wake-up is lost with it, and every other watcher
// would sleep on. A thread's descriptor (pidfd) becomes readable for every poller once the thread
// has ended, and that is after the kernel released its robust mutexes. So while this process
// watches any thread, a helper thread polls the descriptors of the threads it watches and wakes
// all waiters on an ended thread's life lock word (KxPosixWakeAllWaiters); a waiter then finds the
// end in the word. The last Forget ends the helper and waits for it.
//
// Any thread but the helper. Nothing here fails a watch: without a descriptor (kernels before 6.9
// have no thread descriptors; the process may be out of descriptors) or a helper, the watch relies
// on the kernel's wake-up alone. A forked child starts without either: watches it inherits rely
// on the kernel alone, its own watches start a helper of its own.
class CKxPosixThreadEndWaker {
public:
    // Wakes the waiters on word once thread threadId has ended. word is mapped in this process
    // until the matching Forget; each Watch of a word needs one Forget.
    static void Watch(std::uint32_t threadId, std::uint32_t* word);
    static void Forget(std::uint32_t* word);

    CKxPosixThreadEndWaker() = delete;
};
