// The recording test participant.
#include "KxRecordingParticipant.h"

#include <algorithm>
#include <chrono>
#include <utility>

CKxRecordingParticipant::CKxRecordingParticipant(const char* channelName)
    : CkxIPCParticipant(channelName) {}

CKxRecordingParticipant::~CKxRecordingParticipant() { UninitializeParticipant(); }

void CKxRecordingParticipant::SetHook(Hook hook) { m_hook = std::move(hook); }

void CKxRecordingParticipant::AddNote(unsigned int value) {
    Record(KxParticipantEvent::kNote, value, false, 0, 0);
}

std::vector<KxParticipantEvent> CKxRecordingParticipant::Events() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_events;
}

size_t CKxRecordingParticipant::Count(const KxEventMatch& match) const {
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<size_t>(std::count_if(m_events.begin(), m_events.end(), match));
}

bool CKxRecordingParticipant::WaitFor(const KxEventMatch& match, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_recorded.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return std::any_of(m_events.begin(), m_events.end(), match);
    });
}

KxEventMatch CKxRecordingParticipant::Join(unsigned int id, bool joinedLater) {
    return [=](const KxParticipantEvent& e) {
        return e.kind == KxParticipantEvent::kJoin && e.id == id && e.joinedLater == joinedLater;
    };
}

KxEventMatch CKxRecordingParticipant::Quit(unsigned int id) {
    return [=](const KxParticipantEvent& e) {
        return e.kind == KxParticipantEvent::kQuit && e.id == id;
    };
}

KxEventMatch CKxRecordingParticipant::Sync(unsigned int sender, unsigned int code) {
    return [=](const KxParticipantEvent& e) {
        return e.kind == KxParticipantEvent::kSync && e.id == sender && e.code == code;
    };
}

KxEventMatch CKxRecordingParticipant::Receive(unsigned int sender, unsigned int code) {
    return [=](const KxParticipantEvent& e) {
        return e.kind == KxParticipantEvent::kReceive && e.id == sender && e.code == code;
    };
}

KxEventMatch CKxRecordingParticipant::Note(unsigned int value) {
    return [=](const KxParticipantEvent& e) {
        return e.kind == KxParticipantEvent::kNote && e.id == value;
    };
}

KxEventMatch CKxRecordingParticipant::AnyOf(KxParticipantEvent::Kind kind) {
    return [=](const KxParticipantEvent& e) { return e.kind == kind; };
}

void CKxRecordingParticipant::OnJoin(unsigned int participantId, bool joinedLater) {
    Record(KxParticipantEvent::kJoin, participantId, joinedLater, 0, 0);
}

void CKxRecordingParticipant::OnQuit(unsigned int participantId) {
    Record(KxParticipantEvent::kQuit, participantId, false, 0, 0);
}

void CKxRecordingParticipant::OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                                            unsigned long long param) {
    Record(KxParticipantEvent::kSync, senderId, false, messageCode, param);
}

void CKxRecordingParticipant::OnReceive(unsigned int senderId, unsigned int messageCode,
                                        unsigned long long param) {
    Record(KxParticipantEvent::kReceive, senderId, false, messageCode, param);
}

void CKxRecordingParticipant::Record(KxParticipantEvent::Kind kind, unsigned int id,
                                     bool joinedLater, unsigned int code,
                                     unsigned long long param) {
    const KxParticipantEvent event{kind, id, joinedLater, code, param, GetCurrentThreadId()};
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_events.push_back(event);
    }
    m_recorded.notify_all();
    // Notes come from hooks themselves; only handler calls reach the hook.
    if (m_hook && kind != KxParticipantEvent::kNote) m_hook(*this, event);
}
