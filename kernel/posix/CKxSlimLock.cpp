// The slim lock on Linux: a process-private pthread reader/writer lock in the object's storage.
#include "CKxSlimLock.h"

#include <pthread.h>

namespace {

static_assert(sizeof(pthread_rwlock_t) <= 64 && alignof(pthread_rwlock_t) <= 8,
              "CKxSlimLock's storage holds a pthread_rwlock_t");

pthread_rwlock_t* Native(unsigned char* storage) {
    return reinterpret_cast<pthread_rwlock_t*>(storage);
}

}  // namespace

// Default attributes cannot fail to initialise; nobody holds the lock when it is destroyed.
CKxSlimLock::CKxSlimLock() { pthread_rwlock_init(Native(m_storage), nullptr); }
CKxSlimLock::~CKxSlimLock() { pthread_rwlock_destroy(Native(m_storage)); }

void CKxSlimLock::LockExclusive() { pthread_rwlock_wrlock(Native(m_storage)); }
void CKxSlimLock::UnlockExclusive() { pthread_rwlock_unlock(Native(m_storage)); }
void CKxSlimLock::LockShared() { pthread_rwlock_rdlock(Native(m_storage)); }
void CKxSlimLock::UnlockShared() { pthread_rwlock_unlock(Native(m_storage)); }
