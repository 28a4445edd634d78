// Acknowledge key, event name and event of one pool element.
#include "CKxIPCAcknowledgeEventPoolElement.h"

#include <cstdio>

#include "CKxEvent.h"

CKxIPCAcknowledgeEventPoolElement::CKxIPCAcknowledgeEventPoolElement(std::uint64_t sequence,
                                                                     std::uint32_t processId)
    : m_acknowledgeKey((static_cast<std::uint64_t>(processId) << 32) | sequence),
      m_event(nullptr),
      m_retired(false) {
    // Other processes rebuild this name from the key alone, so the text is a cross-process
    // contract. _snprintf is the platform runtime's own formatter, the one that knows %I64X
    // (MinGW's ISO printf replacement is not used here). 30 characters always fit in 128 bytes.
    char name[128];
    _snprintf(name, sizeof(name), "KX IPCAckEv 0x%016I64X",
              static_cast<unsigned long long>(m_acknowledgeKey));
    name[sizeof(name) - 1] = '\0';
    m_event = new CKxEvent(name, false /*manualReset*/);
}

CKxIPCAcknowledgeEventPoolElement::~CKxIPCAcknowledgeEventPoolElement() { delete m_event; }

std::uint64_t CKxIPCAcknowledgeEventPoolElement::GetAcknowledgeKey() const {
    return m_acknowledgeKey;
}

CKxEvent* CKxIPCAcknowledgeEventPoolElement::GetEvent() const { return m_event; }

void CKxIPCAcknowledgeEventPoolElement::NoteWaitEndedUnsignalled() { m_retired = true; }

bool CKxIPCAcknowledgeEventPoolElement::IsRetired() const { return m_retired; }
