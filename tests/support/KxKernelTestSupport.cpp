// Child roles behind the mutex helpers of the kernel wrapper tests.
#include "KxKernelTestSupport.h"

#include <thread>

#include "CKxMutex.h"

KX_CHILD_ROLE(KernelTryMutex) {
    CKxMutex mutex(args.at(0));
    try {
        if (!mutex.Wait(0)) {
            KxSay("busy");
            return 1;
        }
        mutex.Release();
        KxSay("took");
    } catch (const CKxWaitAbandonnedException&) {
        mutex.Release();
        KxSay("abandoned");
    }
    return 0;
}

KX_CHILD_ROLE(KernelHoldMutex) {
    CKxMutex mutex(args.at(0));
    mutex.Wait(kKxWaitForever);
    KxSay("held");
    std::string line;
    while (KxReadLine(&line)) {
        if (line == "exit") return 0;  // still the owner: the mutex is abandoned
        if (line == "release") {
            mutex.Release();
            KxSay("released");
        }
    }
    return 0;
}

std::string TryMutexInChild(const std::string& name) {
    auto child = CKxChildProcess::Role("KernelTryMutex", {name});
    std::string answer;
    // The line, not the exit: output may still be in the pipe when the process has ended.
    if (!child->WaitForLine("", kKxDeadlineMs, &answer)) return "";
    if (!child->WaitForExit(kKxDeadlineMs)) return "";
    return answer;
}

std::unique_ptr<CKxChildProcess> HoldMutexInChild(const std::string& name) {
    auto child = CKxChildProcess::Role("KernelHoldMutex", {name});
    if (!child->WaitForLine("held", kKxDeadlineMs)) return nullptr;
    return child;
}

bool AbandonMutexInChild(const std::string& name, KxChildEnd end) {
    auto child = HoldMutexInChild(name);
    if (!child) return false;
    if (end == KxChildEnd::Kill) {
        child->Kill();
        return true;
    }
    child->WriteLine("exit");
    return child->WaitForExit(kKxDeadlineMs) && child->ExitCode() == 0;
}

bool TakeOnOtherThread(CKxSynchronizationObject* object) {
    bool took = false;
    std::thread other([&] {
        took = object->Wait(0);
        if (took) object->Release();
    });
    other.join();
    return took;
}
