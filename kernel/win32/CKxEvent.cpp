// Event wrapper.
#include "CKxEvent.h"

#include "CKxOpenSecurityAttributes.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxWindows.h"

CKxEvent::CKxEvent(bool manualReset) {
    SetHandle(CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE /*bInitialState*/, nullptr));
    if (!GetHandle()) throw CKxEventException("CKxEvent::CKxEvent -> could not create an event");
}

CKxEvent::CKxEvent(const std::string& name, bool manualReset) {
    CKxOpenSecurityAttributes security;
    SetHandle(KX_FAILS_NAME(name.c_str()) ? nullptr
                                          : CreateEventA(security.Get(), manualReset ? TRUE : FALSE,
                                                         FALSE /*bInitialState*/, name.c_str()));
    if (!GetHandle()) throw CKxEventException("CKxEvent::CKxEvent -> could not create an event");
}

void CKxEvent::Set() {
    if (!SetEvent(GetHandle()))
        throw CKxEventException("CKxEvent::Set -> error occurred in SetEvent");
}
