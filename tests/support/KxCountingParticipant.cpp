// The counting test participant.
#include "KxCountingParticipant.h"

#include <algorithm>
#include <chrono>

CKxCountingParticipant::CKxCountingParticipant(const char* channel) : CkxIPCParticipant(channel) {}

CKxCountingParticipant::CKxCountingParticipant(const CKxCountingParticipant& other)
    : CkxIPCParticipant(other) {}

CKxCountingParticipant::~CKxCountingParticipant() {
    Release();
    UninitializeParticipant();
}

void CKxCountingParticipant::Hold() { m_hold = true; }

bool CKxCountingParticipant::WaitHeld(KxTimeout timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return m_held; });
}

void CKxCountingParticipant::Release() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_released = true;
    m_changed.notify_all();
}

std::vector<std::string> CKxCountingParticipant::Announcements() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_announcements;
}

bool CKxCountingParticipant::WaitAnnounced(const std::string& line, KxTimeout timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return std::find(m_announcements.begin(), m_announcements.end(), line) !=
               m_announcements.end();
    });
}

void CKxCountingParticipant::Announce(const std::string& line) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_announcements.push_back(line);
    m_changed.notify_all();
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
        std::unique_lock<std::mutex> hold(m_lock);
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(hold, [&] { return m_released; });
    }
}

void CKxCountingParticipant::OnReceive(unsigned int sender, unsigned int code, unsigned long long) {
    ++receives;
    if (onReceive) onReceive(sender, code);
}
