// Membership, waiting thread, dispatch and sending of the exported participant.
#include "CkxIPCParticipant.h"

#include <cstring>
#include <exception>
#include <map>
#include <mutex>

#include "CIPCChannelLock.h"
#include "CIPCCommunicationChannel.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CKxIPCEventWaiter.h"
#include "CKxMutex.h"
#include "CKxThread.h"
#include "CkxIPCMessage.h"
#include "KxKillPoint.h"
#include "KxScopeGuard.h"
#include "KxWaitFunctions.h"
#include "KxWindows.h"

namespace {

const unsigned int kJoinNoticeCode = CIPCCommunicationChannel::kJoinNoticeCode;
const unsigned int kLargestApplicationCode = 0xFFFEFFFFu;
const DWORD kPartyTimeoutMs = 25000;  // every wait on another party
const DWORD kStopSliceMs = 200;
const DWORD kWaitingThreadStackBytes = 0x80000;

// Senders read m_channel from any thread while the waiting thread creates and deletes it. Senders
// hold this lock shared from the stopped check until they have unlocked the channel; the waiting
// thread holds it exclusively to publish or withdraw its channel, so a sender that passed the check
// just before the thread left never uses a deleted channel. User-mode only: no kernel call.
SRWLOCK g_channelLifetime = SRWLOCK_INIT;

// Whether the latest WaitOnEvents of this thread ended on its acknowledge event, for the
// SendIPMessage that called it (the exported member has no result to carry it).
thread_local bool t_acknowledgeSeen = false;

// Why a waiting thread could not open its channel, handed from that thread to the
// InitializeParticipant that waits for it (the class layout has no room for it).
std::mutex g_startFailuresLock;
std::map<const CkxIPCParticipant*, std::exception_ptr> g_startFailures;

char* CopyName(const char* name) {
    const char* source = name ? name : "";
    const size_t length = std::strlen(source) + 1;
    char* copy = new char[length];
    std::memcpy(copy, source, length);
    return copy;
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
    m_channelName = CopyName(channelName);
    TKxScopeGuard undo([this] {
        delete m_eventWaiter;
        delete[] m_channelName;
    });
    m_eventWaiter = new CKxIPCEventWaiter();
    m_dispatchMutex = new CKxMutex();
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
    delete m_dispatchMutex;
    delete m_eventWaiter;
    delete[] m_channelName;
}

unsigned int CkxIPCParticipant::GetParticipantID() const { return m_participantId; }

void CkxIPCParticipant::InitializeParticipant() {
    if (m_initialized) return;
    StartWaitingThread();
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> hold(g_startFailuresLock);
        auto found = g_startFailures.find(this);
        if (found != g_startFailures.end()) {
            failure = found->second;
            g_startFailures.erase(found);
        }
    }
    if (failure) {
        StopWaitingThread();
        ReapWaitingThread();
        std::rethrow_exception(failure);
    }
    m_initialized = true;
}

void CkxIPCParticipant::UninitializeParticipant() {
    if (!m_initialized) return;
    StopWaitingThread();
    m_initialized = false;
}

bool CkxIPCParticipant::UpdateListOfOtherParticipants() {
    unsigned int count = CIPCCommunicationChannel::kMaxParticipants;
    unsigned int ids[CIPCCommunicationChannel::kMaxParticipants];
    CKxHandleSyncObject* objects[CIPCCommunicationChannel::kMaxParticipants];
    if (!m_channel->GetParticipants(&count, ids, objects)) count = 0;
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
    m_eventWaiter->ClearIPCEventWaiter();
    m_eventWaiter->AddEvent(m_stopEvent);
    m_eventWaiter->AddEvent(m_receiveEvent);
    for (unsigned int i = 0; i < m_otherCount; ++i) m_eventWaiter->AddEvent(m_otherThreadObjects[i]);
}

