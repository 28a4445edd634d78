// Shared memory segment: open-or-create under the companion mutex.
#include "CKxSharedMemory.h"

#include <cstring>
#include <utility>

#include "CKxAutoLock.h"
#include "CKxMutex.h"
#include "CKxOpenSecurityAttributes.h"
#include "KxExceptions.h"
#include "KxObjectNames.h"
#include "KxScopeGuard.h"
#include "KxWindows.h"

namespace {

// The view mapped from a section (length 0: the whole section, as big as its creator made it),
// with the bytes this process may touch: the view is one region of committed pages. Nothing when
// it cannot be mapped.
KxMappedView MapWhole(KxNativeSection section, DWORD access) {
    void* base = MapViewOfFile(section, access, 0 /*dwFileOffsetHigh*/, 0 /*dwFileOffsetLow*/,
                               0 /*dwNumberOfBytesToMap*/);
    if (!base) return KxMappedViewTraits::Invalid();
    MEMORY_BASIC_INFORMATION region = {};
    const std::size_t bytes =
        VirtualQuery(base, &region, sizeof(region)) == sizeof(region) ? region.RegionSize : 0;
    return KxMappedView{base, bytes};
}

}  // namespace

void KxSectionTraits::Close(Value value) noexcept { CloseHandle(value); }

void KxMappedViewTraits::Close(Value value) noexcept { UnmapViewOfFile(value.base); }

CKxSharedMemory::CKxSharedMemory(std::uint32_t size, const std::string& name, bool* created,
                                 bool* abandoned)
    : m_size(size), m_name(name), m_mutex(NewCompanionMutex(name)) {
    TKxScopeGuard destroyMutex([this] {
        delete m_mutex;
        m_mutex = nullptr;
    });

    {
        // Without an abandoned flag an abandoned mutex throws here, already given back by the lock.
        CKxAutoLock lock(m_mutex, abandoned);
        *created = false;
        // Closed under the lock if construction fails, so that a failed construction also never
        // interleaves with another process's open-or-create.
        KxUniqueSection mapping(
            OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE /*bInheritHandle*/, m_name.c_str()));
        if (!mapping) {
            CKxOpenSecurityAttributes security;
            mapping.Reset(CreateFileMappingA(INVALID_HANDLE_VALUE /*paging file*/, security.Get(),
                                             PAGE_READWRITE, 0 /*dwMaximumSizeHigh*/, m_size,
                                             m_name.c_str()));
            *created = true;
        }
        if (!mapping) {
            throw CKxSharedMemoryException(
                "CKxSharedMemory::CKxSharedMemory -> could not create the file mapping");
        }
        KxUniqueView view(MapWhole(mapping.Get(), FILE_MAP_ALL_ACCESS));
        if (!view) {
            throw CKxSharedMemoryException(
                "CKxSharedMemory::CKxSharedMemory -> could not map a view of the file mapping");
        }
        m_mapping = std::move(mapping);
        m_view = std::move(view);
    }
    destroyMutex.Dismiss();
}

bool CKxSharedMemory::CopyExisting(const std::string& name, void* target, std::size_t bytes,
                                   bool* exists) {
    *exists = false;
    const KxUniqueSection mapping(
        OpenFileMappingA(FILE_MAP_READ, FALSE /*bInheritHandle*/, name.c_str()));
    if (!mapping) return false;
    *exists = true;
    const KxUniqueView view(MapWhole(mapping.Get(), FILE_MAP_READ));
    if (!view || view.Get().bytes < bytes) return false;
    std::memcpy(target, view.Get().base, bytes);
    return true;
}
