// Handles of the C interface: slot number and generation packed into the pointer-sized value.
#include "CKxCHandleTable.h"

#include <utility>

namespace {

static_assert(sizeof(kxipc_participant*) == sizeof(std::uint64_t),
              "a handle packs a 32-bit slot and a 32-bit generation");

// Slot number + 1 in the low half, so that no handle is null; the generation in the high half.
kxipc_participant* MakeHandle(std::uint32_t slot, std::uint32_t generation) {
    const std::uint64_t value = (static_cast<std::uint64_t>(generation) << 32) | (slot + 1u);
    return reinterpret_cast<kxipc_participant*>(static_cast<std::uintptr_t>(value));
}

void SplitHandle(const kxipc_participant* handle, std::uint32_t* slot, std::uint32_t* generation) {
    const std::uint64_t value = reinterpret_cast<std::uintptr_t>(handle);
    *slot = static_cast<std::uint32_t>(value) - 1u;  // a null handle gives slot 0xFFFFFFFF
    *generation = static_cast<std::uint32_t>(value >> 32);
}

}  // namespace

CKxCHandleTable& CKxCHandleTable::Instance() {
    static CKxCHandleTable* const table = new CKxCHandleTable();
    return *table;
}

kxipc_participant* CKxCHandleTable::Add(std::shared_ptr<CKxCParticipant> participant) {
    CKxSlimLock::Exclusive hold(m_lock);
    if (m_free.empty()) {
        // Room in both lists first, so that nothing below throws.
        m_free.reserve(m_slots.size() + 1);
        m_slots.emplace_back();
        m_free.push_back(static_cast<std::uint32_t>(m_slots.size() - 1));
    }
    const std::uint32_t slot = m_free.back();
    m_free.pop_back();
    m_slots[slot].participant = std::move(participant);
    return MakeHandle(slot, m_slots[slot].generation);
}

const CKxCHandleTable::Slot* CKxCHandleTable::Lookup(const kxipc_participant* handle) const {
    std::uint32_t slot = 0, generation = 0;
    SplitHandle(handle, &slot, &generation);
    if (slot >= m_slots.size()) return nullptr;
    const Slot& entry = m_slots[slot];
    return entry.participant && entry.generation == generation ? &entry : nullptr;
}

std::shared_ptr<CKxCParticipant> CKxCHandleTable::Find(const kxipc_participant* handle) const {
    CKxSlimLock::Shared hold(m_lock);
    const Slot* entry = Lookup(handle);
    return entry ? entry->participant : nullptr;
}

std::shared_ptr<CKxCParticipant> CKxCHandleTable::Remove(const kxipc_participant* handle) {
    CKxSlimLock::Exclusive hold(m_lock);
    Slot* entry = const_cast<Slot*>(Lookup(handle));
    if (!entry) return nullptr;
    std::shared_ptr<CKxCParticipant> participant = std::move(entry->participant);
    entry->participant.reset();
    // Never 0 again after a wrap, so that a handle whose high half is 0 never names a slot.
    if (++entry->generation == 0) entry->generation = 1;
    // m_free holds room for every slot (Add reserves it), so this does not throw.
    m_free.push_back(static_cast<std::uint32_t>(entry - m_slots.data()));
    return participant;
}