void CkxIPCParticipant::RefreshMembers(unsigned int quitting) {
    unsigned int previousIds[CIPCCommunicationChannel::kMaxParticipants];
    const unsigned int previousCount = m_otherCount;
    std::memcpy(previousIds, m_otherIds, sizeof(previousIds));
    unsigned int departed[CIPCCommunicationChannel::kMaxParticipants];
    unsigned int departedCount = 0;
    {
        CIPCChannelLock lock(m_channel);
        if (quitting != 0) m_channel->RemoveParticipant(quitting);
        UpdateListOfOtherParticipants();
        for (unsigned int i = 0; i < previousCount; ++i) {
            const unsigned int id = previousIds[i];
            bool listed = id == quitting;
            for (unsigned int j = 0; j < m_otherCount && !listed; ++j) listed = m_otherIds[j] == id;
            if (listed) continue;
            // Gone from the channel before this participant saw its thread end: it unregistered
            // itself or another member removed it. Its record would otherwise stay open for good.
            m_channel->RemoveParticipant(id);
            departed[departedCount++] = id;
        }
    }
    ReconstructIPCEventWaiter();
    for (unsigned int i = 0; i < departedCount; ++i) OnQuit(departed[i]);
}

bool CkxIPCParticipant::OnInternalJoin(unsigned int participantId) {
    RefreshMembers(0);
    OnJoin(participantId, true);
    return true;
}

bool CkxIPCParticipant::OnInternalQuit(unsigned int participantId) {
    RefreshMembers(participantId);
    OnQuit(participantId);
    return true;
}

bool CkxIPCParticipant::StartWaitingThread() {
    ReapWaitingThread();
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    TKxScopeGuard undo([this, factory] {
        factory->ReleaseAcknowledgeElement(m_joinAcknowledgeElement);
        m_joinAcknowledgeElement = nullptr;
        delete m_startedEvent;
        delete m_stopEvent;
        m_startedEvent = nullptr;
        m_stopEvent = nullptr;
    });
    m_joinAcknowledgeElement = factory->AcquireAcknowledgeElement();
    m_startedEvent = new CKxEvent(true);
    m_stopEvent = new CKxEvent(true);
    CKxThread* thread = new CKxThread();
    TKxScopeGuard deleteThread([thread] { delete thread; });  // never started: returns at once
    thread->Create(&CkxIPCParticipant::ThreadWaitOnEvents, this, false /*suspended*/,
                   kWaitingThreadStackBytes, true /*secure*/);
    deleteThread.Dismiss();
    undo.Dismiss();
    m_waitingThread = thread;

    CKxHandleSyncObject* started = m_startedEvent;
    if (!WaitForAll(&started, 1, kPartyTimeoutMs)) return false;
    if (m_joinAcknowledgeElement == nullptr || m_joinAcknowledgeElement->GetEvent() == nullptr) {
        return false;
    }
    // A thread that could not open its channel signals its start and stops: nobody will
    // acknowledge a join that never happened.
    if (m_stopped) return false;
    CKxHandleSyncObject* joined = m_joinAcknowledgeElement->GetEvent();
    if (!WaitForAll(&joined, 1, kPartyTimeoutMs)) {
        m_joinAcknowledgeElement->NoteWaitEndedUnsignalled();
    }
    factory->ReleaseAcknowledgeElement(m_joinAcknowledgeElement);
    m_joinAcknowledgeElement = nullptr;
    return true;
}

bool CkxIPCParticipant::StopWaitingThread() {
    if (m_stopEvent) m_stopEvent->Set();
    if (m_waitingThread) {
        bool ended = m_waitingThread->Wait(kStopSliceMs);
        while (!ended && !m_stopped) ended = m_waitingThread->Wait(kStopSliceMs);
        m_waitingThread->GetExitCode();
        // A thread that has seen the stop but not yet ended is still leaving the channel; it
        // stays in m_waitingThread, and everything it uses stays alive, until ReapWaitingThread.
        if (ended) {
            delete m_waitingThread;
            m_waitingThread = nullptr;
        }
    }
    // Still held only when the start gave up before the join was acknowledged, which may yet be.
    if (m_joinAcknowledgeElement) m_joinAcknowledgeElement->NoteWaitEndedUnsignalled();
    CIPCServiceFactorySingleton::GetInstance()->ReleaseAcknowledgeElement(
        m_joinAcknowledgeElement);
    m_joinAcknowledgeElement = nullptr;
    delete m_stopEvent;
    delete m_startedEvent;
    delete m_receiveEvent;
    m_stopEvent = nullptr;
    m_startedEvent = nullptr;
    m_receiveEvent = nullptr;
    return true;
}

void CkxIPCParticipant::ReapWaitingThread() {
    delete m_waitingThread;  // waits for the end of a thread still leaving its channel
    m_waitingThread = nullptr;
}

