// The abstract lockable object: everything the library waits on or locks offers Wait and Release.
#pragma once

#include "KxPlatformTypes.h"

// Implementations: CKxHandleSyncObject (mutex, event, thread) and CKxSharedMemory. Objects of the
// family are created on the heap, held by pointer and never copied.
class CKxSynchronizationObject {
public:
    virtual ~CKxSynchronizationObject();

    // Obtains the object (a mutex) or waits for its signal (an event, a thread). timeout is in
    // milliseconds, kKxWaitForever for no limit. true: obtained or signalled; false: the time-out
    // ran out. Throws a CKxBaseException of the implementation on failure.
    virtual bool Wait(KxTimeout timeout) = 0;
    // Gives back what Wait obtained; throws where the object has nothing to give back.
    virtual void Release() = 0;
};
