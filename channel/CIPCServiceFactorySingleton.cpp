// The service factory's operations and its in-place lifetime in static storage.
#include "CIPCServiceFactorySingleton.h"

#include <new>
#include <string>

#include "CKxEvent.h"
#include "KxChannelLayout.h"
#include "KxExceptions.h"
#include "KxLiveness.h"

namespace {

// Raw storage rather than a static object: construction and destruction happen exactly when the
// library is attached and detached, and a failure at attach can be reported instead of escaping
// the loader.
alignas(CIPCServiceFactorySingleton) unsigned char g_instanceStorage[sizeof(
    CIPCServiceFactorySingleton)];
CIPCServiceFactorySingleton* g_instance = nullptr;

}  // namespace

CIPCServiceFactorySingleton::CIPCServiceFactorySingleton() = default;

CIPCServiceFactorySingleton::~CIPCServiceFactorySingleton() = default;

std::uint32_t CIPCServiceFactorySingleton::GetCurrentThreadID() { return KxCurrentThreadId(); }

CKxHandleSyncObject* CIPCServiceFactorySingleton::OpenThreadSyncObject(std::uint32_t threadId) {
    return KxOpenThreadWaitable(threadId);
}

CKxEvent* CIPCServiceFactorySingleton::CreateReceiveEvent(std::uint32_t participantId) {
    // Every process derives this name from the identifier alone.
    const std::string name = KxReceiveEventName(participantId);
    // A virtual call: an override decides how events are made.
    return CreateEventObject(name.c_str());
}

CKxEvent* CIPCServiceFactorySingleton::CreateEventObject(const char* name) {
    if (!name) return new CKxEvent(false /*manualReset*/);
    return new CKxEvent(name, false /*manualReset*/);
}

CKxIPCAcknowledgeEventPoolElement* CIPCServiceFactorySingleton::AcquireAcknowledgeElement() {
    return m_pool.AcquireElement();
}

void CIPCServiceFactorySingleton::ReleaseAcknowledgeElement(
    CKxIPCAcknowledgeEventPoolElement* element) {
    m_pool.ReleaseElement(element);
}

CKxEvent* CIPCServiceFactorySingleton::GetAcknowledgeEvent(std::uint64_t key) {
    return m_pool.GetEventByKey(key);
}

void CIPCServiceFactorySingleton::SetAcknowledgeEvent(std::uint64_t key) {
    m_pool.SetEventByKey(key);
}

CIPCServiceFactorySingleton* CIPCServiceFactorySingleton::GetInstance() { return g_instance; }

bool CIPCServiceFactorySingleton::ConstructInstance() {
    if (g_instance) return true;
    try {
        g_instance = new (g_instanceStorage) CIPCServiceFactorySingleton();
    } catch (const CKxBaseException&) {
        return false;  // the pool's constructor has already undone its own half-done work
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void CIPCServiceFactorySingleton::DestroyInstance() {
    if (!g_instance) return;
    g_instance->~CIPCServiceFactorySingleton();
    g_instance = nullptr;
}