unsigned __stdcall CkxIPCParticipant::ThreadWaitOnEvents(void* participant) {
    KX_KILL_POINT("participant.thread.start");
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    TKxScopeGuard uninitializeCom([com] {
        if (SUCCEEDED(com)) CoUninitialize();
    });
    bool result = false;
    if (participant) result = static_cast<CkxIPCParticipant*>(participant)->ThreadWaitOnEvents();
    return result ? 0 : 1;
}

bool CkxIPCParticipant::ThreadWaitOnEvents() {
    m_stopped = false;
    try {
        m_dispatchMutex->Wait(INFINITE);
    } catch (const CKxWaitAbandonnedException&) {
        // An earlier waiting thread of this participant ended holding it; it is ours now.
    }
    bool started = false;
    CIPCCommunicationChannel* channel = nullptr;
    try {
        CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
        m_participantId = factory->GetCurrentThreadID();
        channel = new CIPCCommunicationChannel(m_channelName);
        AcquireSRWLockExclusive(&g_channelLifetime);
        m_channel = channel;
        ReleaseSRWLockExclusive(&g_channelLifetime);
        {
            CIPCChannelLock lock(m_channel);
            m_channel->AddParticipant(m_participantId,
                                      m_joinAcknowledgeElement->GetAcknowledgeKey(),
                                      m_joinAcknowledgeElement->GetEvent());
            UpdateListOfOtherParticipants();
        }
        m_receiveEvent = factory->CreateReceiveEvent(m_participantId);
        ReconstructIPCEventWaiter();
        for (unsigned int i = 0; i < m_otherCount; ++i) OnJoin(m_otherIds[i], false);
        started = true;
        m_startedEvent->Set();

        while (!m_stopped) {
            const int position = m_eventWaiter->WaitOnEvents(INFINITE, 0, nullptr);
            if (position == 0) {
                m_stopped = true;
            } else if (position == 1) {
                OnInternalReceive();
            } else if (position >= 2 && static_cast<unsigned int>(position - 2) < m_otherCount) {
                OnInternalQuit(m_otherIds[position - 2]);
            }
        }
    } catch (...) {
        // Nothing may escape this thread (the process would end). What stopped it before the
        // start goes to InitializeParticipant; later, the participant leaves the channel cleanly.
        if (!started) {
            std::lock_guard<std::mutex> hold(g_startFailuresLock);
            g_startFailures[this] = std::current_exception();
        }
    }
    m_stopped = true;

    if (channel) {
        try {
            CIPCChannelLock lock(channel);
            channel->RemoveParticipant(m_participantId);
        } catch (...) {
        }
        AcquireSRWLockExclusive(&g_channelLifetime);
        m_channel = nullptr;
        ReleaseSRWLockExclusive(&g_channelLifetime);
        delete channel;
    }
    if (!started) m_startedEvent->Set();
    try {
        m_dispatchMutex->Release();
    } catch (...) {
    }
    return started;
}

void CkxIPCParticipant::WaitOnEvents(CKxEvent* acknowledgeEvent) {
    bool acknowledged = false;
    TKxScopeGuard report([&acknowledged] { t_acknowledgeSeen = acknowledged; });
    if (m_stopped) return;
    for (;;) {
        CKxHandleSyncObject* extra = acknowledgeEvent;
        const int position =
            acknowledgeEvent ? m_eventWaiter->WaitOnEvents(kPartyTimeoutMs, 1, &extra)
                             : m_eventWaiter->WaitOnEvents(INFINITE, 0, nullptr);
        if (position == 0) {
            m_stopped = true;
        } else if (position == 1) {
            OnInternalReceive();
        } else if (position < 0) {
            return;  // 25 000 ms without any signal
        } else if (acknowledgeEvent && static_cast<unsigned int>(position) == 2 + m_otherCount) {
            acknowledged = true;
            return;
        } else if (static_cast<unsigned int>(position - 2) < m_otherCount) {
            OnInternalQuit(m_otherIds[position - 2]);
        }
        if (m_stopped) return;
    }
}

