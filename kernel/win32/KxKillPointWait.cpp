// The kill points' kernel calls on Windows: named events opened by name, and a sleep for ever.
#include "KxKillPoint.h"

#if defined(KXIPC_KILL_POINTS)

#include "KxWindows.h"
#include "TKxUniqueHandle.h"

void KxKillPointSignal(const char* eventName) {
    if (const KxUniqueWaitable ready{
            OpenEventA(EVENT_MODIFY_STATE, FALSE /*bInheritHandle*/, eventName)}) {
        SetEvent(ready.Get());
    }
}

bool KxKillPointAwait(const char* eventName) {
    const KxUniqueWaitable resume{OpenEventA(SYNCHRONIZE, FALSE /*bInheritHandle*/, eventName)};
    if (!resume) return false;
    WaitForSingleObject(resume.Get(), INFINITE);
    return true;
}

void KxKillPointBlock() {
    for (;;) Sleep(INFINITE);
}

#endif
