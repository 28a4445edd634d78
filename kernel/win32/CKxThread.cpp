// Thread wrapper.
#include "CKxThread.h"

#include <process.h>

#include <cstddef>

#include "CKxOpenSecurityAttributes.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxWindows.h"

namespace {

// The exception code and record by which Windows debuggers learn a thread's name.
const DWORD kThreadNameException = 0x406D1388;

#pragma pack(push, 8)
struct KxThreadNameInfo {
    DWORD type;      // always 0x1000
    LPCSTR name;     // zero-terminated narrow name
    DWORD threadId;  // the thread being named
    DWORD flags;     // reserved, 0
};
#pragma pack(pop)

#if defined(_WIN64)
// The record travels as three pointer-sized exception arguments.
static_assert(sizeof(KxThreadNameInfo) == 3 * sizeof(ULONG_PTR), "THREADNAME_INFO layout");
static_assert(offsetof(KxThreadNameInfo, name) == 8, "THREADNAME_INFO layout");
static_assert(offsetof(KxThreadNameInfo, threadId) == 16, "THREADNAME_INFO layout");
#endif

void RaiseThreadNameException(const KxThreadNameInfo& info) {
    RaiseException(kThreadNameException, 0 /*dwExceptionFlags*/, sizeof(info) / sizeof(ULONG_PTR),
                   reinterpret_cast<const ULONG_PTR*>(&info));
}

#if !defined(_MSC_VER)
// GCC has no __try/__except. A vectored handler stands in for it: it continues after the naming
// exception, and only for the thread that is raising it right now, so a naming exception raised
// elsewhere in the process at the same moment still takes its normal course. With a debugger
// attached, the debugger sees the exception first and continues it itself.
thread_local bool t_namingThread = false;

LONG CALLBACK ContinueAfterThreadName(EXCEPTION_POINTERS* exception) {
    if (t_namingThread && exception->ExceptionRecord->ExceptionCode == kThreadNameException) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
#endif

}  // namespace

void CKxThread::SetThreadName() {
    KxThreadNameInfo info = {};
    info.type = 0x1000;
    info.name = m_name;
    info.threadId = m_threadId;
    info.flags = 0;
#if defined(_MSC_VER)
    __try {
        RaiseThreadNameException(info);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
    }
#else
    PVOID handler = AddVectoredExceptionHandler(1 /*First*/, ContinueAfterThreadName);
    if (!handler) return;  // without the handler the raise would end the process
    t_namingThread = true;
    RaiseThreadNameException(info);
    t_namingThread = false;
    RemoveVectoredExceptionHandler(handler);
#endif
}

void CKxThread::Create(KxThreadProcedure procedure, void* argument, bool suspended,
                       std::uint32_t stackSize, bool secure) {
    if (!procedure)
        throw CKxThreadException("CKxThread::Create -> invalid thread function pointer");
    if (GetHandle()) throw CKxThreadException("CKxThread::Create -> thread was already created");

    CKxOpenSecurityAttributes security;
    unsigned threadId = 0;
    const uintptr_t thread =
        _beginthreadex(secure ? security.Get() : nullptr, stackSize, procedure, argument,
                       CreationFlags(suspended, stackSize), &threadId);
    // The new thread may run ahead of everything below: it must not rely on them.
    KX_KILL_POINT("thread.create.started");
    m_threadId = threadId;
    SetHandle(reinterpret_cast<HANDLE>(thread));
    SetThreadName();
    if (!GetHandle()) throw CKxThreadException("CKxThread::Create -> could not create a thread");
}

std::uint32_t CKxThread::GetExitCode() {
    if (!GetHandle()) throw CKxThreadException("CKxThread::GetExitCode -> thread not created yet");
    DWORD code = 0;
    if (!GetExitCodeThread(GetHandle(), &code)) {
        throw CKxThreadException("CKxThread::GetExitCode -> error occurred in GetExitCodeThread");
    }
    return code;
}

KxThreadId CKxThread::GetThreadId() const { return m_threadId; }

std::uint32_t CKxThread::CreationFlags(bool suspended, std::uint32_t stackSize) {
    DWORD flags = suspended ? CREATE_SUSPENDED : 0;
    if (stackSize != 0) flags |= STACK_SIZE_PARAM_IS_A_RESERVATION;
    return flags;
}
