// A thread of this process, started with _beginthreadex, named for debuggers, waited for at its
// end.
#pragma once

#include <cstdint>

#include "CKxHandleSyncObject.h"

// The thread procedure: the form _beginthreadex takes; its result becomes the exit code.
using KxThreadProcedure = unsigned(KX_THREAD_CALL*)(void*);

// Not created until Create succeeds (Wait and GetExitCode throw), then running, then ended; it
// cannot be started twice. Wait (inherited) is true once the thread has ended; Release throws
// (inherited). The destructor waits for the thread to end, so it must not run on that thread.
// Create takes no lock: one object must not be created from two threads at once.
class CKxThread : public CKxHandleSyncObject {
public:
    CKxThread();
    // Waits (without limit) for a started thread to end, dropping whatever the wait throws, then
    // closes.
    ~CKxThread() override;

    // Announces the name ("Quorel CKxThread") of the thread to an attached debugger through the
    // thread-naming exception. Never fails, with or without a debugger.
    virtual void SetThreadName();

    // Starts procedure(argument). suspended: created suspended (nothing here resumes it).
    // stackSize: bytes to reserve, 0 for the default. secure: open security attributes on the
    // thread object. Throws CKxThreadException for a null procedure, an object already started
    // (also after its thread ended), or a failed start; a failed start leaves the object not
    // created, so Create may be tried again.
    void Create(KxThreadProcedure procedure, void* argument, bool suspended,
                std::uint32_t stackSize, bool secure);

    // STILL_ACTIVE (259) while the thread runs, the procedure's result once it has ended.
    // Throws CKxThreadException when not created or when GetExitCodeThread fails.
    std::uint32_t GetExitCode();

    // The identifier _beginthreadex reported; 0 before Create.
    KxThreadId GetThreadId() const;

    // The creation flags Create passes: CREATE_SUSPENDED if suspended, and
    // STACK_SIZE_PARAM_IS_A_RESERVATION whenever stackSize is not 0, so the size reserves the
    // stack instead of committing it.
    static std::uint32_t CreationFlags(bool suspended, std::uint32_t stackSize);

private:
    char m_name[128];
    KxThreadId m_threadId;
};
