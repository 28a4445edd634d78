// The kill points' kernel calls on Linux: named events opened by name, and a sleep for ever.
#include "KxKillPoint.h"

#if defined(KXIPC_KILL_POINTS)

#include <unistd.h>

#include "CKxPosixNamedObject.h"
#include "KxPosixWaitable.h"

namespace {

// The existing named event, or null.
std::unique_ptr<CKxPosixNamedObject> OpenEvent(const char* eventName) {
    const std::string fileName = KxPosixObjectFileName(eventName);
    int error = 0;
    return fileName.empty() ? nullptr
                            : CKxPosixNamedObject::Open(fileName, KxPosixObjectKind::Event, &error);
}

}  // namespace

void KxKillPointSignal(const char* eventName) {
    if (const auto ready = OpenEvent(eventName)) {
        KxPosixSetEvent(static_cast<KxPosixEventState*>(ready->Payload()));
    }
}

bool KxKillPointAwait(const char* eventName) {
    const auto resume = OpenEvent(eventName);
    if (!resume) return false;
    KxPosixWaitable waitable =
        KxPosixEventWaitable(static_cast<KxPosixEventState*>(resume->Payload()));
    KxPosixWaitable* object = &waitable;
    KxPosixWaitForAny(&object, 1, 0xFFFFFFFFu);
    return true;
}

void KxKillPointBlock() {
    for (;;) pause();
}

#endif
