// Life locks: a named object per thread identifier holding one robust mutex.
#include "CKxPosixLifeLock.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "CKxPosixThreadEndWaker.h"

namespace {

std::string LifeLockFileName(std::uint32_t threadId) {
    char name[32];
    std::snprintf(name, sizeof(name), "%st.%x", kKxPosixObjectPrefix, threadId);
    return name;
}

void InitLifeLock(void* payload, void*) {
    KxPosixInitMutex(static_cast<pthread_mutex_t*>(payload), false /*recursive*/);
}

}  // namespace

std::unique_ptr<CKxPosixLifeLock> CKxPosixLifeLock::Hold(int* error) {
    const std::uint32_t self = KxPosixCurrentThreadId();
    bool created = false;
    auto object = CKxPosixNamedObject::OpenOrCreate(
        LifeLockFileName(self), KxPosixObjectKind::LifeLock, sizeof(pthread_mutex_t), InitLifeLock,
        nullptr, &created, error);
    if (!object) return nullptr;
    auto* mutex = static_cast<pthread_mutex_t*>(object->Payload());
    // EOWNERDEAD: a thread of this identifier died holding it; its watchers have seen that end.
    int result = pthread_mutex_lock(mutex);
    if (result == EOWNERDEAD) result = pthread_mutex_consistent(mutex);
    if (result != 0) {
        *error = result;
        return nullptr;
    }
    return std::unique_ptr<CKxPosixLifeLock>(new CKxPosixLifeLock(std::move(object), self, true));
}

std::unique_ptr<CKxPosixLifeLock> CKxPosixLifeLock::Watch(std::uint32_t threadId, int* error) {
    auto object =
        CKxPosixNamedObject::Open(LifeLockFileName(threadId), KxPosixObjectKind::LifeLock, error);
    if (!object) return nullptr;
    std::unique_ptr<CKxPosixLifeLock> watch(
        new CKxPosixLifeLock(std::move(object), threadId, false));
    CKxPosixThreadEndWaker::Watch(threadId, watch->m_waitable.word);
    return watch;
}

CKxPosixLifeLock::CKxPosixLifeLock(std::unique_ptr<CKxPosixNamedObject> object,
                                   std::uint32_t threadId, bool holder)
    : m_object(std::move(object)),
      m_waitable(
          KxPosixThreadEndWaitable(static_cast<pthread_mutex_t*>(m_object->Payload()), threadId)),
      m_holder(holder) {}

CKxPosixLifeLock::~CKxPosixLifeLock() {
    if (!m_holder) {
        CKxPosixThreadEndWaker::Forget(m_waitable.word);
        return;
    }
    // The unlock is the thread's end for its watchers: by then this thread holds no descriptor
    // of it (a watcher counting descriptors, or making the name's last close, sees it gone).
    m_object->CloseDescriptor();
    pthread_mutex_unlock(m_waitable.mutex);
}

bool CKxPosixLifeLock::HasEnded() {
    KxPosixWaitable* self = &m_waitable;
    return KxPosixWaitForAny(&self, 1, 0).status == KxPosixWaitStatus::Signalled;
}
