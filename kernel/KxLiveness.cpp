// Thread and process liveness by identifier: one open with synchronise access and a zero wait.
#include "KxLiveness.h"

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
