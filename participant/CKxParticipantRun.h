// One run of a participant's waiting thread: the thread and everything that run uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>

#include "CKxSlimLock.h"
#include "CKxThread.h"
#include "KxMessageRing.h"

class CIPCCommunicationChannel;
class CKxEvent;
class CKxIPCAcknowledgeEventPoolElement;
class CkxIPCMessage;
class CkxIPCParticipant;
struct kxipc_send_report;

// Each InitializeParticipant makes one run; the participant holds it in its waiting-thread pointer
// (a run is a CKxThread). The run owns the started and stop events, the join acknowledge element,
// the receive event, the channel object and the start outcome, and keeps them until its thread has
// ended and the last reference to it is given back. So a thread that runs late, after the start
// that made it gave up, or after the participant was uninitialised, only ever touches objects of
// its own run, and a run never outlives its participant: the participant reaps it (waits for the
// thread's end) at the next start and at destruction.
//
// Threads: the initialising thread makes, starts and waits for the run; the run's own thread joins,
// serves and leaves; any thread may queue messages through it while holding a Reference; the thread
// that uninitialises asks it to stop. Each member says who may call it.
class CKxParticipantRun : public CKxThread {
public:
    // A counted hold on the run a participant currently publishes, for a thread that queues
    // messages: the run stays alive while the hold lasts, even if the participant reaps it
    // meanwhile.
    class Reference {
    public:
        // Reads the participant's waiting-thread slot; null when no run is published.
        explicit Reference(CKxThread* const& slot);
        ~Reference();
        Reference(const Reference&) = delete;
        Reference& operator=(const Reference&) = delete;
        CKxParticipantRun* operator->() const { return m_run; }
        explicit operator bool() const { return m_run != nullptr; }

    private:
        CKxParticipantRun* m_run;
    };

    // Draws the join element from the pool and makes the started and stop events; the thread is
    // not started. Throws what the pool and the events throw, leaving nothing behind.
    explicit CKxParticipantRun(CkxIPCParticipant* participant);

    // Makes run the one the slot publishes (the slot must be empty). The slot holds one reference.
    static void Publish(CKxThread*& slot, CKxParticipantRun* run);
    // Empties the slot, waits for the end of its run's thread and gives the slot's reference back.
    // Never throws. Any thread but the run's own.
    static void Reap(CKxThread*& slot);

    CkxIPCParticipant* Participant() const { return m_participant; }
    // True on the run's own thread while it runs.
    bool IsOwnThread() const;

    // --- The initialising thread ---
    // Waits up to timeoutMs for the thread to finish its start (served, or failed). False:
    // time-out.
    bool WaitStarted(unsigned long timeoutMs);
    // What stopped the thread from joining, once WaitStarted returned true; null when it joined.
    std::exception_ptr StartFailure() const { return m_startFailure; }
    // Waits up to timeoutMs for every member present to acknowledge the join. When they did, the
    // join element goes back to the pool at once; otherwise the run keeps it (an acknowledgement
    // may still come) and retires it at its end, and join notices queued from now on ask for none.
    void WaitJoinAcknowledged(unsigned long timeoutMs);

    // --- The thread that uninitialises ---
    // Asks the thread to stop. True when it serves (or may still call a handler): wait until
    // HasEndedServing. False when it never will: it leaves without calling any handler.
    bool RequestStop();
    // True once the thread has left its loop, after its last handler call.
    bool HasEndedServing();

