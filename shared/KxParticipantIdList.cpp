// The channel's participant-identifier array: membership kept in join order.
#include "KxParticipantIdList.h"

CKxParticipantIdList::CKxParticipantIdList(std::uint32_t* elements) : m_elements(elements) {}

void CKxParticipantIdList::Initialize() {
    for (std::uint32_t element = 0; element < kKxIdArrayElements; ++element)
        m_elements[element] = 0;
}

bool CKxParticipantIdList::IsValid() const { return m_elements[0] <= kKxMaxParticipants; }

std::uint32_t CKxParticipantIdList::Count() const {
    // Read once: the value checked is the value used.
    const std::uint32_t count = m_elements[0];
    return count <= kKxMaxParticipants ? count : 0;
}

bool CKxParticipantIdList::Find(std::uint32_t id, std::uint32_t* position) const {
    const std::uint32_t count = Count();
    for (std::uint32_t i = 0; i < count; ++i) {
        if (m_elements[1 + i] == id) {
            if (position != nullptr) *position = i;
            return true;
        }
    }
    return false;
}

std::uint32_t CKxParticipantIdList::At(std::uint32_t i) const {
    return i < Count() ? m_elements[1 + i] : 0;
}

bool CKxParticipantIdList::Add(std::uint32_t id) {
    const std::uint32_t count = m_elements[0];
    if (count >= kKxMaxParticipants || Find(id, nullptr)) return false;
    // The identifier first, then the count: a writer that dies between the two leaves the list as
    // it was.
    m_elements[1 + count] = id;
    m_elements[0] = count + 1;
    return true;
}

bool CKxParticipantIdList::Remove(std::uint32_t id) {
    const std::uint32_t count = m_elements[0];
    std::uint32_t position = 0;
    if (count > kKxMaxParticipants || !Find(id, &position)) return false;
    for (std::uint32_t i = position + 1; i < count; ++i) m_elements[i] = m_elements[i + 1];
    m_elements[0] = count - 1;
    return true;
}
