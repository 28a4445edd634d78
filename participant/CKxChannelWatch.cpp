// A channel's joins and quits, from its snapshots and its members' thread objects.
#include "CKxChannelWatch.h"

#include <algorithm>

#include "CIPCServiceFactorySingleton.h"
#include "CKxChannelSnapshot.h"
#include "CKxEvent.h"
#include "KxExceptions.h"
#include "KxLiveness.h"
#include "KxWaitFunctions.h"

CKxChannelWatch::CKxChannelWatch()
    : m_interrupt(new CKxEvent(true /*manualReset*/)), m_members(), m_count(0), m_looked(false) {}

CKxChannelWatch::~CKxChannelWatch() {
    for (std::uint32_t i = 0; i < m_count; ++i) delete m_members[i].thread;
    delete m_interrupt;
}

bool CKxChannelWatch::Look(const std::string& channelName, std::vector<KxMemberChange>* changes,
                           std::string* error) {
    CKxChannelSnapshot snapshot;
    bool exists = false;
    if (!snapshot.TakeIfExists(channelName, &exists, error)) return false;
    if (!exists && !m_looked) {
        *error = "no such channel " + channelName;
        return false;
    }
    m_looked = true;
    const std::vector<std::uint32_t> listed = snapshot.ParticipantIds();

    // Quits: threads that ended, and members no longer listed (their thread may have been seen to
    // end before; a listed one stays tracked so that it is not taken for a new member).
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < m_count; ++i) {
        Member& member = m_members[i];
        const bool stillListed = std::find(listed.begin(), listed.end(), member.id) != listed.end();
        if (!stillListed || (member.thread && member.thread->Wait(0))) Quit(i, changes);
        if (stillListed) m_members[kept++] = member;
    }
    m_count = kept;

    // Joins, in the list's order. The thread object of a member that cannot be opened is missing:
    // when the platform says its thread has ended, the member is dead already; otherwise (access
    // denied) only the list tells of its quit.
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    for (std::uint32_t id : listed) {
        if (Tracks(id) || m_count == kKxMaxParticipants) continue;
        Member& member = m_members[m_count];
        member = Member{id, nullptr, false};
        try {
            member.thread = factory->OpenThreadSyncObject(id);
        } catch (const CKxHandleSyncObjectException&) {
        }
        ++m_count;
        changes->push_back(KxMemberChange{id, true});
        if (!member.thread && KxThreadHasEnded(id)) Quit(m_count - 1, changes);
    }
    return true;
}

bool CKxChannelWatch::Wait(KxIPCTimeout timeoutMs) {
    CKxHandleSyncObject* objects[1 + kKxMaxParticipants];
    int count = 0;
    objects[count++] = m_interrupt;
    for (std::uint32_t i = 0; i < m_count; ++i) {
        if (m_members[i].thread) objects[count++] = m_members[i].thread;
    }
    return WaitForAny(objects, count, timeoutMs) == 0;
}

void CKxChannelWatch::Interrupt() { m_interrupt->Set(); }

void CKxChannelWatch::Origin(std::uint32_t id, std::uint32_t* processId, std::string* executable) {
    KxThreadOrigin(id, processId, executable);
}

void CKxChannelWatch::Quit(std::uint32_t index, std::vector<KxMemberChange>* changes) {
    Member& member = m_members[index];
    if (member.quit) return;
    member.quit = true;
    delete member.thread;
    member.thread = nullptr;
    changes->push_back(KxMemberChange{member.id, false});
}

bool CKxChannelWatch::Tracks(std::uint32_t id) const {
    for (std::uint32_t i = 0; i < m_count; ++i) {
        if (m_members[i].id == id) return true;
    }
    return false;
}
