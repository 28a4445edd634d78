// Mutex wrapper.
#include "CKxMutex.h"

#include "CKxOpenSecurityAttributes.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"

CKxMutex::CKxMutex() {
    m_handle = CreateMutexA(nullptr, FALSE /*bInitialOwner*/, nullptr);
    if (!m_handle) throw CKxMutexException("CKxMutex::CKxMutex -> could not create mutex");
}

CKxMutex::CKxMutex(const std::string& name) {
    CKxOpenSecurityAttributes security;
    // An existing mutex of that name is opened; ERROR_ALREADY_EXISTS is deliberately not looked at.
    m_handle = KX_FAILS_NAME(name.c_str())
                   ? nullptr
                   : CreateMutexA(security.Get(), FALSE /*bInitialOwner*/, name.c_str());
    if (!m_handle) throw CKxMutexException("CKxMutex::CKxMutex -> could not create mutex");
}

void CKxMutex::Release() {
    if (!ReleaseMutex(m_handle)) {
        throw CKxMutexException("CKxMutex::Release -> error occurred in ReleaseMutex");
    }
}
