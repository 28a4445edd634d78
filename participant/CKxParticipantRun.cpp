// One run of a participant's waiting thread: joining, the dispatch loop, announcements, leaving.
#include "CKxParticipantRun.h"

#include <algorithm>
#include <utility>

#include "CIPCChannelLock.h"
#include "CIPCCommunicationChannel.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxComApartment.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CkxIPCMessage.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxScopeGuard.h"
#include "KxSystemScope.h"
#include "KxWaitFunctions.h"
#include "kxipc_c.h"

namespace {

const std::uint32_t kWaitingThreadStackBytes = 0x80000;
// How often a join notice that found the queue full is tried again while the queue drains.
const KxTimeout kNoticeRetryMs = 20;

// Guards every participant's waiting-thread slot of the process, but only for the few instructions
// that read or change a slot and count a reference: never across a kernel call, so that no
// participant ever waits through it for another's channel.
CKxSlimLock g_slots;

// The run whose thread this is: the thread's own fact, set once at its start.
thread_local CKxParticipantRun* t_run = nullptr;

bool Contains(const unsigned int* ids, unsigned int count, unsigned int id) {
    return std::find(ids, ids + count, id) != ids + count;
}

}  // namespace

CKxParticipantRun::Reference::Reference(CKxThread* const& slot) : m_run(nullptr) {
    CKxSlimLock::Shared hold(g_slots);
    m_run = static_cast<CKxParticipantRun*>(slot);
    if (m_run) m_run->AddReference();
}

CKxParticipantRun::Reference::~Reference() {
    if (m_run) m_run->ReleaseReference();
}

CKxParticipantRun::CKxParticipantRun(std::unique_ptr<CKxParticipantHandlers> handlers,
                                     const char* channelName, CKxParticipantRun* previous)
    : m_handlers(std::move(handlers)), m_channelName(channelName), m_previous(previous) {
    TKxScopeGuard giveBackPrevious([previous] {
        if (previous) previous->ReleaseReference();
    });
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    // Absent only where a failed load could not be refused (Linux): the pool's events are missing.
    if (!factory) throw CKxEventException("CKxEvent::CKxEvent -> could not create an event");
    m_joinElement = factory->AcquireAcknowledgeElement();
    TKxScopeGuard giveBack([this, factory] { factory->ReleaseAcknowledgeElement(m_joinElement); });
    m_joinKey = m_joinElement->GetAcknowledgeKey();
    m_startedEvent.reset(new CKxEvent(true /*manualReset*/));
    m_stopEvent.reset(new CKxEvent(true /*manualReset*/));
    giveBack.Dismiss();
    giveBackPrevious.Dismiss();
}

CKxParticipantRun::~CKxParticipantRun() {
    // Members go only once the thread that uses them has ended.
    try {
        if (GetHandle()) Wait(kKxWaitForever);
    } catch (...) {
    }
    delete m_channel;
    if (m_joinElement) {
        // Nobody saw the join's acknowledgement: one may still come, so the element is retired.
        m_joinElement->NoteWaitEndedUnsignalled();
        CIPCServiceFactorySingleton::GetInstance()->ReleaseAcknowledgeElement(m_joinElement);
    }
    if (m_previous) m_previous->ReleaseReference();
}

void CKxParticipantRun::Publish(CKxThread*& slot, CKxParticipantRun* run) {
    CKxSlimLock::Exclusive hold(g_slots);
    slot = run;
}

CKxParticipantRun* CKxParticipantRun::Withdraw(CKxThread*& slot) {
    CKxSlimLock::Exclusive hold(g_slots);
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(slot);
    slot = nullptr;
    return run;
}

void CKxParticipantRun::Reap(CKxThread*& slot) {
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(slot);
    if (!run) return;
    // The slot keeps the run until its thread has ended.
    try {
        if (run->GetHandle()) run->Wait(kKxWaitForever);
    } catch (...) {
    }
    Withdraw(slot);
    run->ReleaseReference();
}

void CKxParticipantRun::ReleaseReference() {
    if (m_references.fetch_sub(1) == 1) delete this;
}

CKxParticipantRun* CKxParticipantRun::Current() { return t_run; }

int CKxParticipantRun::WaitDispatching(CKxHandleSyncObject** objects, unsigned int count,
                                       KxTimeout timeoutMs) {
    CKxParticipantRun* run = Current();
    if (run && run->m_accepting) return run->Dispatch(objects, count, timeoutMs);
    return WaitForAny(objects, static_cast<int>(count), timeoutMs);
}

