// A Windows event, unnamed or named, manual-reset or auto-reset.
#pragma once

#include <string>

#include "CKxHandleSyncObject.h"

// Wait (inherited) waits for the signal; an auto-reset event goes back to unsignalled when one wait
// succeeds, a manual-reset event stays signalled (there is no reset operation). Release throws
// (inherited). Set and Wait may be called from any thread of any process holding the event.
class CKxEvent : public CKxHandleSyncObject {
public:
    // Unnamed, unsignalled. Throws CKxEventException if it cannot be created.
    explicit CKxEvent(bool manualReset);
    // Creates the event of that name unsignalled, or opens the existing one, which keeps its own
    // reset mode and state (manualReset then has no effect). Open security attributes; the name
    // goes to the platform unchanged. Throws CKxEventException if no handle results.
    CKxEvent(const std::string& name, bool manualReset);

    // Signals the event. Throws CKxEventException if SetEvent fails.
    void Set();
};