bool CkxIPCParticipant::OnInternalReceive() {
    for (;;) {
        CkxIPCMessage message;
        {
            CIPCChannelLock lock(m_channel);
            if (!m_channel->GetMessage(m_participantId, &message)) return true;
        }
        const unsigned int sender = message.GetSenderID();
        const unsigned int code = message.GetMessageCode();
        const unsigned long long param = message.GetParam();
        if (message.GetAcknowledgeKey() != 0 && !PreProcessSyncMessage(sender, code, param)) {
            OnSyncMessage(sender, code, param);
        }
        KX_KILL_POINT("participant.receive.before-acknowledge");
        bool more = false;
        {
            CIPCChannelLock lock(m_channel);
            m_channel->AcknowledgeMessage(m_participantId);
            more = m_channel->HasMessage(m_participantId);
        }
        if (!PreProcessAsyncMessage(sender, code, param)) OnReceive(sender, code, param);
        // Nothing was waiting at the acknowledgement, and a message queued since has set the
        // receive event (its sender sets it after writing): when the event is not set, the drain
        // is over without a take that would find nothing. Consuming a set event here also spares
        // the next wait a wake-up for a message this drain takes. Once stopped, the thread may
        // be leaving while StopWaitingThread frees that event: the take decides instead.
        if (!more && !m_stopped && !m_receiveEvent->Wait(0)) return true;
    }
}

bool CkxIPCParticipant::PreProcessSyncMessage(unsigned int senderId, unsigned int messageCode,
                                              unsigned long long) {
    if (messageCode != kJoinNoticeCode) return false;
    OnInternalJoin(senderId);
    return true;
}

bool CkxIPCParticipant::PreProcessAsyncMessage(unsigned int, unsigned int messageCode,
                                               unsigned long long) {
    return messageCode == kJoinNoticeCode;
}

bool CkxIPCParticipant::AddMessageToChannel(unsigned int count, const unsigned int* ids,
                                            const CkxIPCMessage* message) {
    AcquireSRWLockShared(&g_channelLifetime);
    TKxScopeGuard releaseLifetime([] { ReleaseSRWLockShared(&g_channelLifetime); });
    if (m_stopped || m_channel == nullptr) return false;
    CIPCChannelLock lock(m_channel);
    if (ids == nullptr) {
        count = m_otherCount;
        ids = m_otherIds;
    }
    return m_channel->AddMessage(count, ids, message);
}

bool CkxIPCParticipant::PostIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param) {
    if (m_stopped || messageCode > kLargestApplicationCode) return false;
    CkxIPCMessage message;
    message.SetSenderID(m_participantId);
    message.SetMessageCode(messageCode);
    message.SetParam(param);
    message.SetAcknowledgeKey(0);
    return AddMessageToChannel(count, ids, &message);
}

bool CkxIPCParticipant::SendIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param) {
    if (m_stopped || messageCode > kLargestApplicationCode) return false;
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    CKxIPCAcknowledgeEventPoolElement* element = factory->AcquireAcknowledgeElement();
    // From the moment the key may be queued until its signal has been seen, an acknowledgement
    // can still come; if this send stops waiting before, the element retires.
    bool awaitingSignal = false;
    TKxScopeGuard giveBack([factory, element, &awaitingSignal] {
        if (awaitingSignal) element->NoteWaitEndedUnsignalled();
        factory->ReleaseAcknowledgeElement(element);
    });
    CKxEvent* acknowledged = element->GetEvent();

    CkxIPCMessage message;
    message.SetSenderID(m_participantId);
    message.SetMessageCode(messageCode);
    message.SetParam(param);
    message.SetAcknowledgeKey(element->GetAcknowledgeKey());
    awaitingSignal = true;
    const bool queued = AddMessageToChannel(count, ids, &message);
    awaitingSignal = queued;
    if (queued) {
        // The waiting thread holds the dispatch mutex for its whole life, so this probe succeeds
        // exactly when a handler is sending: that thread must go on dispatching while it waits.
        if (m_dispatchMutex->Wait(0)) {
            TKxScopeGuard undoProbe([this] { m_dispatchMutex->Release(); });
            KX_KILL_POINT("participant.send.waiting-dispatching");
            WaitOnEvents(acknowledged);
            if (t_acknowledgeSeen) awaitingSignal = false;
        } else {
            CKxHandleSyncObject* waitable = acknowledged;
            KX_KILL_POINT("participant.send.waiting");
            if (WaitForAll(&waitable, 1, kPartyTimeoutMs)) awaitingSignal = false;
        }
    }
    return queued;
}
