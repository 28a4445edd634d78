// One run of a participant's waiting thread: start and stop handshakes, ownership, references.
#include "CKxParticipantRun.h"

#include <utility>

#include "CIPCChannelLock.h"
#include "CIPCCommunicationChannel.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CkxIPCMessage.h"
#include "CkxIPCParticipant.h"
#include "KxChannelLayout.h"
#include "KxScopeGuard.h"
#include "kxipc_c.h"
#include "KxWaitFunctions.h"

namespace {

// Guards every participant's waiting-thread slot of the process, but only for the few instructions
// that read or change a slot and count a reference: never across a kernel call, so that no
// participant ever waits through it for another's channel.
CKxSlimLock g_slots;

}  // namespace

CKxParticipantRun::Reference::Reference(CKxThread* const& slot) : m_run(nullptr) {
    CKxSlimLock::Shared hold(g_slots);
    m_run = static_cast<CKxParticipantRun*>(slot);
    if (m_run) m_run->AddReference();
}

CKxParticipantRun::Reference::~Reference() {
    if (m_run) m_run->ReleaseReference();
}

CKxParticipantRun::CKxParticipantRun(CkxIPCParticipant* participant) : m_participant(participant) {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    m_joinElement = factory->AcquireAcknowledgeElement();
    TKxScopeGuard giveBack([this, factory] { factory->ReleaseAcknowledgeElement(m_joinElement); });
    m_joinKey = m_joinElement->GetAcknowledgeKey();
    m_startedEvent.reset(new CKxEvent(true /*manualReset*/));
    m_stopEvent.reset(new CKxEvent(true /*manualReset*/));
    giveBack.Dismiss();
}

CKxParticipantRun::~CKxParticipantRun() {
    // Members go only once the thread that uses them has ended.
    try {
        if (GetHandle()) Wait(INFINITE);
    } catch (...) {
    }
    delete m_channel;  // only when the thread never got to close it (it died with an exception)
    if (m_joinElement) {
        // Nobody saw the join's acknowledgement: one may still come, so the element is retired.
        m_joinElement->NoteWaitEndedUnsignalled();
        CIPCServiceFactorySingleton::GetInstance()->ReleaseAcknowledgeElement(m_joinElement);
    }
}

void CKxParticipantRun::Publish(CKxThread*& slot, CKxParticipantRun* run) {
    CKxSlimLock::Exclusive hold(g_slots);
    slot = run;
}

void CKxParticipantRun::Reap(CKxThread*& slot) {
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(slot);
    if (!run) return;
    // The slot keeps the run until its thread has ended: the thread finds its run there.
    try {
        if (run->GetHandle()) run->Wait(INFINITE);
    } catch (...) {
    }
    {
        CKxSlimLock::Exclusive hold(g_slots);
        slot = nullptr;
    }
    run->ReleaseReference();
}

void CKxParticipantRun::ReleaseReference() {
    if (m_references.fetch_sub(1) == 1) delete this;
}

bool CKxParticipantRun::IsOwnThread() const {
    return CIPCServiceFactorySingleton::GetInstance()->GetCurrentThreadID() == GetThreadId();
}

bool CKxParticipantRun::WaitStarted(unsigned long timeoutMs) {
    CKxHandleSyncObject* started = m_startedEvent.get();
    return WaitForAll(&started, 1, timeoutMs);
}

void CKxParticipantRun::WaitJoinAcknowledged(unsigned long timeoutMs) {
    CKxHandleSyncObject* joined = m_joinElement->GetEvent();
    const bool acknowledged = WaitForAll(&joined, 1, timeoutMs);
    CKxIPCAcknowledgeEventPoolElement* element = nullptr;
    {
        // Notices queued from now on ask for no acknowledgement; the thread sets the element's
        // event itself only under this lock, so it never touches an element given back.
        CKxSlimLock::Exclusive hold(m_phaseLock);
        m_joinKey = 0;
        // Every member acknowledged: nothing can signal the element any more. Otherwise the run
        // keeps it, and retires it at its end.
        if (acknowledged) std::swap(element, m_joinElement);
    }
    if (element) CIPCServiceFactorySingleton::GetInstance()->ReleaseAcknowledgeElement(element);
}

CKxEvent* CKxParticipantRun::JoinEvent() const {
    // Asked for only while the thread registers, before the initialising thread can give the
    // element back.
    return m_joinElement->GetEvent();
}

bool CKxParticipantRun::RequestStop() {
    bool serving = false;
    {
        CKxSlimLock::Exclusive hold(m_phaseLock);
        m_stopRequested = true;
        serving = m_phase == Phase::Serving;
    }
    m_stopEvent->Set();
    return serving;
}

bool CKxParticipantRun::HasEndedServing() {
    CKxSlimLock::Shared hold(m_phaseLock);
    return m_phase == Phase::Ended;
}

bool CKxParticipantRun::StopRequested() {
    CKxSlimLock::Shared hold(m_phaseLock);
    return m_stopRequested;
}

bool CKxParticipantRun::BeginServing() {
    CKxSlimLock::Exclusive hold(m_phaseLock);
    if (m_stopRequested) return false;
    m_phase = Phase::Serving;
    m_participant->m_stopped = false;
    return true;
}

void CKxParticipantRun::EndServing() {
    CKxSlimLock::Exclusive hold(m_phaseLock);
    m_phase = Phase::Ended;
    m_participant->m_stopped = true;
}

void CKxParticipantRun::SignalStarted() { m_startedEvent->Set(); }

void CKxParticipantRun::SetReceiveEvent(CKxEvent* event) { m_receiveEvent.reset(event); }

