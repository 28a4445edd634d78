// A fixed number of 32-bit elements in a named shared-memory segment, seen alike by every process
// that builds the array under the same name.
#pragma once

#include <cstdint>
#include <string>

#include "CKxSharedMemory.h"
#include "KxChannelLayout.h"
#include "KxExceptions.h"
#include "KxScopeGuard.h"

// Segment kKxQueuePrefix + name, 4 + 4 x count bytes:
//   offset 0   header word: 0 in a freshly created (zero-filled) segment; the user that
//              initialises the elements sets it to 1, under the user's own lock
//   offset 4   elements 0 to count - 1
// The array takes no lock and never initialises anything: every user holds its own lock (the
// channel mutex) around element and header access. A segment that exists already is opened at
// the size its creator gave it; a view smaller than count elements is refused at construction.
// One array object belongs to one process; element references stay valid until its destruction.
template <class T>
class TKxInterProcessArray {
    static_assert(sizeof(T) == 4, "segment elements are 32-bit words");

public:
    // Creates or opens the segment. Throws CKxSharedMemoryException (or the segment's
    // CKxMutexException) when it cannot be mapped, and CKxSharedMemoryException when the mapped
    // view holds fewer than count elements.
    TKxInterProcessArray(const std::string& name, std::uint32_t count)
        : m_elements(nullptr), m_segment(nullptr), m_base(nullptr), m_count(count) {
        if (count > kMaxCount) {
            throw CKxSharedMemoryException(
                "TKxInterProcessArray::TKxInterProcessArray -> element count too large");
        }
        const std::uint32_t size = kHeaderBytes + std::uint32_t{4} * count;
        bool created = false;  // the header word, not this flag, tells whether contents are new
        // A process that died holding the segment's mutex died inside an open or a close, which
        // leave nothing half done in the segment: the mutex is taken over.
        bool abandoned = false;
        m_segment = new CKxSharedMemory(size, kKxQueuePrefix + name, &created, &abandoned);
        TKxScopeGuard deleteSegment([this] { delete m_segment; });
        if (m_segment->GetMappedSize() < size) {
            throw CKxSharedMemoryException(
                "TKxInterProcessArray::TKxInterProcessArray -> the mapped segment is smaller "
                "than asked");
        }
        m_base = m_segment->GetBaseAddress();
        m_elements = reinterpret_cast<T*>(static_cast<unsigned char*>(m_base) + kHeaderBytes);
        deleteSegment.Dismiss();
    }

    // Unmaps and closes this process's view; the segment lasts while another process holds it.
    ~TKxInterProcessArray() { delete m_segment; }

    TKxInterProcessArray(const TKxInterProcessArray&) = delete;
    TKxInterProcessArray& operator=(const TKxInterProcessArray&) = delete;

    // No bounds check: the caller keeps index below GetCount().
    T& operator[](std::uint32_t index) { return m_elements[index]; }
    const T& operator[](std::uint32_t index) const { return m_elements[index]; }

    // The header word at the segment's base.
    std::uint32_t& Header() { return *static_cast<std::uint32_t*>(m_base); }

    std::uint32_t GetCount() const { return m_count; }

private:
    static constexpr std::uint32_t kHeaderBytes = 4;  // the header word
    static constexpr std::uint32_t kMaxCount = (0xFFFFFFFFu - kHeaderBytes) / 4;

    T* m_elements;               // m_base + 4
    CKxSharedMemory* m_segment;  // owned
    void* m_base;                // the header word
    std::uint32_t m_count;
};
