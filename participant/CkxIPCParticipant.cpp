// Membership, waiting thread, dispatch and sending of the exported participant.
#include "CkxIPCParticipant.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "CIPCChannelLock.h"
#include "CIPCCommunicationChannel.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CKxIPCEventWaiter.h"
#include "CKxParticipantRun.h"
#include "CkxIPCMessage.h"
#include "KxChannelLayout.h"
#include "KxExceptions.h"
#include "KxKillPoint.h"
#include "KxScopeGuard.h"
#include "KxWaitFunctions.h"
#include "KxWindows.h"
#include "kxipc_c.h"

namespace {

const DWORD kWaitingThreadStackBytes = 0x80000;
// How often a join notice that found the queue full is tried again while the queue drains.
const DWORD kNoticeRetryMs = 20;

char* CopyName(const char* name) {
    const char* source = name ? name : "";
    const size_t length = std::strlen(source) + 1;
    char* copy = new char[length];
    std::memcpy(copy, source, length);
    return copy;
}

bool Contains(const unsigned int* ids, unsigned int count, unsigned int id) {
    return std::find(ids, ids + count, id) != ids + count;
}

}  // namespace

CkxIPCParticipant::CkxIPCParticipant(const char* channelName)
    : m_startedEvent(nullptr),
      m_stopEvent(nullptr),
      m_joinAcknowledgeElement(nullptr),
      m_receiveEvent(nullptr),
      m_channel(nullptr),
      m_participantId(0),
      m_otherCount(0),
      m_otherIds(),
      m_otherThreadObjects(),
      m_channelName(nullptr),
      m_stopped(true),
      m_initialized(false),
      m_eventWaiter(nullptr),
      m_dispatchMutex(nullptr),
      m_waitingThread(nullptr) {
    static_assert(sizeof(m_otherIds) / sizeof(m_otherIds[0]) == kKxMaxParticipants,
                  "the exported layout holds a list as long as a channel's");
    m_channelName = CopyName(channelName);
    TKxScopeGuard undo([this] { delete[] m_channelName; });
    m_eventWaiter = new CKxIPCEventWaiter();
    undo.Dismiss();
}

CkxIPCParticipant::CkxIPCParticipant(const CkxIPCParticipant& other)
    : CkxIPCParticipant(other.m_channelName) {
    m_participantId = other.m_participantId;
}

CkxIPCParticipant& CkxIPCParticipant::operator=(const CkxIPCParticipant& other) {
    if (this != &other) {
        char* name = CopyName(other.m_channelName);
        delete[] m_channelName;
        m_channelName = name;
    }
    return *this;
}

CkxIPCParticipant::~CkxIPCParticipant() {
    try {
        if (m_initialized) {
            StopWaitingThread();
            m_initialized = false;
        }
    } catch (...) {
        // A destructor never throws; the thread is still waited for below.
    }
    ReapWaitingThread();
    delete m_eventWaiter;
    delete[] m_channelName;
}

unsigned int CkxIPCParticipant::GetParticipantID() const { return m_participantId; }

void CkxIPCParticipant::InitializeParticipant() {
    if (m_initialized) return;
    StartWaitingThread();
    m_initialized = true;
}

void CkxIPCParticipant::UninitializeParticipant() {
    if (!m_initialized) return;
    StopWaitingThread();
    m_initialized = false;
}

bool CkxIPCParticipant::UpdateListOfOtherParticipants() {
    CIPCCommunicationChannel* channel = static_cast<CKxParticipantRun*>(m_waitingThread)->Channel();
    unsigned int count = kKxMaxParticipants;
    unsigned int ids[kKxMaxParticipants];
    CKxHandleSyncObject* objects[kKxMaxParticipants];
    if (!channel->GetParticipants(&count, ids, objects)) count = 0;
    m_otherCount = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (ids[i] == m_participantId) continue;
        m_otherIds[m_otherCount] = ids[i];
        m_otherThreadObjects[m_otherCount] = objects[i];
        ++m_otherCount;
    }
    return true;
}

