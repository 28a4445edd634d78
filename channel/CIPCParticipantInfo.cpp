// A channel member's thread object and receive event, opened through the service factory.
#include "CIPCParticipantInfo.h"

#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxHandleSyncObject.h"
#include "KxScopeGuard.h"

CIPCParticipantInfo::CIPCParticipantInfo(std::uint32_t participantId)
    : m_participantId(participantId), m_threadObject(nullptr) {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    m_threadObject = factory->OpenThreadSyncObject(participantId);
    TKxScopeGuard closeThread([this] { delete m_threadObject; });
    m_receiveEvent.reset(factory->CreateReceiveEvent(participantId));
    closeThread.Dismiss();
}

CIPCParticipantInfo::~CIPCParticipantInfo() { delete m_threadObject; }
