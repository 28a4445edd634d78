// The channel's participant-identifier array: membership kept in join order.
#include "KxParticipantIdList.h"

#include "KxSharedWord.h"

CKxParticipantIdList::CKxParticipantIdList(std::uint32_t* elements) : m_elements(elements) {}

// Every element is read and written as a shared word (KxSharedWord.h): the writer's identifier
// store is ordered before its count store, and a reader that checked a value uses that value.
std::uint32_t CKxParticipantIdList::Load(std::uint32_t element) const {
    return KxLoadShared(m_elements + element);
}

void CKxParticipantIdList::Store(std::uint32_t element, std::uint32_t value) {
    KxStoreShared(m_elements + element, value);
}

void CKxParticipantIdList::Initialize() {
    for (std::uint32_t element = 0; element < kKxIdArrayElements; ++element) Store(element, 0);
}

bool CKxParticipantIdList::IsValid() const { return Load(0) <= kKxMaxParticipants; }

std::uint32_t CKxParticipantIdList::Count() const {
    // Read once: the value checked is the value used.
    const std::uint32_t count = Load(0);
    return count <= kKxMaxParticipants ? count : 0;
}

bool CKxParticipantIdList::Find(std::uint32_t id, std::uint32_t* position) const {
    const std::uint32_t count = Count();
    for (std::uint32_t i = 0; i < count; ++i) {
        if (Load(1 + i) == id) {
            if (position != nullptr) *position = i;
            return true;
        }
    }
    return false;
}

std::uint32_t CKxParticipantIdList::At(std::uint32_t i) const {
    return i < Count() ? Load(1 + i) : 0;
}

bool CKxParticipantIdList::Add(std::uint32_t id) {
    const std::uint32_t count = Load(0);
    if (count >= kKxMaxParticipants || Find(id, nullptr)) return false;
    // The identifier first, then the count: a writer that dies between the two leaves the list as
    // it was.
    Store(1 + count, id);
    Store(0, count + 1);
    return true;
}

bool CKxParticipantIdList::Remove(std::uint32_t id) {
    const std::uint32_t count = Load(0);
    std::uint32_t position = 0;
    if (count > kKxMaxParticipants || !Find(id, &position)) return false;
    for (std::uint32_t i = position + 1; i < count; ++i) Store(i, Load(i + 1));
    Store(0, count - 1);
    return true;
}