void CkxIPCParticipant::ReconstructIPCEventWaiter() {
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(m_waitingThread);
    m_eventWaiter->ClearIPCEventWaiter();
    m_eventWaiter->AddEvent(run->StopEvent());
    m_eventWaiter->AddEvent(run->ReceiveEvent());
    for (unsigned int i = 0; i < m_otherCount; ++i)
        m_eventWaiter->AddEvent(m_otherThreadObjects[i]);
}

// Rebuilds the member lists and tells the handlers what changed since the last rebuild: OnQuit for
// every member gone (quitting, whose thread was seen to end, and any that left the channel before
// that was seen), then OnJoin(id, true) for every member not announced before, whether its join
// notice brought it or a rebuild found it first (its notice found the queue full, or is still
// behind). So every identifier reaches OnJoin before any OnQuit, and each exactly once per stay.
void CkxIPCParticipant::RefreshMembers(unsigned int quitting) {
    CIPCCommunicationChannel* channel = static_cast<CKxParticipantRun*>(m_waitingThread)->Channel();
    unsigned int previousIds[kKxMaxParticipants];
    const unsigned int previousCount = m_otherCount;
    std::copy(m_otherIds, m_otherIds + previousCount, previousIds);
    unsigned int departed[kKxMaxParticipants];
    unsigned int arrived[kKxMaxParticipants];
    unsigned int departedCount = 0, arrivedCount = 0;
    {
        CIPCChannelLock lock(channel);
        if (quitting != 0) channel->RemoveParticipant(quitting);
        UpdateListOfOtherParticipants();
        for (unsigned int i = 0; i < previousCount; ++i) {
            const unsigned int id = previousIds[i];
            if (Contains(m_otherIds, m_otherCount, id)) continue;
            // Gone before this participant saw its thread end (it unregistered itself, or another
            // member removed it): its record would otherwise stay open for good.
            if (id != quitting) channel->RemoveParticipant(id);
            departed[departedCount++] = id;
        }
        for (unsigned int i = 0; i < m_otherCount; ++i) {
            if (!Contains(previousIds, previousCount, m_otherIds[i])) {
                arrived[arrivedCount++] = m_otherIds[i];
            }
        }
    }
    ReconstructIPCEventWaiter();
    for (unsigned int i = 0; i < departedCount; ++i) OnQuit(departed[i]);
    for (unsigned int i = 0; i < arrivedCount; ++i) OnJoin(arrived[i], true);
}

bool CkxIPCParticipant::OnInternalJoin(unsigned int) {
    RefreshMembers(0);
    return true;
}

bool CkxIPCParticipant::OnInternalQuit(unsigned int participantId) {
    RefreshMembers(participantId);
    return true;
}

bool CkxIPCParticipant::StartWaitingThread() {
    ReapWaitingThread();
    CKxParticipantRun* run = new CKxParticipantRun(this);
    CKxParticipantRun::Publish(m_waitingThread, run);
    TKxScopeGuard withdraw([this] { ReapWaitingThread(); });
    run->Create(&CkxIPCParticipant::ThreadWaitOnEvents, run, false /*suspended*/,
                kWaitingThreadStackBytes, true /*secure*/);
    withdraw.Dismiss();

    // Given up after the time-out, the run stays this participant's: its thread may still join
    // late, and serves then; uninitialising stops it either way.
    if (!run->WaitStarted(kKxPartyWaitMs)) return false;
    if (std::exception_ptr failure = run->StartFailure()) {
        ReapWaitingThread();  // it never served and is ending
        std::rethrow_exception(failure);
    }
    run->WaitJoinAcknowledged(kKxPartyWaitMs);
    return true;
}

