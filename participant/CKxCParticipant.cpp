// The C interface's participant: C callbacks behind the handlers, and the announced members.
#include "CKxCParticipant.h"

#include <algorithm>

#include "KxChannelLayout.h"

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
      m_closed(false) {
    // The callbacks that announce members must not allocate: a handler that throws would end the
    // membership. A channel never has more other members than this.
    m_members.reserve(kKxMaxParticipants);
}

CKxCParticipant::~CKxCParticipant() {
    try {
        UninitializeParticipant();
    } catch (...) {
        // A destructor never throws; the base class's destructor stops the thread once more.
    }
}

void CKxCParticipant::Join() {
    {
        CKxSlimLock::Exclusive hold(m_membersLock);
        m_members.clear();
    }
    InitializeParticipant();
    m_joined = true;
}

void CKxCParticipant::LeaveJoined() {
    UninitializeParticipant();
    m_joined = false;
    CKxSlimLock::Exclusive hold(m_membersLock);
    m_members.clear();
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

std::uint32_t CKxCParticipant::Members(std::uint32_t* ids, std::uint32_t capacity) const {
    CKxSlimLock::Shared hold(m_membersLock);
    const std::uint32_t count = static_cast<std::uint32_t>(m_members.size());
    std::copy_n(m_members.begin(), std::min(count, capacity), ids);
    return count;
}

void CKxCParticipant::OnJoin(unsigned int participantId, bool joinedLater) {
    {
        CKxSlimLock::Exclusive hold(m_membersLock);
        if (std::find(m_members.begin(), m_members.end(), participantId) == m_members.end()) {
            m_members.push_back(participantId);
        }
    }
    CDispatchScope scope(this);
    if (m_callbacks.on_join) m_callbacks.on_join(m_user, participantId, joinedLater ? 1 : 0);
}

void CKxCParticipant::OnQuit(unsigned int participantId) {
    {
        CKxSlimLock::Exclusive hold(m_membersLock);
        m_members.erase(std::remove(m_members.begin(), m_members.end(), participantId),
                        m_members.end());
    }
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
