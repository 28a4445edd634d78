// The exported participant: its runs of the waiting thread, and sending through the current one.
#include "CkxIPCParticipant.h"

#include <cstring>
#include <exception>

#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CKxParticipantRun.h"
#include "CkxIPCMessage.h"
#include "KxChannelLayout.h"
#include "KxKillPoint.h"
#include "KxScopeGuard.h"
#include "KxSystemScope.h"
#include "kxipc_c.h"

namespace {

char* CopyName(const char* name) {
    const char* source = name ? name : "";
    const size_t length = std::strlen(source) + 1;
    char* copy = new char[length];
    std::memcpy(copy, source, length);
    return copy;
}

// Starts report (may be null) as a refusal for want of a serving run, then refuses a reserved code
// (false) where it arises, before anything is drawn or queued.
bool AcceptsCode(unsigned int messageCode, kxipc_send_report* report) {
    if (report) {
        report->count = 0;
        report->refusal = KXIPC_REFUSED_NOT_RUNNING;
    }
    if (messageCode <= kKxLargestApplicationCode) return true;
    if (report) report->refusal = KXIPC_REFUSED_RESERVED_CODE;
    return false;
}

}  // namespace

// A run calls the handlers through this: the protected virtuals, reached from a class nested in
// the participant, with nothing else of the participant open to the run.
class CkxIPCParticipant::CHandlers : public CKxParticipantHandlers {
public:
    explicit CHandlers(CkxIPCParticipant& participant) : m_participant(participant) {}
    void OnJoin(unsigned int id, bool joinedLater) override {
        m_participant.OnJoin(id, joinedLater);
    }
    void OnQuit(unsigned int id) override { m_participant.OnQuit(id); }
    void OnSyncMessage(unsigned int sender, unsigned int code, unsigned long long param) override {
        m_participant.OnSyncMessage(sender, code, param);
    }
    void OnReceive(unsigned int sender, unsigned int code, unsigned long long param) override {
        m_participant.OnReceive(sender, code, param);
    }

private:
    CkxIPCParticipant& m_participant;
};

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
    CKxParticipantRun::Reap(m_waitingThread);
    delete[] m_channelName;
}

unsigned int CkxIPCParticipant::GetParticipantID() const {
    CKxParticipantRun::Reference run(m_waitingThread);
    // The run's thread records its identifier before it joins; until then, the last one known.
    const unsigned int id = run ? run->Id() : 0;
    return id != 0 ? id : __atomic_load_n(&m_participantId, __ATOMIC_ACQUIRE);
}

unsigned int CkxIPCParticipant::GetMembers(unsigned int* ids, unsigned int capacity) const {
    CKxParticipantRun::Reference run(m_waitingThread);
    if (!run || (!ids && capacity != 0)) return 0;
    return run->Members(ids, capacity);
}

void CkxIPCParticipant::InitializeParticipant() {
    if (m_initialized) return;
    StartWaitingThread();
    m_initialized = true;
}

void CkxIPCParticipant::UninitializeParticipant() {
    if (!m_initialized) {
        // A stop asked for in a handler did not wait for this participant's handlers to end.
        if (!CKxParticipantRun::Current()) StopWaitingThread();
        return;
    }
    StopWaitingThread();
    m_initialized = false;
}

bool CkxIPCParticipant::StartWaitingThread() {
    // A handler of this participant that uninitialised it starts the next run on the thread of
    // the current one, which cannot be waited for here: the new run takes it over, and reaps it.
    CKxParticipantRun* current = CKxParticipantRun::Reference(m_waitingThread).get();
    CKxParticipantRun* previous = nullptr;
    if (current && current->IsOwnThread()) {
        previous = CKxParticipantRun::Withdraw(m_waitingThread);
    } else {
        CKxParticipantRun::Reap(m_waitingThread);
    }
    CKxParticipantRun* run = new CKxParticipantRun(
        std::unique_ptr<CKxParticipantHandlers>(new CHandlers(*this)), m_channelName, previous);
    CKxParticipantRun::Publish(m_waitingThread, run);
    TKxScopeGuard withdraw([this] { CKxParticipantRun::Reap(m_waitingThread); });
    run->Start();
    withdraw.Dismiss();

    // Given up after the time-out, the run stays this participant's: its thread may still join
    // late, and serves then; uninitialising stops it either way.
    if (!run->WaitStarted(kKxPartyWaitMs)) return false;
    if (std::exception_ptr failure = run->StartFailure()) {
        const int error = run->StartError();
        CKxParticipantRun::Reap(m_waitingThread);  // it never served and is ending
        KxSetLastSystemError(error);  // the reason goes with the failure, for the caller to read
        std::rethrow_exception(failure);
    }
    __atomic_store_n(&m_participantId, run->Id(), __ATOMIC_RELEASE);
    run->WaitJoinAcknowledged(kKxPartyWaitMs);
    return true;
}

