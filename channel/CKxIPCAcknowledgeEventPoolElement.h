// One acknowledge event of the process's pool, named after the 64-bit key that messages carry.
#pragma once

#include <cstdint>

class CKxEvent;

// The key is (process identifier << 32) | sequence number; its event is the auto-reset named event
// "KX IPCAckEv 0x" followed by the key in 16 upper-case hexadecimal digits. Any process that knows
// the key builds an element of the same key and so reaches the same kernel event. The element owns
// its event; neither the key nor the event changes after construction.
class CKxIPCAcknowledgeEventPoolElement {
public:
    // Creates the event of the key, or opens it when a process already holds it (its state then
    // stays as it is). Throws CKxEventException if no event results; nothing is left behind.
    CKxIPCAcknowledgeEventPoolElement(std::uint64_t sequence, std::uint32_t processId);
    virtual ~CKxIPCAcknowledgeEventPoolElement();

    CKxIPCAcknowledgeEventPoolElement(const CKxIPCAcknowledgeEventPoolElement&) = delete;
    CKxIPCAcknowledgeEventPoolElement& operator=(const CKxIPCAcknowledgeEventPoolElement&) = delete;

    std::uint64_t GetAcknowledgeKey() const;
    // Stays owned by the element.
    CKxEvent* GetEvent() const;

private:
    std::uint64_t m_acknowledgeKey;
    CKxEvent* m_event;
};
