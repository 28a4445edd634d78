// The slim lock on Windows: an SRWLOCK in the object's storage.
#include "CKxSlimLock.h"

#include "KxWindows.h"

namespace {

static_assert(sizeof(SRWLOCK) <= sizeof(void*) && alignof(SRWLOCK) <= 8,
              "CKxSlimLock's storage holds an SRWLOCK");

SRWLOCK* Native(unsigned char* storage) { return reinterpret_cast<SRWLOCK*>(storage); }

}  // namespace

// An SRWLOCK needs no destruction.
CKxSlimLock::CKxSlimLock() { InitializeSRWLock(Native(m_storage)); }
CKxSlimLock::~CKxSlimLock() {}

void CKxSlimLock::LockExclusive() { AcquireSRWLockExclusive(Native(m_storage)); }
void CKxSlimLock::UnlockExclusive() { ReleaseSRWLockExclusive(Native(m_storage)); }
void CKxSlimLock::LockShared() { AcquireSRWLockShared(Native(m_storage)); }
void CKxSlimLock::UnlockShared() { ReleaseSRWLockShared(Native(m_storage)); }
