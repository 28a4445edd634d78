// Shared-memory segments, what every platform does alike: the companion mutex (its name, its
// creation, its lock) and the view's address and size. The constructor and CopyExisting are the
// platform's.
#include "CKxSharedMemory.h"

#include <new>

#include "CKxMutex.h"
#include "KxExceptions.h"
#include "KxObjectNames.h"

CKxSharedMemory::~CKxSharedMemory() {
    // Each step runs even when an earlier one threw; an abandoned mutex is owned all the same.
    try {
        m_mutex->Wait(kKxWaitForever);
    } catch (...) {
    }
    m_view.Reset();
    m_mapping.Reset();
    try {
        m_mutex->Release();
    } catch (...) {
    }
    delete m_mutex;
}

bool CKxSharedMemory::Wait(KxTimeout timeout) { return m_mutex->Wait(timeout); }

void CKxSharedMemory::Release() { m_mutex->Release(); }

void* CKxSharedMemory::GetBaseAddress() const { return m_view.Get().base; }

std::size_t CKxSharedMemory::GetMappedSize() const { return m_view.Get().bytes; }

std::string CKxSharedMemory::MutexName(const std::string& name) {
    return name + kKxSegmentMutexSuffix;
}

CKxMutex* CKxSharedMemory::NewCompanionMutex(const std::string& name) {
    try {
        return new CKxMutex(MutexName(name));
    } catch (const std::bad_alloc&) {
        throw CKxSharedMemoryException(
            "CKxSharedMemory::CKxSharedMemory -> Unable to create a named mutex");
    }
}
