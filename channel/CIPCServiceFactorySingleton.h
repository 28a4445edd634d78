// The process-wide service factory: thread identity, thread objects, receive events, ack events.
#pragma once

#include <cstdint>

#include "CKxIPCAcknowledgeEventPoolManager.h"

class CKxEvent;
class CKxHandleSyncObject;
class CKxIPCAcknowledgeEventPoolElement;

// Exactly one instance per process, built in place in the library's static storage when the
// library is attached to the process (ConstructInstance) and destroyed in place when it is detached
// (DestroyInstance); it is never on the heap. Every caller asks GetInstance anew for each use and
// keeps no pointer. The operations of the table are called through it also from inside the
// class, in this slot order: destructor, GetCurrentThreadID, OpenThreadSyncObject,
// CreateReceiveEvent, CreateEventObject, AcquireAcknowledgeElement, ReleaseAcknowledgeElement,
// GetAcknowledgeEvent. SetAcknowledgeEvent, added later, is not virtual, so the table stays as it
// is. Any thread may call any operation; the only state is the pool, which guards itself. Nothing
// here catches an exception of the kernel wrappers: they reach the caller.
class CIPCServiceFactorySingleton {
public:
    // Nobody deletes the instance: DestroyInstance runs the destructor in place.
    virtual ~CIPCServiceFactorySingleton();

    CIPCServiceFactorySingleton(const CIPCServiceFactorySingleton&) = delete;
    CIPCServiceFactorySingleton& operator=(const CIPCServiceFactorySingleton&) = delete;

    // The calling thread's identifier; a participant's identifier is that of its waiting thread.
    virtual std::uint32_t GetCurrentThreadID();
    // A new object, owned by the caller, that is signalled when that thread ends. Throws
    // CKxHandleSyncObjectException when no such thread can be opened.
    virtual CKxHandleSyncObject* OpenThreadSyncObject(std::uint32_t threadId);
    // The participant's auto-reset receive event "KX IPCRcvEv 0x" + 8 upper-case hexadecimal
    // digits, created or opened: every process naming the same identifier reaches one kernel event.
    // New object owned by the caller. Throws CKxEventException.
    virtual CKxEvent* CreateReceiveEvent(std::uint32_t participantId);
    // A new auto-reset event owned by the caller: named (created or opened) or, for null, unnamed.
    // Throws CKxEventException.
    virtual CKxEvent* CreateEventObject(const char* name);
    // Lends an element of the process's pool; it comes back through ReleaseAcknowledgeElement.
    virtual CKxIPCAcknowledgeEventPoolElement* AcquireAcknowledgeElement();
    // Gives a lent element back (deleting it when it has retired); null does nothing.
    virtual void ReleaseAcknowledgeElement(CKxIPCAcknowledgeEventPoolElement* element);
    // The event of an acknowledge key of any process; owned by the pool, never deleted by callers,
    // valid until the pool closes it (CKxIPCAcknowledgeEventPoolManager::GetEventByKey).
    virtual CKxEvent* GetAcknowledgeEvent(std::uint64_t key);
    // Sets the event of an acknowledge key of any process, looked up and set under the pool's
    // lock. Throws CKxEventException.
    void SetAcknowledgeEvent(std::uint64_t key);

    // The instance; null only before ConstructInstance succeeded or after DestroyInstance.
    static CIPCServiceFactorySingleton* GetInstance();
    // Builds the instance in place (no-op returning true when it exists). false when the pool's
    // mutex or one of its events cannot be created; nothing is then left behind. Called once by
    // whoever attaches the library to the process, before any other thread can use it.
    static bool ConstructInstance();
    // Destroys the instance in place; no-op when there is none. Called once at detach, when no
    // other thread uses the library any more.
    static void DestroyInstance();

private:
    CIPCServiceFactorySingleton();

    CKxIPCAcknowledgeEventPoolManager m_pool;
};