void CKxParticipantRun::Wake(Wakes* wakes) {
    KX_KILL_POINT("participant.wake.after-release");
    for (std::uint32_t i = 0; i < wakes->count; ++i) wakes->events[i]->Set();
}

bool CKxParticipantRun::WakeAndWait(Wakes* wakes, CKxHandleSyncObject* object,
                                    KxTimeout timeoutMs) {
    CKxParticipantRun* run = Current();
    if (run && run->m_accepting) {
        Wake(wakes);
        KX_KILL_POINT("participant.send.waiting-dispatching");
        return run->Dispatch(&object, 1, timeoutMs) == 0;
    }
    KX_KILL_POINT("participant.wake.after-release");
    if (wakes->count == 0) return WaitForAny(&object, 1, timeoutMs) == 0;
    const std::uint32_t last = wakes->count - 1;
    for (std::uint32_t i = 0; i < last; ++i) wakes->events[i]->Set();
    KX_KILL_POINT("participant.wake.before-wait");
    return SignalAndWait(wakes->events[last].get(), object, timeoutMs);
}

void CKxParticipantRun::Start() {
    Create(&CKxParticipantRun::Main, this, false /*suspended*/, kWaitingThreadStackBytes,
           true /*secure*/);
}

unsigned KX_THREAD_CALL CKxParticipantRun::Main(void* argument) {
    KX_KILL_POINT("participant.thread.start");
    if (!argument) return 1;
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(argument);
    t_run = run;
    run->m_id = CIPCServiceFactorySingleton::GetInstance()->GetCurrentThreadID();
    // Every handler runs in a single-threaded apartment.
    const CKxComApartment apartment;
    return run->Serve() ? 0 : 1;
}

// Nothing escapes the thread (the process would end): what stops it before it serves becomes the
// start failure that InitializeParticipant throws; later, a throwing handler ends the membership,
// and the thread leaves the channel cleanly either way.
bool CKxParticipantRun::Serve() {
    bool served = false;
    try {
        if (JoinChannel() && BeginServing()) {
            served = true;
            Announce();
            SignalStarted();
            Dispatch(nullptr, 0, kKxWaitForever);
        }
    } catch (...) {
        if (!served) {
            m_startError = KxLastSystemError();
            m_startFailure = std::current_exception();
        }
    }
    EndServing();
    try {
        LeaveChannel();
    } catch (...) {
    }
    SignalStarted();  // a start that never served is over too
    return served;
}

bool CKxParticipantRun::JoinChannel() {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    CIPCCommunicationChannel* channel = new CIPCCommunicationChannel(m_channelName.c_str());
    {
        CKxSlimLock::Exclusive hold(m_channelLock);
        m_channel = channel;
    }
    const unsigned int id = Id();
    {
        CIPCChannelLock lock(channel);
        if (StopRequested()) return false;
        const bool added = channel->AddParticipant(id, m_joinKey, m_joinElement->GetEvent());
        UpdateOthers();
        // Refused for want of room: a participant that is no member must not go on as if it were.
        if (!added && m_otherCount >= kKxMaxParticipants && !channel->IsParticipant(id)) {
            throw CKxChannelFullException(
                "CIPCCommunicationChannel::AddParticipant -> the channel is full (50 members)");
        }
        // Registered, but the queue had no room for the notice: it is retried as room appears.
        if (!added && channel->IsParticipant(id)) SetJoinNoticePending(m_otherCount, m_otherIds);
    }
    m_presentCount = m_otherCount;
    std::copy(m_otherIds, m_otherIds + m_otherCount, m_presentIds);
    m_receiveEvent.reset(factory->CreateReceiveEvent(id));
    ReconstructWaiter();
    return true;
}

void CKxParticipantRun::LeaveChannel() {
    if (m_left || !m_channel) return;
    m_left = true;
    CIPCChannelLock lock(m_channel);
    m_channel->RemoveParticipant(Id());
}

bool CKxParticipantRun::BeginServing() {
    CKxSlimLock::Exclusive hold(m_phaseLock);
    if (m_stopRequested) return false;
    m_phase = Phase::Serving;
    m_accepting = true;
    return true;
}

void CKxParticipantRun::EndServing() {
    CKxSlimLock::Exclusive hold(m_phaseLock);
    m_phase = Phase::Ended;
    m_accepting = false;
}

bool CKxParticipantRun::StopRequested() {
    CKxSlimLock::Shared hold(m_phaseLock);
    return m_stopRequested;
}

void CKxParticipantRun::SignalStarted() { m_startedEvent->Set(); }

