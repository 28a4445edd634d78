// Event wrapper.
#include "CKxEvent.h"

#include "CKxOpenSecurityAttributes.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"

CKxEvent::CKxEvent(bool manualReset) {
    m_handle = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE /*bInitialState*/, nullptr);
    if (!m_handle) throw CKxEventException("CKxEvent::CKxEvent -> could not create an event");
}

CKxEvent::CKxEvent(const std::string& name, bool manualReset) {
    CKxOpenSecurityAttributes security;
    m_handle = KX_FAILS_NAME(name.c_str())
                   ? nullptr
                   : CreateEventA(security.Get(), manualReset ? TRUE : FALSE,
                                  FALSE /*bInitialState*/, name.c_str());
    if (!m_handle) throw CKxEventException("CKxEvent::CKxEvent -> could not create an event");
}

void CKxEvent::Set() {
    if (!SetEvent(m_handle)) throw CKxEventException("CKxEvent::Set -> error occurred in SetEvent");
}
