// 32-bit elements in a named shared-memory segment whose capacity grows when an element at or
// beyond it is accessed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "CKxSharedMemory.h"
#include "KxChannelLayout.h"
#include "KxExceptions.h"

// Segment "TKxInterProcessGrowArray" + name, 4 + 4 x capacity bytes:
//   offset 0   header word: 0 in a freshly created (zero-filled) segment; the user that
//              initialises the elements sets it to 1, under the user's own lock
//   offset 4   elements 0 to capacity - 1
// The array takes no lock and never initialises anything: every user holds its own lock (the
// channel mutex) around element and header access.
//
// Growth is private to this process: an access at index >= capacity sets the capacity to
// index + step + 1 and maps the segment again under the same name; contents are not copied, and
// other processes are not told. While any other holder keeps the segment open, it is reopened at
// its existing size, so the view can hold fewer elements than the capacity: an access beyond the
// mapped view throws instead of touching memory that is not there. Element references stay valid
// until the next access that grows, or the array's destruction.
template <class T>
class TKxInterProcessGrowArray {
    static_assert(sizeof(T) == 4, "segment elements are 32-bit words");

public:
    // Maps the segment as Reallocate does; throws what Reallocate throws.
    TKxInterProcessGrowArray(const std::string& name, std::uint32_t initialCapacity,
                             std::uint32_t growthStep)
        : m_elements(nullptr),
          m_segment(nullptr),
          m_base(nullptr),
          m_name(kKxIdArrayPrefix + name),
          m_capacity(initialCapacity),
          m_growthStep(growthStep),
          m_mappedCapacity(0) {
        Reallocate();
    }

    ~TKxInterProcessGrowArray() { delete m_segment; }

    TKxInterProcessGrowArray(const TKxInterProcessGrowArray&) = delete;
    TKxInterProcessGrowArray& operator=(const TKxInterProcessGrowArray&) = delete;

    // Element index, growing first when index >= capacity. Throws CKxSharedMemoryException when
    // index lies beyond the mapped view (or beyond any segment's size), and what Reallocate throws.
    T& operator[](std::uint32_t index) {
        if (index >= m_capacity) {
            const std::uint64_t capacity = std::uint64_t{index} + m_growthStep + 1;
            if (capacity > kMaxCapacity) Throw(kBeyondMapped);
            m_capacity = static_cast<std::uint32_t>(capacity);
            Reallocate();
        }
        if (index >= m_mappedCapacity) Throw(kBeyondMapped);
        return m_elements[index];
    }

    // The header word at the segment's base. Throws CKxSharedMemoryException when a failed
    // growth left the array without a segment.
    std::uint32_t& Header() {
        if (m_base == nullptr) Throw("TKxInterProcessGrowArray::Header -> no mapped segment");
        return *static_cast<std::uint32_t*>(m_base);
    }

    // Elements this process asked for.
    std::uint32_t GetCapacity() const { return m_capacity; }
    // Elements the mapped view really holds: may be more than the capacity (whole pages), or
    // fewer (a segment opened at the smaller size another holder created).
    std::uint32_t GetMappedCapacity() const { return m_mappedCapacity; }

    // Releases the current view, then creates or opens the segment at 4 + 4 x capacity bytes.
    // Throws CKxSharedMemoryException (or the segment's CKxMutexException) when it cannot be
    // mapped; the array then has no segment and every access throws until a Reallocate succeeds.
    void Reallocate() {
        delete m_segment;
        m_segment = nullptr;
        m_elements = nullptr;
        m_base = nullptr;
        m_mappedCapacity = 0;
        if (m_capacity > kMaxCapacity) {
            Throw("TKxInterProcessGrowArray::Reallocate -> capacity beyond any segment size");
        }

        bool created = false;  // the header word, not this flag, tells whether contents are new
        // As for TKxInterProcessArray: a dead holder of the segment's mutex left nothing half done.
        bool abandoned = false;
        m_segment = new CKxSharedMemory(kHeaderBytes + std::uint32_t{4} * m_capacity, m_name,
                                        &created, &abandoned);
        const std::size_t mapped = m_segment->GetMappedSize();
        const std::size_t mappedElements =
            mapped < kHeaderBytes ? 0 : (mapped - kHeaderBytes) / sizeof(T);
        m_mappedCapacity = mappedElements > kMaxCapacity
                               ? kMaxCapacity
                               : static_cast<std::uint32_t>(mappedElements);
        m_base = m_segment->GetBaseAddress();
        m_elements = reinterpret_cast<T*>(static_cast<unsigned char*>(m_base) + kHeaderBytes);
    }

private:
    static constexpr std::uint32_t kHeaderBytes = 4;  // the header word
    // The largest capacity whose segment size still fits the 32-bit size a segment is asked for.
    static constexpr std::uint32_t kMaxCapacity = (0xFFFFFFFFu - kHeaderBytes) / 4;

    static constexpr const char* kBeyondMapped =
        "TKxInterProcessGrowArray::operator[] -> index beyond the mapped segment";

    [[noreturn]] static void Throw(const char* message) { throw CKxSharedMemoryException(message); }

    T* m_elements;               // m_base + 4; null without a segment
    CKxSharedMemory* m_segment;  // owned, or none
    void* m_base;                // the header word; null without a segment
    std::string m_name;          // full segment name, kept for mapping again
    std::uint32_t m_capacity;
    std::uint32_t m_growthStep;
    std::uint32_t m_mappedCapacity;
};
