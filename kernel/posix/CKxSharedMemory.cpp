// Shared memory segment on Linux: a named object whose payload is the segment, opened or created
// under the companion mutex as on Windows.
#include "CKxSharedMemory.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "CKxAutoLock.h"
#include "CKxMutex.h"
#include "CKxPosixNamedObject.h"
#include "KxExceptions.h"
#include "KxObjectNames.h"
#include "KxPosixHandle.h"
#include "KxScopeGuard.h"

// The section owns the descriptor and the whole mapping; the view is only where its payload lies.
void KxSectionTraits::Close(Value value) noexcept { delete value; }

void KxMappedViewTraits::Close(Value) noexcept {}

CKxSharedMemory::CKxSharedMemory(std::uint32_t size, const std::string& name, bool* created,
                                 bool* abandoned)
    : m_size(size), m_name(name), m_mutex(NewCompanionMutex(name)) {
    TKxScopeGuard destroyMutex([this] {
        delete m_mutex;
        m_mutex = nullptr;
    });

    {
        // Creation is atomic by itself here; the companion mutex still orders it against another
        // process's close, and callers take it to guard the contents.
        CKxAutoLock lock(m_mutex, abandoned);
        *created = false;
        const std::string fileName = KxPosixObjectFileName(m_name);
        int error = ENAMETOOLONG;
        std::unique_ptr<CKxPosixNamedObject> object;
        if (!fileName.empty()) {
            object = CKxPosixNamedObject::OpenOrCreate(fileName, KxPosixObjectKind::Segment, m_size,
                                                       nullptr, nullptr, created, &error);
        }
        if (!object) {
            errno = error;  // for KxLastSystemErrorText
            throw CKxSharedMemoryException(
                "CKxSharedMemory::CKxSharedMemory -> could not create the file mapping");
        }
        m_view.Reset(KxMappedView{object->Payload(), object->PayloadBytes()});
        m_mapping.Reset(object.release());
    }
    destroyMutex.Dismiss();
}

bool CKxSharedMemory::CopyExisting(const std::string& name, void* target, std::size_t bytes,
                                   bool* exists) {
    *exists = false;
    const std::string fileName = KxPosixObjectFileName(name);
    if (fileName.empty()) return false;
    int error = 0;
    const auto object = CKxPosixNamedObject::Open(fileName, KxPosixObjectKind::Segment, &error);
    if (!object) return false;
    *exists = true;
    if (object->PayloadBytes() < bytes) return false;
    std::memcpy(target, object->Payload(), bytes);
    return true;
}
