// The named-event probe on Windows: OpenEvent, which never creates.
#include "KxNamedEventProbe.h"

#include "KxWindows.h"

bool KxNamedEventExists(const std::string& name) {
    const HANDLE event = OpenEventA(SYNCHRONIZE, FALSE /*bInheritHandle*/, name.c_str());
    if (event) CloseHandle(event);
    return event != nullptr;
}

bool KxSetNamedEvent(const std::string& name) {
    const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE /*bInheritHandle*/, name.c_str());
    if (!event) return false;
    SetEvent(event);
    CloseHandle(event);
    return true;
}
