// The counting test participant.
#include "KxCountingParticipant.h"

#include <algorithm>
#include <chrono>

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

std::vector<std::string> CKxCountingParticipant::Announcements() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_announcements;
}

bool CKxCountingParticipant::WaitAnnounced(const std::string& line, DWORD timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_announced.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return std::find(m_announcements.begin(), m_announcements.end(), line) !=
               m_announcements.end();
    });
}

void CKxCountingParticipant::Announce(const std::string& line) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_announcements.push_back(line);
    m_announced.notify_all();
}

void CKxCountingParticipant::OnJoin(unsigned int id, bool joinedLater) {
    ++joins;
    Announce("join " + std::to_string(id) + (joinedLater ? " 1" : " 0"));
    if (onJoin) onJoin(id, joinedLater);
}

void CKxCountingParticipant::OnQuit(unsigned int id) {
    ++quits;
    Announce("quit " + std::to_string(id));
    if (onQuit) onQuit(id);
}

void CKxCountingParticipant::OnSyncMessage(unsigned int, unsigned int, unsigned long long param) {
    lastParam = param;
    ++syncs;
    if (m_hold) {
        SetEvent(m_held);
        WaitForSingleObject(m_released, INFINITE);
    }
}

void CKxCountingParticipant::OnReceive(unsigned int sender, unsigned int code, unsigned long long) {
    ++receives;
    if (onReceive) onReceive(sender, code);
}