    // --- The run's own thread ---
    // The key and event a join notice carries (key 0 once the initialising thread stopped waiting).
    std::uint64_t JoinKey() const { return m_joinKey.load(); }
    CKxEvent* JoinEvent() const;
    // Whether a stop was asked for before the run began serving.
    bool StopRequested();
    // Moves to serving (the participant's stopped flag is cleared), unless a stop was asked for
    // first: false, and the thread leaves without calling a handler.
    bool BeginServing();
    // The thread has left its loop: no handler runs any more.
    void EndServing();
    void SetStartFailure(std::exception_ptr failure) { m_startFailure = failure; }
    // Wakes the initialising thread's WaitStarted; may be called more than once.
    void SignalStarted();
    CKxEvent* StopEvent() const { return m_stopEvent.get(); }
    CKxEvent* ReceiveEvent() const { return m_receiveEvent.get(); }
    void SetReceiveEvent(CKxEvent* event);
    // The channel, for the run's own thread (which alone publishes and withdraws it).
    CIPCCommunicationChannel* Channel() const { return m_channel; }
    void PublishChannel(CIPCCommunicationChannel* channel);
    // Withdraws and deletes the channel once no other thread uses it.
    void CloseChannel();

    // The join notice that found no room in the queue: the members it is still owed to.
    bool JoinNoticePending() const { return m_noticeRecipientCount != 0; }
    void SetJoinNoticePending(unsigned int count, const unsigned int* ids);
    // Queues the pending notice for those of its recipients still registered, if it fits now.
    // The caller holds the channel lock.
    void RetryJoinNotice();

    // Acknowledgements owed by the handlers of this thread, oldest first. An acknowledgement
    // always goes to the oldest message whose handling began and that is not yet acknowledged: a
    // message handled inside a handler's own send is acknowledged in the place of the one whose
    // handler sends, which gets the later acknowledgement once its handler returns.
    void BeginAcknowledgement(std::uint32_t position);
    std::uint32_t NextAcknowledgement();

    // --- Any thread, holding a Reference ---
    // Queues message for count recipients (ids), or for every other member when ids is null. False,
    // with nothing queued, when the run does not serve (not yet, or no more) or the channel
    // refuses. *position (when given) gets the record's position. report (may be null) gets the
    // targets and, for a refusal, why and which targets are not members.
    bool AddMessage(unsigned int count, const unsigned int* ids, const CkxIPCMessage* message,
                    std::uint32_t* position = nullptr, kxipc_send_report* report = nullptr);
    // Fills the outcomes of report, whose message (key) was queued at position: acknowledged or
    // departed when acknowledgedByAll (its sender saw the signal) or the record is gone, else as
    // each entry stands; a target no longer registered has departed.
    void ReportOutcomes(std::uint32_t position, std::uint64_t key, bool acknowledgedByAll,
                        kxipc_send_report* report);

private:
    ~CKxParticipantRun() override;
    void AddReference() { m_references.fetch_add(1); }
    void ReleaseReference();

    enum class Phase { Starting, Serving, Ended };

    CkxIPCParticipant* const m_participant;
    std::atomic<long> m_references{1};
    CKxSlimLock m_phaseLock;  // m_phase, m_stopRequested, and giving the join element back
    Phase m_phase = Phase::Starting;
    bool m_stopRequested = false;
    std::unique_ptr<CKxEvent> m_startedEvent, m_stopEvent, m_receiveEvent;
    CKxIPCAcknowledgeEventPoolElement* m_joinElement = nullptr;  // borrowed from the pool
    std::atomic<std::uint64_t> m_joinKey{0};
    std::exception_ptr m_startFailure;
    // Senders hold it shared while they use m_channel; the run's thread holds it exclusively to
    // publish and withdraw the channel. Per run: participants never wait on each other through it.
    CKxSlimLock m_channelLock;
    CIPCCommunicationChannel* m_channel = nullptr;  // owned
    unsigned int m_noticeRecipientCount = 0;
    unsigned int m_noticeRecipients[kKxMaxParticipants];
    // The ring positions of the messages whose handling began, unacknowledged: a queue of at most
    // as many entries as the ring can hold for one recipient.
    std::uint32_t m_begun[CKxMessageRing::kMaxEntries];
    std::uint32_t m_begunFirst = 0, m_begunCount = 0;
};
