// The named-event probe on Linux: opens the event's object in /dev/shm, which never creates.
#include "KxNamedEventProbe.h"

#include "CKxPosixNamedObject.h"
#include "KxPosixWaitable.h"

namespace {

std::unique_ptr<CKxPosixNamedObject> OpenEvent(const std::string& name) {
    int error = 0;
    const std::string file = KxPosixObjectFileName(name);
    return file.empty() ? nullptr
                        : CKxPosixNamedObject::Open(file, KxPosixObjectKind::Event, &error);
}

}  // namespace

bool KxNamedEventExists(const std::string& name) { return OpenEvent(name) != nullptr; }

bool KxSetNamedEvent(const std::string& name) {
    const auto event = OpenEvent(name);
    if (!event) return false;
    KxPosixSetEvent(static_cast<KxPosixEventState*>(event->Payload()));
    return true;
}
