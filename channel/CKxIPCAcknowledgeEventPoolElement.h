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

    // For the borrower of a lent element, before it queues the key: takes away a signal that an
    // acknowledgement left after an earlier borrower had stopped waiting, so that it cannot end
    // this borrower's wait. Asks the kernel (a wait with time-out 0) only while such a signal is
    // possible: before the first borrow (the event may have been opened, already set) and for
    // ever after any borrower's wait ended without the signal. Throws what CKxEvent::Wait throws.
    void ConsumeStaleSignal();
    // For the borrower: its key was queued (or may have been) and its wait ended without the
    // event's signal (time-out, stop, exception). An acknowledgement may set the event at any
    // later time, so from now on every borrower consumes first.
    void NoteWaitEndedUnsignalled();

private:
    std::uint64_t m_acknowledgeKey;
    CKxEvent* m_event;
    // Process memory only, touched by the one borrower that holds the element (lending and giving
    // back pass it between threads under the pool mutex).
    bool m_staleSignalPossible;   // ConsumeStaleSignal must wait
    bool m_waitEndedUnsignalled;  // sticky: some borrower's acknowledgement may still come
};
