// The counting test participant.
#include "KxCountingParticipant.h"

namespace {

HANDLE ManualResetEvent() {
    return CreateEventA(nullptr, TRUE /*bManualReset*/, FALSE /*bInitialState*/, nullptr);
}

}  // namespace

CKxCountingParticipant::CKxCountingParticipant(const char* channel)
    : CkxIPCParticipant(channel), m_held(ManualResetEvent()), m_released(ManualResetEvent()) {}

CKxCountingParticipant::CKxCountingParticipant(const CKxCountingParticipant& other)
    : CkxIPCParticipant(other), m_held(ManualResetEvent()), m_released(ManualResetEvent()) {}

CKxCountingParticipant::~CKxCountingParticipant() {
    Release();
    UninitializeParticipant();
    CloseHandle(m_held);
    CloseHandle(m_released);
}

void CKxCountingParticipant::Hold() { m_hold = true; }

bool CKxCountingParticipant::WaitHeld(DWORD timeoutMs) {
    return WaitForSingleObject(m_held, timeoutMs) == WAIT_OBJECT_0;
}

void CKxCountingParticipant::Release() { SetEvent(m_released); }

void CKxCountingParticipant::OnJoin(unsigned int, bool) { ++joins; }

void CKxCountingParticipant::OnQuit(unsigned int) { ++quits; }

void CKxCountingParticipant::OnSyncMessage(unsigned int, unsigned int, unsigned long long param) {
    lastParam = param;
    ++syncs;
    if (m_hold) {
        SetEvent(m_held);
        WaitForSingleObject(m_released, INFINITE);
    }
}

void CKxCountingParticipant::OnReceive(unsigned int, unsigned int, unsigned long long) {
    ++receives;
}