bool CkxIPCParticipant::StopWaitingThread() {
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(m_waitingThread);
    if (!run) return true;
    if (run->RequestStop()) {
        KX_KILL_POINT("participant.stop.requested");
        // It serves: wait until it has ended or has left its loop, after its last handler call
        // (a drain under way when the stop came is finished first).
        bool ended = run->Wait(kKxStopSliceMs);
        while (!ended && !run->HasEndedServing()) ended = run->Wait(kKxStopSliceMs);
    }
    // A run that never served leaves without a handler whenever its thread gets to it. A thread
    // still leaving keeps its run until the next start or the destructor reaps it.
    if (run->Wait(0)) ReapWaitingThread();
    return true;
}

void CkxIPCParticipant::ReapWaitingThread() { CKxParticipantRun::Reap(m_waitingThread); }

unsigned __stdcall CkxIPCParticipant::ThreadWaitOnEvents(void* run) {
    KX_KILL_POINT("participant.thread.start");
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    TKxScopeGuard uninitializeCom([com] {
        if (SUCCEEDED(com)) CoUninitialize();
    });
    bool result = false;
    if (run) result = static_cast<CKxParticipantRun*>(run)->Participant()->ThreadWaitOnEvents();
    return result ? 0 : 1;
}

// The body of the waiting thread. Nothing escapes it (the process would end): what stops it before
// it serves becomes the start failure that InitializeParticipant throws; later, a throwing handler
// ends the membership, and the thread leaves the channel cleanly either way.
bool CkxIPCParticipant::ThreadWaitOnEvents() {
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(m_waitingThread);
    bool served = false;
    try {
        if (JoinChannel() && run->BeginServing()) {
            served = true;
            for (unsigned int i = 0; i < m_otherCount; ++i) OnJoin(m_otherIds[i], false);
            run->SignalStarted();
            WaitOnEvents(nullptr);
        }
    } catch (...) {
        if (!served) run->SetStartFailure(std::current_exception());
    }
    run->EndServing();

    if (CIPCCommunicationChannel* channel = run->Channel()) {
        try {
            CIPCChannelLock lock(channel);
            channel->RemoveParticipant(m_participantId);
        } catch (...) {
        }
        run->CloseChannel();
    }
    run->SignalStarted();  // a start that never served is over too
    return served;
}

// Opens the channel and registers; false when a stop came first (nothing is registered then).
bool CkxIPCParticipant::JoinChannel() {
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(m_waitingThread);
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    m_participantId = factory->GetCurrentThreadID();
    run->PublishChannel(new CIPCCommunicationChannel(m_channelName));
    CIPCCommunicationChannel* channel = run->Channel();
    {
        CIPCChannelLock lock(channel);
        if (run->StopRequested()) return false;
        const bool added =
            channel->AddParticipant(m_participantId, run->JoinKey(), run->JoinEvent());
        UpdateListOfOtherParticipants();
        // Refused for want of room: a participant that is no member must not go on as if it were.
        if (!added && m_otherCount >= kKxMaxParticipants &&
            !channel->IsParticipant(m_participantId)) {
            throw CKxChannelFullException(
                "CIPCCommunicationChannel::AddParticipant -> the channel is full (50 members)");
        }
        // Registered, but the queue had no room for the notice: it is retried as room appears.
        if (!added && channel->IsParticipant(m_participantId)) {
            run->SetJoinNoticePending(m_otherCount, m_otherIds);
        }
    }
    run->SetReceiveEvent(factory->CreateReceiveEvent(m_participantId));
    ReconstructIPCEventWaiter();
    return true;
}