bool CKxParticipantRun::WaitStarted(KxTimeout timeoutMs) {
    CKxHandleSyncObject* started = m_startedEvent.get();
    return WaitDispatching(&started, 1, timeoutMs) == 0;
}

void CKxParticipantRun::WaitJoinAcknowledged(KxTimeout timeoutMs) {
    // The thread's end counts too: a participant that left (a handler threw in its first OnJoin)
    // is acknowledged by nobody any more.
    CKxHandleSyncObject* awaited[] = {m_joinElement->GetEvent(), this};
    const bool acknowledged = WaitDispatching(awaited, 2, timeoutMs) == 0;
    CKxIPCAcknowledgeEventPoolElement* element = nullptr;
    {
        // The thread sets the element's event itself only under this lock, so it never touches
        // an element given back. Every member acknowledged: nothing can signal the element any
        // more, and no notice is owed. Otherwise the run keeps it, and retires it at its end: a
        // late notice still carries the real key, and its late acknowledgement is harmless.
        CKxSlimLock::Exclusive hold(m_phaseLock);
        if (acknowledged) std::swap(element, m_joinElement);
    }
    if (element) CIPCServiceFactorySingleton::GetInstance()->ReleaseAcknowledgeElement(element);
}

bool CKxParticipantRun::RequestStop() {
    bool serving = false;
    {
        CKxSlimLock::Exclusive hold(m_phaseLock);
        m_stopRequested = true;
        serving = m_phase == Phase::Serving;
    }
    m_stopEvent->Set();
    if (IsOwnThread() && serving) {
        // A handler stops its own participant: it is a member no more from here on, and the
        // loops under it end as soon as the handlers under way return.
        m_accepting = false;
        m_stopSeen = true;
        LeaveChannel();
    }
    return serving;
}

bool CKxParticipantRun::HasEndedServing() {
    CKxSlimLock::Shared hold(m_phaseLock);
    return m_phase == Phase::Ended;
}

void CKxParticipantRun::UpdateOthers() {
    unsigned int count = kKxMaxParticipants;
    unsigned int ids[kKxMaxParticipants];
    CKxHandleSyncObject* objects[kKxMaxParticipants];
    if (!m_channel->GetParticipants(&count, ids, objects)) count = 0;
    const unsigned int self = Id();
    m_otherCount = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (ids[i] == self) continue;
        m_otherIds[m_otherCount] = ids[i];
        m_otherObjects[m_otherCount] = objects[i];
        ++m_otherCount;
    }
}

void CKxParticipantRun::ReconstructWaiter() {
    m_waiter.ClearIPCEventWaiter();
    m_waiter.AddEvent(m_stopEvent.get());
    m_waiter.AddEvent(m_receiveEvent.get());
    for (unsigned int i = 0; i < m_otherCount; ++i) m_waiter.AddEvent(m_otherObjects[i]);
}

void CKxParticipantRun::RefreshMembers(unsigned int quitting) {
    unsigned int previousIds[kKxMaxParticipants];
    const unsigned int previousCount = m_otherCount;
    std::copy(m_otherIds, m_otherIds + previousCount, previousIds);
    {
        CIPCChannelLock lock(m_channel);
        if (quitting != 0) m_channel->RemoveParticipant(quitting);
        UpdateOthers();
        for (unsigned int i = 0; i < previousCount; ++i) {
            // Gone before this participant saw its thread end (it unregistered itself, or another
            // member removed it): its record would otherwise stay open for good.
            const unsigned int id = previousIds[i];
            if (id != quitting && !Contains(m_otherIds, m_otherCount, id)) {
                m_channel->RemoveParticipant(id);
            }
        }
    }
    ReconstructWaiter();
    Announce();
}

void CKxParticipantRun::Announce() {
    while (m_accepting) {
        unsigned int id = 0;
        bool joined = false;
        {
            CKxSlimLock::Exclusive hold(m_announcedLock);
            unsigned int* const announced = m_announcedIds;
            unsigned int* const end = announced + m_announcedCount;
            unsigned int* gone = std::find_if(announced, end, [this](unsigned int each) {
                return !Contains(m_otherIds, m_otherCount, each);
            });
            if (gone != end) {
                id = *gone;
                std::copy(gone + 1, end, gone);
                --m_announcedCount;
            } else {
                const unsigned int* fresh =
                    std::find_if(m_otherIds, m_otherIds + m_otherCount, [&](unsigned int each) {
                        return !Contains(announced, m_announcedCount, each);
                    });
                if (fresh == m_otherIds + m_otherCount) return;
                id = *fresh;
                joined = true;
                m_announcedIds[m_announcedCount++] = id;
            }
        }
        if (joined) {
            m_handlers->OnJoin(id, !Contains(m_presentIds, m_presentCount, id));
        } else {
            m_handlers->OnQuit(id);
        }
    }
}

