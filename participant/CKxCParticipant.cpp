// The C interface's participant: C callbacks behind the handlers.
#include "CKxCParticipant.h"

namespace {

// The participant whose callback runs on this thread (a waiting thread serves one participant).
thread_local const CKxCParticipant* t_dispatching = nullptr;

}  // namespace

class CKxCParticipant::CDispatchScope {
public:
    explicit CDispatchScope(const CKxCParticipant* participant) : m_previous(t_dispatching) {
        t_dispatching = participant;
    }
    // Restores on every path: a callback entered again (a send inside a callback dispatches) ends
    // inside the outer one.
    ~CDispatchScope() { t_dispatching = m_previous; }
    CDispatchScope(const CDispatchScope&) = delete;
    CDispatchScope& operator=(const CDispatchScope&) = delete;

private:
    const CKxCParticipant* const m_previous;
};

CKxCParticipant::CKxCParticipant(const char* channel, const kxipc_callbacks& callbacks, void* user)
    : CkxIPCParticipant(channel),
      m_callbacks(callbacks),
      m_user(user),
      m_joined(false),
      m_closed(false) {}

CKxCParticipant::~CKxCParticipant() {
    try {
        UninitializeParticipant();
    } catch (...) {
        // A destructor never throws; the base class's destructor stops the thread once more.
    }
}

void CKxCParticipant::Join() {
    InitializeParticipant();
    m_joined = true;
}

void CKxCParticipant::LeaveJoined() {
    UninitializeParticipant();
    m_joined = false;
}

bool CKxCParticipant::Leave() {
    CKxSlimLock::Exclusive hold(m_membership);
    if (m_closed || !m_joined) return false;
    LeaveJoined();
    return true;
}

bool CKxCParticipant::Rejoin() {
    CKxSlimLock::Exclusive hold(m_membership);
    if (m_closed || m_joined) return false;
    Join();
    return true;
}

bool CKxCParticipant::Close() {
    CKxSlimLock::Exclusive hold(m_membership);
    if (m_closed) return false;
    if (m_joined) LeaveJoined();
    m_closed = true;
    return true;
}

bool CKxCParticipant::IsClosed() const { return m_closed; }

bool CKxCParticipant::IsJoined() const { return m_joined; }

bool CKxCParticipant::IsDispatchingHere() const { return t_dispatching == this; }

void CKxCParticipant::OnJoin(unsigned int participantId, bool joinedLater) {
    CDispatchScope scope(this);
    if (m_callbacks.on_join) m_callbacks.on_join(m_user, participantId, joinedLater ? 1 : 0);
}

void CKxCParticipant::OnQuit(unsigned int participantId) {
    CDispatchScope scope(this);
    if (m_callbacks.on_quit) m_callbacks.on_quit(m_user, participantId);
}

void CKxCParticipant::OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                                    unsigned long long param) {
    CDispatchScope scope(this);
    if (m_callbacks.on_sync_message)
        m_callbacks.on_sync_message(m_user, senderId, messageCode, param);
}

void CKxCParticipant::OnReceive(unsigned int senderId, unsigned int messageCode,
                                unsigned long long param) {
    CDispatchScope scope(this);
    if (m_callbacks.on_receive) m_callbacks.on_receive(m_user, senderId, messageCode, param);
}
