// Acknowledge key, event name and event of one pool element.
#include "CKxIPCAcknowledgeEventPoolElement.h"

#include <string>

#include "CKxEvent.h"
#include "KxChannelLayout.h"

CKxIPCAcknowledgeEventPoolElement::CKxIPCAcknowledgeEventPoolElement(std::uint64_t sequence,
                                                                     std::uint32_t processId)
    : m_acknowledgeKey((static_cast<std::uint64_t>(processId) << 32) | sequence),
      m_event(nullptr),
      m_retired(false) {
    // Other processes rebuild this name from the key alone: the text is a cross-process contract.
    const std::string name = KxAcknowledgeEventName(m_acknowledgeKey);
    m_event = new CKxEvent(name, false /*manualReset*/);
}

CKxIPCAcknowledgeEventPoolElement::~CKxIPCAcknowledgeEventPoolElement() { delete m_event; }

std::uint64_t CKxIPCAcknowledgeEventPoolElement::GetAcknowledgeKey() const {
    return m_acknowledgeKey;
}

CKxEvent* CKxIPCAcknowledgeEventPoolElement::GetEvent() const { return m_event; }

void CKxIPCAcknowledgeEventPoolElement::NoteWaitEndedUnsignalled() { m_retired = true; }

bool CKxIPCAcknowledgeEventPoolElement::IsRetired() const { return m_retired; }