std::uint32_t CKxParticipantRun::Members(std::uint32_t* ids, std::uint32_t capacity) {
    if (!m_accepting) return 0;  // stopped: a member of nothing, whatever it announced
    CKxSlimLock::Shared hold(m_announcedLock);
    std::copy_n(m_announcedIds, std::min(m_announcedCount, capacity), ids);
    return m_announcedCount;
}

int CKxParticipantRun::WaitForWake(KxTimeout timeoutMs, CKxHandleSyncObject** extra,
                                   unsigned int extraCount) {
    for (;;) {
        if (m_noticeRecipientCount == 0) return m_waiter.WaitOnEvents(timeoutMs, extraCount, extra);
        const KxTimeout slice = std::min(timeoutMs, kNoticeRetryMs);
        const int position = m_waiter.WaitOnEvents(slice, extraCount, extra);
        {
            CIPCChannelLock lock(m_channel);
            RetryJoinNotice();
        }
        if (position >= 0) return position;
        if (timeoutMs != kKxWaitForever) {
            timeoutMs -= slice;
            if (timeoutMs == 0) return -1;
        }
    }
}

void CKxParticipantRun::DispatchWake(int position) {
    if (position == 0) {
        m_stopSeen = true;
        m_accepting = false;
    } else if (position == 1) {
        Receive();
    } else if (position >= 2 && static_cast<unsigned int>(position - 2) < m_otherCount) {
        RefreshMembers(m_otherIds[position - 2]);
        ReleaseAnsweredSends();
        // A sender that died between queueing and waking its recipients left its messages
        // unannounced: the wake for its end takes them.
        Receive();
    }
}

int CKxParticipantRun::Dispatch(CKxHandleSyncObject** awaited, unsigned int awaitedCount,
                                KxTimeout timeoutMs) {
    while (!m_stopSeen) {
        // The awaited objects stand behind the members of this moment: read before the wait.
        const unsigned int first = 2 + m_otherCount;
        const int position = WaitForWake(timeoutMs, awaited, awaitedCount);
        if (position < 0) return -1;
        const unsigned int index = static_cast<unsigned int>(position);
        if (index >= first && index < first + awaitedCount) return static_cast<int>(index - first);
        DispatchWake(position);
    }
    return -1;
}

// Takes every message waiting in one hold of the channel lock (those without a key are
// acknowledged in the same hold), then handles them in queue order: a synchronous message's
// OnSyncMessage, its acknowledgement, then OnReceive; a posted one's OnReceive; a join notice
// rebuilds the lists and announces.
void CKxParticipantRun::Receive() {
    KxRingTakenMessage taken[CKxMessageRing::kMaxRecords];
    std::uint32_t count = CKxMessageRing::kMaxRecords;
    // Messages that arrived during a batch have set the receive event again and make the next
    // wake-up, with two exceptions that take them at once: a batch that filled the array may have
    // left some behind, and once a stop was asked for there is no next wake-up for messages, so
    // one more batch takes what was waiting when the stop came (and no more: a peer that keeps
    // posting must not hold the stop off).
    bool tookAfterStop = false;
    while (count == CKxMessageRing::kMaxRecords || (StopRequested() && !tookAfterStop)) {
        if (m_left) return;
        tookAfterStop = StopRequested();
        {
            CIPCChannelLock lock(m_channel);
            if (!m_channel->TakeMessages(Id(), taken, CKxMessageRing::kMaxRecords, &count)) return;
        }
        for (std::uint32_t i = 0; i < count && !m_left; ++i) {
            const KxRingMessage& message = taken[i].message;
            const unsigned int sender = message.senderId;
            const unsigned int code = message.messageCode;
            const unsigned long long param = message.param;
            if (message.acknowledgeKey != 0) {
                if (code == kKxJoinNoticeCode) {
                    RefreshMembers(0);
                } else {
                    m_handlers->OnSyncMessage(sender, code, param);
                }
                KX_KILL_POINT("participant.receive.before-acknowledge");
                std::uint64_t releaseKey = 0;
                {
                    CIPCChannelLock lock(m_channel);
                    // Each message is acknowledged when its own handler is done, also when
                    // messages handled inside that handler's sends were acknowledged before it:
                    // a sender waits for its own recipients' handlers, never for handlers that
                    // happen to enclose them.
                    m_channel->AcknowledgeMessageAt(Id(), taken[i].position, &releaseKey);
                }
                KX_KILL_POINT("participant.receive.before-release");
                if (releaseKey != 0) {
                    CIPCServiceFactorySingleton::GetInstance()->SetAcknowledgeEvent(releaseKey);
                }
            } else if (code == kKxJoinNoticeCode) {
                RefreshMembers(0);  // a notice that asks for no acknowledgement
            }
            if (code != kKxJoinNoticeCode && !m_left) m_handlers->OnReceive(sender, code, param);
        }
    }
}

