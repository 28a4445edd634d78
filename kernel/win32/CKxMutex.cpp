// Mutex wrapper.
#include "CKxMutex.h"

#include "CKxOpenSecurityAttributes.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxWindows.h"

CKxMutex::CKxMutex() {
    SetHandle(CreateMutexA(nullptr, FALSE /*bInitialOwner*/, nullptr));
    if (!GetHandle()) throw CKxMutexException("CKxMutex::CKxMutex -> could not create mutex");
}

CKxMutex::CKxMutex(const std::string& name) {
    CKxOpenSecurityAttributes security;
    // An existing mutex of that name is opened; ERROR_ALREADY_EXISTS is deliberately not looked at.
    SetHandle(KX_FAILS_NAME(name.c_str())
                  ? nullptr
                  : CreateMutexA(security.Get(), FALSE /*bInitialOwner*/, name.c_str()));
    if (!GetHandle()) throw CKxMutexException("CKxMutex::CKxMutex -> could not create mutex");
}

void CKxMutex::Release() {
    if (!ReleaseMutex(GetHandle())) {
        throw CKxMutexException("CKxMutex::Release -> error occurred in ReleaseMutex");
    }
}

CKxMutex* CKxMutex::OpenExisting(const std::string& name) {
    // SYNCHRONIZE is all that waiting on and releasing a mutex needs.
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE /*bInheritHandle*/, name.c_str());
    if (!mutex) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return nullptr;
        throw CKxMutexException("CKxMutex::CKxMutex -> could not create mutex");
    }
    return new CKxMutex(mutex);
}