void CKxParticipantRun::PublishChannel(CIPCCommunicationChannel* channel) {
    CKxSlimLock::Exclusive hold(m_channelLock);
    m_channel = channel;
}

void CKxParticipantRun::CloseChannel() {
    CIPCCommunicationChannel* channel = nullptr;
    {
        CKxSlimLock::Exclusive hold(m_channelLock);  // waits for senders still using it
        channel = m_channel;
        m_channel = nullptr;
    }
    delete channel;
}

void CKxParticipantRun::SetJoinNoticePending(unsigned int count, const unsigned int* ids) {
    m_noticeRecipientCount = count;
    for (unsigned int i = 0; i < count; ++i) m_noticeRecipients[i] = ids[i];
}

void CKxParticipantRun::RetryJoinNotice() {
    // Only members still registered can take the notice; those that joined since learned of this
    // participant from the list when they started.
    unsigned int recipients[kKxMaxParticipants];
    unsigned int count = 0;
    for (unsigned int i = 0; i < m_noticeRecipientCount; ++i) {
        if (m_channel->IsParticipant(m_noticeRecipients[i]))
            recipients[count++] = m_noticeRecipients[i];
    }
    if (count == 0) {
        // Nobody is left to acknowledge: the join is as acknowledged as it will ever be.
        CKxSlimLock::Shared hold(m_phaseLock);
        if (m_joinKey != 0) m_joinElement->GetEvent()->Set();
        m_noticeRecipientCount = 0;
        return;
    }
    const std::uint64_t key = JoinKey();
    CkxIPCMessage notice;
    notice.SetSenderID(m_participant->m_participantId);
    notice.SetMessageCode(kKxJoinNoticeCode);
    notice.SetParam(0);
    notice.SetAcknowledgeKey(key);
    if (m_channel->AddMessage(count, recipients, &notice)) m_noticeRecipientCount = 0;
}

void CKxParticipantRun::BeginAcknowledgement(std::uint32_t position) {
    // The ring holds at most kMaxEntries entries of one recipient, so the queue cannot overflow;
    // a hostile segment that pretends otherwise loses the oldest, which RemoveParticipant
    // acknowledges at the end.
    if (m_begunCount == CKxMessageRing::kMaxEntries) NextAcknowledgement();
    m_begun[(m_begunFirst + m_begunCount++) % CKxMessageRing::kMaxEntries] = position;
}

std::uint32_t CKxParticipantRun::NextAcknowledgement() {
    const std::uint32_t position = m_begun[m_begunFirst];
    m_begunFirst = (m_begunFirst + 1) % CKxMessageRing::kMaxEntries;
    --m_begunCount;
    return position;
}

bool CKxParticipantRun::AddMessage(unsigned int count, const unsigned int* ids,
                                   const CkxIPCMessage* message, std::uint32_t* position,
                                   kxipc_send_report* report) {
    if (report) {
        report->refusal = KXIPC_REFUSED_NOT_RUNNING;
        report->count = 0;
    }
    CKxSlimLock::Shared hold(m_channelLock);
    if (m_participant->m_stopped || m_channel == nullptr) return false;
    CIPCChannelLock lock(m_channel);
    if (ids == nullptr) {
        // The list the waiting thread rebuilds under this same lock.
        count = m_participant->m_otherCount;
        ids = m_participant->m_otherIds;
    }
    const bool queued = m_channel->AddMessage(count, ids, message, position);
    if (report) {
        report->count = count < KXIPC_MAX_TARGETS ? count : KXIPC_MAX_TARGETS;
        report->refusal = queued       ? KXIPC_QUEUED
                          : count == 0 ? KXIPC_REFUSED_NO_TARGETS
                                       : KXIPC_REFUSED_NO_ROOM;
        for (unsigned int i = 0; i < report->count; ++i) {
            report->targets[i] = ids[i];
            report->outcomes[i] = KXIPC_TARGET_NOT_QUEUED;
            if (!queued && !m_channel->IsParticipant(ids[i])) {
                report->outcomes[i] = KXIPC_TARGET_ABSENT;
                report->refusal = KXIPC_REFUSED_ABSENT;
            }
        }
    }
    return queued;
}

void CKxParticipantRun::ReportOutcomes(std::uint32_t position, std::uint64_t key,
                                       bool acknowledgedByAll, kxipc_send_report* report) {
    std::uint32_t states[KXIPC_MAX_TARGETS];
    CKxSlimLock::Shared hold(m_channelLock);
    if (m_channel == nullptr) {
        // The run has ended meanwhile: what the signal said is all there is to know.
        for (unsigned int i = 0; i < report->count; ++i) {
            report->outcomes[i] =
                acknowledgedByAll ? KXIPC_TARGET_ACKNOWLEDGED : KXIPC_TARGET_PENDING;
        }
        return;
    }
    CIPCChannelLock lock(m_channel);
    const bool stillQueued =
        !acknowledgedByAll && m_channel->RecipientStates(position, key, report->count, states);
    for (unsigned int i = 0; i < report->count; ++i) {
        // A member's removal acknowledges its entries, so an unregistered target has departed
        // whatever its entry shows, and a registered one answered exactly when its entry is done.
        const bool answered = !stillQueued || states[i] == CKxMessageRing::kStateAcknowledged;
        report->outcomes[i] = !m_channel->IsParticipant(report->targets[i]) ? KXIPC_TARGET_DEPARTED
                              : answered ? KXIPC_TARGET_ACKNOWLEDGED
                                         : KXIPC_TARGET_PENDING;
    }
}