void CKxParticipantRun::SetJoinNoticePending(unsigned int count, const unsigned int* ids) {
    m_noticeRecipientCount = count;
    std::copy(ids, ids + count, m_noticeRecipients);
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
        if (m_joinElement) m_joinElement->GetEvent()->Set();
        m_noticeRecipientCount = 0;
        return;
    }
    CkxIPCMessage notice;
    notice.SetSenderID(Id());
    notice.SetMessageCode(kKxJoinNoticeCode);
    notice.SetParam(0);
    notice.SetAcknowledgeKey(m_joinKey);
    if (m_channel->AddMessage(count, recipients, &notice)) m_noticeRecipientCount = 0;
}

bool CKxParticipantRun::AddMessage(unsigned int count, const unsigned int* ids,
                                   CkxIPCMessage* message, std::uint32_t* position,
                                   kxipc_send_report* report, Wakes* wakes) {
    wakes->count = 0;
    if (report) {
        report->refusal = KXIPC_REFUSED_NOT_RUNNING;
        report->count = 0;
    }
    CKxSlimLock::Shared hold(m_channelLock);
    if (!m_accepting || m_channel == nullptr) return false;
    CIPCChannelLock lock(m_channel);
    // Checked again under the channel lock: a run that has left queues nothing.
    if (!m_accepting) return false;
    if (ids == nullptr) {
        // The list the waiting thread rebuilds under this same lock.
        count = m_otherCount;
        ids = m_otherIds;
    }
    if (count > KXIPC_MAX_TARGETS) {
        if (report) report->refusal = KXIPC_REFUSED_TOO_MANY_TARGETS;
        return false;
    }
    message->SetSenderID(Id());
    const bool queued =
        m_channel->AddMessage(count, ids, message, position, wakes->events, &wakes->count);
    if (queued && wakes->element != nullptr) {
        wakes->position = *position;
        wakes->recipients = count;
        wakes->key = message->GetAcknowledgeKey();
        CKxSlimLock::Exclusive listing(m_sendsLock);
        wakes->next = m_sends;
        m_sends = wakes;
    }
    if (report) {
        report->count = count;
        report->refusal = queued       ? KXIPC_QUEUED
                          : count == 0 ? KXIPC_REFUSED_NO_TARGETS
                                       : KXIPC_REFUSED_NO_ROOM;
        for (unsigned int i = 0; i < count; ++i) {
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
    // The channel stays open as long as the run, which the caller's Reference keeps: a report
    // made after the run has ended still reads each target's entry.
    std::uint32_t states[KXIPC_MAX_TARGETS];
    CKxSlimLock::Shared hold(m_channelLock);
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

void CKxParticipantRun::EndSend(Wakes* wakes) {
    CKxSlimLock::Exclusive listing(m_sendsLock);
    for (Wakes** link = &m_sends; *link != nullptr; link = &(*link)->next) {
        if (*link == wakes) {
            *link = wakes->next;
            return;
        }
    }
}

void CKxParticipantRun::ReleaseAnsweredSends() {
    {
        CKxSlimLock::Exclusive listing(m_sendsLock);
        if (m_sends == nullptr) return;  // the usual case: a member's end costs no lock
    }
    CIPCChannelLock lock(m_channel);
    if (!lock.IsHeld()) return;
    CKxSlimLock::Exclusive listing(m_sendsLock);
    std::uint32_t states[kKxMaxRecipients];
    for (Wakes* send = m_sends; send != nullptr; send = send->next) {
        if (m_channel->RecipientStates(send->position, send->key, send->recipients, states)) {
            continue;
        }
        // Its recipients are through: release the sender. The recipient that completed the
        // record may be alive and set the event too, so the element retires (it is never lent
        // again, and a late signal reaches nobody).
        send->element->NoteWaitEndedUnsignalled();
        send->element->GetEvent()->Set();
    }
}
