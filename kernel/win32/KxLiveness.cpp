// Threads and processes by identifier: the caller's own from the platform; another's liveness by
// one open with synchronise access and a zero wait; a thread's process and executable by opens
// with limited query access.
#include "KxLiveness.h"

#include "CKxHandleSyncObject.h"
#include "KxExceptions.h"
#include "KxWindows.h"
#include "TKxUniqueHandle.h"

namespace {

// object: what OpenThread or OpenProcess just gave, before any other call could change the last
// error.
bool HasEnded(const KxUniqueWaitable& object) {
    // An identifier that names no thread or process is reported as an invalid parameter; every
    // other failure (denied access, a full handle table) says nothing about the object.
    if (!object) return GetLastError() == ERROR_INVALID_PARAMETER;
    return WaitForSingleObject(object.Get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

KxThreadId KxCurrentThreadId() { return GetCurrentThreadId(); }

KxProcessId KxCurrentProcessId() { return GetCurrentProcessId(); }

CKxHandleSyncObject* KxOpenThreadWaitable(KxThreadId threadId) {
    // The wrapper takes this handle itself (a duplicate would cost two more kernel calls per
    // member); a null handle makes its constructor throw. Closed here only if wrapping fails.
    KxUniqueWaitable thread(OpenThread(SYNCHRONIZE, FALSE /*bInheritHandle*/, threadId));
    CKxHandleSyncObject* object = new CKxHandleSyncObject(thread.Get(), KxAdoptHandle());
    thread.Release();
    return object;
}

bool KxThreadHasEnded(KxThreadId threadId) {
    return HasEnded(KxUniqueWaitable(OpenThread(SYNCHRONIZE, FALSE /*bInheritHandle*/, threadId)));
}

bool KxProcessHasEnded(KxProcessId processId) {
    return HasEnded(
        KxUniqueWaitable(OpenProcess(SYNCHRONIZE, FALSE /*bInheritHandle*/, processId)));
}

void KxThreadOrigin(KxThreadId threadId, KxProcessId* processId, std::string* executable) {
    *processId = 0;
    executable->clear();
    {
        const KxUniqueWaitable thread(
            OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE /*bInheritHandle*/, threadId));
        if (!thread) return;
        *processId = GetProcessIdOfThread(thread.Get());
    }
    if (*processId == 0) return;
    const KxUniqueWaitable process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE /*bInheritHandle*/, *processId));
    if (!process) return;
    char path[1024];  // room beyond MAX_PATH, where long paths are enabled
    DWORD length = sizeof(path);
    if (!QueryFullProcessImageNameA(process.Get(), 0 /*Win32 path*/, path, &length)) return;
    const char* const end = path + length;
    const char* name = end;
    while (name != path && name[-1] != '\\' && name[-1] != '/') --name;
    executable->assign(name, end);
}
