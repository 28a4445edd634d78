// Shared memory segment: open-or-create under the companion mutex.
#include "CKxSharedMemory.h"

#include <cstring>
#include <new>

#include "CKxAutoLock.h"
#include "CKxMutex.h"
#include "CKxOpenSecurityAttributes.h"
#include "KxExceptions.h"
#include "KxObjectNames.h"
#include "KxScopeGuard.h"

CKxSharedMemory::CKxSharedMemory(DWORD size, const std::string& name, bool* created,
                                 bool* abandoned)
    : m_size(size),
      m_name(name),
      m_mutex(nullptr),
      m_mapping(nullptr),
      m_base(nullptr),
      m_mappedSize(0) {
    // Running out of memory for the mutex object is reported in the segment's own terms; a
    // failure of the mutex's constructor passes on as its CKxMutexException.
    try {
        m_mutex = new CKxMutex(MutexName(m_name));
    } catch (const std::bad_alloc&) {
        throw CKxSharedMemoryException(
            "CKxSharedMemory::CKxSharedMemory -> Unable to create a named mutex");
    }
    TKxScopeGuard destroyMutex([this] {
        delete m_mutex;
        m_mutex = nullptr;
    });

    {
        // Without an abandoned flag an abandoned mutex throws here, already given back by the lock.
        CKxAutoLock lock(m_mutex, abandoned);
        *created = false;
        m_mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE /*bInheritHandle*/, m_name.c_str());
        if (!m_mapping) {
            CKxOpenSecurityAttributes security;
            m_mapping =
                CreateFileMappingA(INVALID_HANDLE_VALUE /*paging file*/, security.Get(),
                                   PAGE_READWRITE, 0 /*dwMaximumSizeHigh*/, m_size, m_name.c_str());
            *created = true;
        }
        if (!m_mapping) {
            throw CKxSharedMemoryException(
                "CKxSharedMemory::CKxSharedMemory -> could not create the file mapping");
        }
        // Closed under the lock, so that a failed construction also never interleaves with
        // another process's open-or-create.
        TKxScopeGuard closeMapping([this] {
            CloseHandle(m_mapping);
            m_mapping = nullptr;
        });

        // Length 0 maps the whole section, as big as its creator made it.
        m_base = MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0 /*dwFileOffsetHigh*/,
                               0 /*dwFileOffsetLow*/, 0 /*dwNumberOfBytesToMap*/);
        if (!m_base) {
            throw CKxSharedMemoryException(
                "CKxSharedMemory::CKxSharedMemory -> could not map a view of the file mapping");
        }
        // The view is one region of committed pages; its size is what this process may touch.
        MEMORY_BASIC_INFORMATION region = {};
        VirtualQuery(m_base, &region, sizeof(region));
        m_mappedSize = region.RegionSize;
        closeMapping.Dismiss();
    }
    destroyMutex.Dismiss();
}

CKxSharedMemory::~CKxSharedMemory() {
    // Each step runs even when an earlier one threw; an abandoned mutex is owned all the same.
    try {
        m_mutex->Wait(INFINITE);
    } catch (...) {
    }
    if (m_base) UnmapViewOfFile(m_base);
    if (m_mapping) CloseHandle(m_mapping);
    try {
        m_mutex->Release();
    } catch (...) {
    }
    delete m_mutex;
}

bool CKxSharedMemory::Wait(DWORD timeout) { return m_mutex->Wait(timeout); }

void CKxSharedMemory::Release() { m_mutex->Release(); }

void* CKxSharedMemory::GetBaseAddress() const { return m_base; }

SIZE_T CKxSharedMemory::GetMappedSize() const { return m_mappedSize; }

bool CKxSharedMemory::CopyExisting(const std::string& name, void* target, SIZE_T bytes,
                                   bool* exists) {
    *exists = false;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE /*bInheritHandle*/, name.c_str());
    if (mapping == nullptr) return false;
    *exists = true;
    bool copied = false;
    if (void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0 /*the whole section*/)) {
        MEMORY_BASIC_INFORMATION region = {};
        if (VirtualQuery(view, &region, sizeof(region)) == sizeof(region) &&
            region.RegionSize >= bytes) {
            std::memcpy(target, view, bytes);
            copied = true;
        }
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return copied;
}

std::string CKxSharedMemory::MutexName(const std::string& name) {
    return name + kKxSegmentMutexSuffix;
}