// One wait of the waiting thread over its event waiter, with acknowledgeEvent (may be null) as the
// extra object behind the members. While a join notice is owed, the wait is cut into short slices
// that try the notice again; the time-out counts the whole wait.
int CkxIPCParticipant::WaitForWake(unsigned long timeoutMs, CKxHandleSyncObject* acknowledgeEvent) {
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(m_waitingThread);
    CKxHandleSyncObject** extra = acknowledgeEvent ? &acknowledgeEvent : nullptr;
    const unsigned int extraCount = acknowledgeEvent ? 1 : 0;
    for (;;) {
        if (!run->JoinNoticePending())
            return m_eventWaiter->WaitOnEvents(timeoutMs, extraCount, extra);
        const unsigned long slice = std::min<unsigned long>(timeoutMs, kNoticeRetryMs);
        const int position = m_eventWaiter->WaitOnEvents(slice, extraCount, extra);
        {
            CIPCChannelLock lock(run->Channel());
            run->RetryJoinNotice();
        }
        if (position >= 0) return position;
        if (timeoutMs != INFINITE) {
            timeoutMs -= slice;
            if (timeoutMs == 0) return -1;
        }
    }
}

// What a wake-up of the waiting thread at position means: 0 the stop request, 1 messages, 2 + i the
// end of other member i. False for any other position (the extra object, or the time-out).
bool CkxIPCParticipant::DispatchWake(int position) {
    if (position == 0) {
        m_stopped = true;
    } else if (position == 1) {
        OnInternalReceive();
    } else if (position >= 2 && static_cast<unsigned int>(position - 2) < m_otherCount) {
        OnInternalQuit(m_otherIds[position - 2]);
    } else {
        return false;
    }
    return true;
}

// Dispatches on the waiting thread until acknowledgeEvent is set (true), a stop is requested, or
// 25 000 ms pass without any signal. With no event: until a stop is requested, without time limit
// (the thread's own loop).
bool CkxIPCParticipant::WaitForAcknowledgement(CKxEvent* acknowledgeEvent) {
    const unsigned long timeoutMs = acknowledgeEvent ? kKxPartyWaitMs : INFINITE;
    while (!m_stopped) {
        // The event stands behind the members of this moment: read the count before the wait.
        const unsigned int acknowledgedAt = 2 + m_otherCount;
        const int position = WaitForWake(timeoutMs, acknowledgeEvent);
        if (position < 0) return false;
        if (acknowledgeEvent && static_cast<unsigned int>(position) == acknowledgedAt) return true;
        DispatchWake(position);
    }
    return false;
}

void CkxIPCParticipant::WaitOnEvents(CKxEvent* acknowledgeEvent) {
    WaitForAcknowledgement(acknowledgeEvent);
}

// Takes every message waiting in one hold of the channel lock (those without a key are
// acknowledged in the same hold), then handles them in queue order: a synchronous message's
// OnSyncMessage, its acknowledgement, then OnReceive; a posted one's OnReceive.
bool CkxIPCParticipant::OnInternalReceive() {
    CKxParticipantRun* run = static_cast<CKxParticipantRun*>(m_waitingThread);
    CIPCCommunicationChannel* channel = run->Channel();
    KxRingTakenMessage taken[CKxMessageRing::kMaxRecords];
    std::uint32_t count = CKxMessageRing::kMaxRecords;
    // Messages that arrived during a batch have set the receive event again and make the next
    // wake-up, with two exceptions that take them at once: a batch that filled the array (a
    // recipient listed many times in one record) may have left some behind, and once a stop was
    // asked for there is no next wake-up for messages, and the drain under way is finished first.
    while (count == CKxMessageRing::kMaxRecords || run->StopRequested()) {
        {
            CIPCChannelLock lock(channel);
            if (!channel->TakeMessages(m_participantId, taken, CKxMessageRing::kMaxRecords,
                                       &count)) {
                return true;
            }
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const KxRingMessage& message = taken[i].message;
            const unsigned int sender = message.senderId;
            const unsigned int code = message.messageCode;
            const unsigned long long param = message.param;
            if (message.acknowledgeKey != 0) {
                run->BeginAcknowledgement(taken[i].position);
                if (!PreProcessSyncMessage(sender, code, param)) OnSyncMessage(sender, code, param);
                KX_KILL_POINT("participant.receive.before-acknowledge");
                CIPCChannelLock lock(channel);
                channel->AcknowledgeMessageAt(m_participantId, run->NextAcknowledgement());
            } else if (code == kKxJoinNoticeCode) {
                OnInternalJoin(sender);  // a late notice that asks for no acknowledgement
            }
            if (!PreProcessAsyncMessage(sender, code, param)) OnReceive(sender, code, param);
        }
    }
    return true;
}

