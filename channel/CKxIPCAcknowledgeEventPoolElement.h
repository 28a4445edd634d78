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

    // For the borrower of a lent element whose key was queued (or may have been) and whose wait
    // ended without the event's signal (time-out, stop, exception): an acknowledgement may still
    // set the event at any later time, so the element retires. Giving it back then deletes it
    // instead of lending it again, and its key, whose sequence number is never used again, names
    // no later wait. Called by the borrower alone, before it gives the element back.
    void NoteWaitEndedUnsignalled();
    // Whether the element has retired.
    bool IsRetired() const;

private:
    std::uint64_t m_acknowledgeKey;
    CKxEvent* m_event;
    // Process memory, written by the borrower that holds the element; giving back passes it on.
    bool m_retired;
};
