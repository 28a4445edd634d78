// Thread and process liveness by identifier: one open with synchronise access and a zero wait; a
// thread's process and executable: opens with limited query access.
#include "KxLiveness.h"

#include "KxScopeGuard.h"

namespace {

// object: what OpenThread or OpenProcess just gave, before any other call could change the last
// error. Closes it.
bool HasEnded(HANDLE object) {
    // An identifier that names no thread or process is reported as an invalid parameter; every
    // other failure (denied access, a full handle table) says nothing about the object.
    if (!object) return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool signalled = WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
    CloseHandle(object);
    return signalled;
}

}  // namespace

bool KxThreadHasEnded(DWORD threadId) {
    return HasEnded(OpenThread(SYNCHRONIZE, FALSE /*bInheritHandle*/, threadId));
}

bool KxProcessHasEnded(DWORD processId) {
    return HasEnded(OpenProcess(SYNCHRONIZE, FALSE /*bInheritHandle*/, processId));
}

void KxThreadOrigin(DWORD threadId, DWORD* processId, std::string* executable) {
    *processId = 0;
    executable->clear();
    const HANDLE thread =
        OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE /*bInheritHandle*/, threadId);
    if (!thread) return;
    *processId = GetProcessIdOfThread(thread);
    CloseHandle(thread);
    if (*processId == 0) return;
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE /*bInheritHandle*/, *processId);
    if (!process) return;
    TKxScopeGuard closeProcess([process] { CloseHandle(process); });
    char path[1024];  // room beyond MAX_PATH, where long paths are enabled
    DWORD length = sizeof(path);
    if (!QueryFullProcessImageNameA(process, 0 /*Win32 path*/, path, &length)) return;
    const char* const end = path + length;
    const char* name = end;
    while (name != path && name[-1] != '\\' && name[-1] != '/') --name;
    executable->assign(name, end);
}
