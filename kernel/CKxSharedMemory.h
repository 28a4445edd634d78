// A named block of paging-file memory that every process of the machine can map.
#pragma once

#include <string>

#include <cstddef>
#include <cstdint>

#include "CKxSynchronizationObject.h"
#include "TKxUniqueHandle.h"

class CKxMutex;

// The segment is opened if a mapping of that name exists and created (zero-filled by the platform)
// if not. Open-or-create and unmap-and-close run under the companion named mutex name + "_mutex",
// so across processes exactly one constructor creates a given segment and none interleaves with
// another's close of it. The section lives while any process holds it; once the last holder is
// destroyed, the next constructor creates it afresh.
//
// The segment writes nothing into the memory: every byte belongs to its users, who guard the
// content with their own locks or with this object's Wait/Release (the companion mutex). Used by
// the threads of one process; nothing changes after construction.
class CKxSharedMemory : public CKxSynchronizationObject {
public:
    // size: bytes of a new section (ignored when the section exists: the view then covers it as
    // its creator sized it). created (required): set true exactly when this call found no mapping
    // of that name and created one. abandoned (optional): set true when the companion mutex was
    // abandoned by a process that died holding it; construction then goes on.
    //
    // Throws CKxMutexException when the companion mutex cannot be created,
    // CKxSharedMemoryException when no mutex object results or when the mapping or its view
    // cannot be obtained (size 0, a name held by another kind of kernel object), and
    // CKxWaitAbandonnedException for an abandoned companion mutex without an abandoned flag. A
    // throwing constructor leaves no handle open and the companion mutex released.
    CKxSharedMemory(std::uint32_t size, const std::string& name, bool* created,
                    bool* abandoned = nullptr);
    // Unmaps and closes under the companion mutex, then destroys it. Never throws.
    ~CKxSharedMemory() override;

    CKxSharedMemory(const CKxSharedMemory&) = delete;
    CKxSharedMemory& operator=(const CKxSharedMemory&) = delete;

    // Takes / gives back the companion mutex, with CKxMutex's results and exceptions.
    bool Wait(KxTimeout timeout) override;
    void Release() override;

    // The companion mutex's name: the segment's name followed by "_mutex".
    static std::string MutexName(const std::string& name);

    // Copies the first bytes of the existing segment name into target without creating anything
    // or taking the companion mutex (the caller holds whatever lock guards the contents). False
    // when no segment of that name exists (*exists false) or it is mapped smaller than bytes.
    static bool CopyExisting(const std::string& name, void* target, std::size_t bytes,
                             bool* exists);

    // Where the segment lies in this process.
    void* GetBaseAddress() const;
    // The bytes actually mapped from the base address: the creator's size rounded up to whole
    // pages, whatever size this process asked for. Nothing beyond it may be touched.
    std::size_t GetMappedSize() const;

private:
    // The companion mutex of the segment name, created or opened. Running out of memory for it is
    // reported in the segment's own terms; the mutex's own failure passes on as its exception.
    static CKxMutex* NewCompanionMutex(const std::string& name);

    std::uint32_t m_size;
    std::string m_name;
    CKxMutex* m_mutex;
    KxUniqueSection m_mapping;
    KxUniqueView m_view;  // the whole section, as its creator sized it
};