bool CkxIPCParticipant::StopWaitingThread() {
    CKxParticipantRun::Reference run(m_waitingThread);
    if (!run) return true;
    // On a waiting thread (a handler) nothing waits: that thread's own participant must go on
    // dispatching, and two handlers stopping each other would otherwise wait for each other.
    if (run->RequestStop() && !CKxParticipantRun::Current()) {
        KX_KILL_POINT("participant.stop.requested");
        // It serves: wait until it has ended or has left its loop, after its last handler call
        // (a drain under way when the stop came is finished first).
        bool ended = run->Wait(kKxStopSliceMs);
        while (!ended && !run->HasEndedServing()) ended = run->Wait(kKxStopSliceMs);
    }
    // A run that never served leaves without a handler whenever its thread gets to it. A thread
    // still leaving keeps its run until the next start or the destructor reaps it.
    if (run->Wait(0) && !run->IsOwnThread()) CKxParticipantRun::Reap(m_waitingThread);
    return true;
}

bool CkxIPCParticipant::AddMessageToChannel(unsigned int count, const unsigned int* ids,
                                            CkxIPCMessage* message, kxipc_send_report* report) {
    KX_KILL_POINT("participant.post.before-queue");
    CKxParticipantRun::Reference run(m_waitingThread);
    if (!run) {
        if (report) report->refusal = KXIPC_REFUSED_NOT_RUNNING;
        return false;
    }
    CKxParticipantRun::Wakes wakes;
    if (!run->AddMessage(count, ids, message, nullptr, report, &wakes)) return false;
    CKxParticipantRun::Wake(&wakes);
    return true;
}

bool CkxIPCParticipant::PostIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param) {
    return PostIPMessage(count, ids, messageCode, param, nullptr);
}

bool CkxIPCParticipant::PostIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param,
                                      kxipc_send_report* report) {
    if (!AcceptsCode(messageCode, report)) return false;
    CkxIPCMessage message;
    message.SetMessageCode(messageCode);
    message.SetParam(param);
    message.SetAcknowledgeKey(0);
    return AddMessageToChannel(count, ids, &message, report);
}

bool CkxIPCParticipant::SendIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param) {
    return SendIPMessage(count, ids, messageCode, param, nullptr);
}

bool CkxIPCParticipant::SendIPMessage(unsigned int count, const unsigned int* ids,
                                      unsigned int messageCode, unsigned long long param,
                                      kxipc_send_report* report) {
    if (!AcceptsCode(messageCode, report)) return false;
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
    message.SetMessageCode(messageCode);
    message.SetParam(param);
    message.SetAcknowledgeKey(element->GetAcknowledgeKey());
    std::uint32_t position = 0;
    CKxParticipantRun::Wakes wakes;
    wakes.element = element;
    TKxScopeGuard unlist([&run, &wakes] { run->EndSend(&wakes); });
    signalOwed = true;
    const bool queued = run->AddMessage(count, ids, &message, &position, report, &wakes);
    signalOwed = queued;
    if (queued) {
        // On a waiting thread (a handler is sending) that thread goes on dispatching meanwhile.
        if (CKxParticipantRun::WakeAndWait(&wakes, element->GetEvent(), kKxPartyWaitMs)) {
            signalOwed = false;
        }
        if (report) {
            run->ReportOutcomes(position, message.GetAcknowledgeKey(), !signalOwed, report);
        }
    }
    return queued;
}
