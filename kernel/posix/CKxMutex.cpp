// Mutex wrapper on Linux: a robust, process-shared, recursive pthread mutex, in a named object when
// named.
#include "CKxMutex.h"

#include <cerrno>

#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxPosixHandle.h"

namespace {

void InitMutex(void* payload, void*) {
    KxPosixInitMutex(static_cast<pthread_mutex_t*>(payload), true /*recursive*/);
}

KxNativeWaitable MutexHandle(std::shared_ptr<CKxPosixNamedObject> object) {
    auto* mutex = static_cast<pthread_mutex_t*>(object->Payload());
    return KxPosixNewHandle(KxPosixMutexWaitable(mutex), std::move(object));
}

}  // namespace

CKxMutex::CKxMutex() {
    auto mutex = std::make_shared<pthread_mutex_t>();
    if (KxPosixInitMutex(mutex.get(), true /*recursive*/) != 0) {
        throw CKxMutexException("CKxMutex::CKxMutex -> could not create mutex");
    }
    SetHandle(KxPosixNewHandle(KxPosixMutexWaitable(mutex.get()), mutex));
}

CKxMutex::CKxMutex(const std::string& name) {
    // An existing mutex of that name is opened; whether this call created it is not looked at.
    bool created = false;
    int error = 0;
    std::shared_ptr<CKxPosixNamedObject> object;
    if (!KX_FAILS_NAME(name.c_str())) {
        object = KxPosixOpenOrCreateNamed(name, KxPosixObjectKind::Mutex, sizeof(pthread_mutex_t),
                                          InitMutex, nullptr, &created, &error);
    }
    if (!object) throw CKxMutexException("CKxMutex::CKxMutex -> could not create mutex");
    SetHandle(MutexHandle(std::move(object)));
}

void CKxMutex::Release() {
    if (KxPosixReleaseMutex(GetHandle()->mutex) != 0) {
        throw CKxMutexException("CKxMutex::Release -> error occurred in ReleaseMutex");
    }
}

CKxMutex* CKxMutex::OpenExisting(const std::string& name) {
    const std::string fileName = KxPosixObjectFileName(name);
    int error = ENAMETOOLONG;
    std::shared_ptr<CKxPosixNamedObject> object;
    if (!fileName.empty())
        object = CKxPosixNamedObject::Open(fileName, KxPosixObjectKind::Mutex, &error);
    if (!object) {
        if (error == ENOENT) return nullptr;
        errno = error;  // for KxLastSystemErrorText
        throw CKxMutexException("CKxMutex::CKxMutex -> could not create mutex");
    }
    return new CKxMutex(MutexHandle(std::move(object)));
}
