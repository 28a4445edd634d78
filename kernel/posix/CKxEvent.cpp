// Event wrapper on Linux: a futex word with its reset mode, in a named object when named.
#include "CKxEvent.h"

#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxPosixHandle.h"

namespace {

void InitEvent(void* payload, void* manualReset) {
    KxPosixInitEvent(static_cast<KxPosixEventState*>(payload), *static_cast<bool*>(manualReset));
}

}  // namespace

CKxEvent::CKxEvent(bool manualReset) {
    auto event = std::make_shared<KxPosixEventState>();
    KxPosixInitEvent(event.get(), manualReset);
    SetHandle(KxPosixNewHandle(KxPosixEventWaitable(event.get()), event));
}

CKxEvent::CKxEvent(const std::string& name, bool manualReset) {
    bool created = false;
    int error = 0;
    std::shared_ptr<CKxPosixNamedObject> object;
    if (!KX_FAILS_NAME(name.c_str())) {
        object = KxPosixOpenOrCreateNamed(name, KxPosixObjectKind::Event, sizeof(KxPosixEventState),
                                          InitEvent, &manualReset, &created, &error);
    }
    if (!object) throw CKxEventException("CKxEvent::CKxEvent -> could not create an event");
    auto* event = static_cast<KxPosixEventState*>(object->Payload());
    SetHandle(KxPosixNewHandle(KxPosixEventWaitable(event), std::move(object)));
}

void CKxEvent::Set() {
    // Only an event has an event state; Windows' SetEvent refuses every other handle too.
    KxPosixWaitable* handle = GetHandle();
    if (!handle || handle->kind != KxPosixWaitKind::Event) {
        throw CKxEventException("CKxEvent::Set -> error occurred in SetEvent");
    }
    KxPosixSetEvent(handle->event);
}