bool CkxIPCParticipant::PreProcessSyncMessage(unsigned int senderId, unsigned int messageCode,
                                              unsigned long long) {
    if (messageCode != kKxJoinNoticeCode) return false;
    OnInternalJoin(senderId);
    return true;
}

bool CkxIPCParticipant::PreProcessAsyncMessage(unsigned int, unsigned int messageCode,
                                               unsigned long long) {
    return messageCode == kKxJoinNoticeCode;
}

bool CkxIPCParticipant::PostIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param) {
    return PostIPMessage(count, ids, messageCode, param, nullptr);
}

bool CkxIPCParticipant::PostIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param,
                                      kxipc_send_report* report) {
    if (report) {
        report->count = 0;
        report->refusal = KXIPC_REFUSED_NOT_RUNNING;
    }
    if (m_stopped) return false;
    if (messageCode > kKxLargestApplicationCode) {
        if (report) report->refusal = KXIPC_REFUSED_RESERVED_CODE;
        return false;
    }
    CkxIPCMessage message;
    message.SetSenderID(m_participantId);
    message.SetMessageCode(messageCode);
    message.SetParam(param);
    message.SetAcknowledgeKey(0);
    CKxParticipantRun::Reference run(m_waitingThread);
    return run && run->AddMessage(count, ids, &message, nullptr, report);
}

bool CkxIPCParticipant::SendIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param) {
    return SendIPMessage(count, ids, messageCode, param, nullptr);
}

bool CkxIPCParticipant::SendIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param,
                                      kxipc_send_report* report) {
    if (report) {
        report->count = 0;
        report->refusal = KXIPC_REFUSED_NOT_RUNNING;
    }
    if (m_stopped) return false;
    if (messageCode > kKxLargestApplicationCode) {
        if (report) report->refusal = KXIPC_REFUSED_RESERVED_CODE;
        return false;
    }
    CKxParticipantRun::Reference run(m_waitingThread);
    if (!run) return false;
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    CKxIPCAcknowledgeEventPoolElement* element = factory->AcquireAcknowledgeElement();
    // Once the key may be queued, an acknowledgement can come at any time until its signal has
    // been seen: an element whose wait ended without it is retired, never lent again.
    bool signalOwed = false;
    TKxScopeGuard giveBack([factory, element, &signalOwed] {
        if (signalOwed) element->NoteWaitEndedUnsignalled();
        factory->ReleaseAcknowledgeElement(element);
    });

    CkxIPCMessage message;
    message.SetSenderID(m_participantId);
    message.SetMessageCode(messageCode);
    message.SetParam(param);
    message.SetAcknowledgeKey(element->GetAcknowledgeKey());
    std::uint32_t position = 0;
    signalOwed = true;
    const bool queued = run->AddMessage(count, ids, &message, &position, report);
    signalOwed = queued;
    if (queued) {
        if (run->IsOwnThread()) {
            // A handler is sending: its thread goes on dispatching while it waits.
            KX_KILL_POINT("participant.send.waiting-dispatching");
            if (WaitForAcknowledgement(element->GetEvent())) signalOwed = false;
        } else {
            CKxHandleSyncObject* acknowledged = element->GetEvent();
            KX_KILL_POINT("participant.send.waiting");
            if (WaitForAll(&acknowledged, 1, kKxPartyWaitMs)) signalOwed = false;
        }
        if (report) {
            run->ReportOutcomes(position, message.GetAcknowledgeKey(), !signalOwed, report);
        }
    }
    return queued;
}
