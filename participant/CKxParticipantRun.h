// One run of a participant's waiting thread: the thread, its loop, and everything that run uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "CKxIPCEventWaiter.h"
#include "CKxParticipantHandlers.h"
#include "CKxSlimLock.h"
#include "CKxThread.h"
#include "KxChannelLayout.h"
#include "KxMessageRing.h"

class CIPCCommunicationChannel;
class CKxEvent;
class CKxIPCAcknowledgeEventPoolElement;
class CkxIPCMessage;
struct kxipc_send_report;

// Each InitializeParticipant makes one run; the participant holds it in its waiting-thread pointer
// (a run is a CKxThread). The run owns everything one membership uses: its thread and that
// thread's identity (the participant identifier), its loop and stop state, the started, stop and
// receive events, the join acknowledge element, the channel object, the member lists, the event
// waiter, the announced members and the handlers. It lives, reference-counted, until its thread
// has ended and the last reference is given back; so a thread that runs late, or that still
// finishes a handler after its participant was uninitialised or initialised again, only ever
// touches objects of its own run. The participant reaps it (waits for the thread's end) at the
// next start and at destruction; a run whose thread started the next run is reaped with that one.
//
// Threads: the initialising thread makes, starts and waits for the run; the run's own thread
// joins, serves (calls every handler) and leaves; any thread may queue messages through it while
// holding a Reference; the thread that uninitialises asks it to stop. Each member says who may
// call it. Facts other threads read (identifier, serving state, stop) are atomics or guarded by
// the run's locks, and are recorded by the run's own thread before its first handler call.
class CKxParticipantRun : public CKxThread {
public:
    // A counted hold on the run a participant currently publishes: the run stays alive while the
    // hold lasts, even if the participant reaps it meanwhile.
    class Reference {
    public:
        // Reads the participant's waiting-thread slot; null when no run is published.
        explicit Reference(CKxThread* const& slot);
        ~Reference();
        Reference(const Reference&) = delete;
        Reference& operator=(const Reference&) = delete;
        CKxParticipantRun* operator->() const { return m_run; }
        CKxParticipantRun* get() const { return m_run; }
        explicit operator bool() const { return m_run != nullptr; }

    private:
        CKxParticipantRun* m_run;
    };

    // Draws the join element from the pool and makes the started and stop events; the thread is
    // not started. channelName is copied. previous: the run this one replaces while its thread
    // still runs (a handler initialised its own participant again), reaped with this one; the
    // reference passes to this run. Throws what the pool and the events throw, leaving nothing.
    CKxParticipantRun(std::unique_ptr<CKxParticipantHandlers> handlers, const char* channelName,
                      CKxParticipantRun* previous);

    // The recipients a queued message still has to wake: the sender wakes them once it has given
    // the channel lock back, so that they do not wake only to wait for that lock.
    // For a synchronous send (element given) it also describes the send's record: AddMessage
    // lists it with the run until EndSend (see ReleaseAnsweredSends).
    struct Wakes {
        std::shared_ptr<CKxEvent> events[kKxMaxRecipients];
        std::uint32_t count = 0;
        CKxIPCAcknowledgeEventPoolElement* element = nullptr;  // the send's, borrowed
        std::uint32_t position = 0;
        std::uint32_t recipients = 0;
        std::uint64_t key = 0;
        Wakes* next = nullptr;
    };

    // Makes run the one the slot publishes (the slot must be empty). The slot holds one reference.
    static void Publish(CKxThread*& slot, CKxParticipantRun* run);
    // Empties the slot and gives its reference back to the caller (null when empty): the run
    // stays alive for the caller, who reaps it or hands it on as a previous run.
    static CKxParticipantRun* Withdraw(CKxThread*& slot);
    // Empties the slot, waits for the end of its run's thread and gives the slot's reference back.
    // Never throws. Not on the run's own thread.
    static void Reap(CKxThread*& slot);
    // The run whose thread is the calling thread, null on any other thread.
    static CKxParticipantRun* Current();
    // Waits until one of objects (1 to 2) is signalled: its index, or -1 after timeoutMs without
    // it. On a waiting thread whose run serves, that run dispatches meanwhile (its members must be
    // able to answer it), and the time-out counts 25 000 ms without any signal, as a send's does.
    static int WaitDispatching(CKxHandleSyncObject** objects, unsigned int count,
                               KxTimeout timeoutMs);
    // Sets every event of wakes, then waits for object as WaitDispatching does; off a waiting
    // thread the last wake and the wait are one kernel call. True when object was signalled.
    static bool WakeAndWait(Wakes* wakes, CKxHandleSyncObject* object, KxTimeout timeoutMs);
    // Sets every event of wakes.
    static void Wake(Wakes* wakes);

    // Starts the thread. Throws CKxThreadException.
    void Start();
    // The participant identifier: the run's thread identifier, 0 until that thread recorded it.
    unsigned int Id() const { return m_id.load(); }
    // True on the run's own thread.
    bool IsOwnThread() const { return Current() == this; }

    // --- The initialising thread ---
    // Waits up to timeoutMs for the thread to finish its start (served, or failed). False:
    // time-out.
    bool WaitStarted(KxTimeout timeoutMs);
    // What stopped the thread from joining, once WaitStarted returned true; null when it joined.
    std::exception_ptr StartFailure() const { return m_startFailure; }
    // The kernel error the thread saw with that failure (KxLastSystemError).
    int StartError() const { return m_startError; }
    // Waits up to timeoutMs until every member present acknowledged the join, or the thread ended.
    // When they acknowledged, the join element goes back to the pool at once; otherwise the run
    // keeps it (an acknowledgement may still come) and retires it at its end.
    void WaitJoinAcknowledged(KxTimeout timeoutMs);

    // --- The thread that uninitialises ---
    // Asks the thread to stop. True when it serves (or may still call a handler): wait until
    // HasEndedServing, unless the caller is itself a waiting thread. False when it never will: it
    // leaves without calling any handler. On the run's own thread (a handler stops its own
    // participant) it also leaves the channel at once; the handlers under way return to a loop
    // that calls no more handlers.
    bool RequestStop();
    // True once the thread has left its loop, after its last handler call.
    bool HasEndedServing();

    // --- Any thread, holding a Reference ---
    // Queues message, stamped with this run's identifier as its sender, for count recipients
    // (ids), or for every other member when ids is null. False, with nothing queued, when the run
    // does not serve (not yet, or no more) or the channel refuses. *position (when given) gets
    // the record's position. report (may be null) gets the targets and, for a refusal, why and
    // which targets are not members.
    // wakes gets the recipients to wake, which the caller must wake (Wake, WakeAndWait): a
    // recipient that already has an entry it has not taken is left out.
    bool AddMessage(unsigned int count, const unsigned int* ids, CkxIPCMessage* message,
                    std::uint32_t* position, kxipc_send_report* report, Wakes* wakes);
    // Takes a synchronous send that AddMessage listed off the list; every path of the send
    // calls it once its wait has ended, before the element goes back to the pool.
    void EndSend(Wakes* wakes);
    // Fills the outcomes of report, whose message (key) was queued at position: acknowledged or
    // departed when acknowledgedByAll (its sender saw the signal) or the record is gone, else as
    // each entry stands; a target no longer registered has departed.
    void ReportOutcomes(std::uint32_t position, std::uint64_t key, bool acknowledgedByAll,
                        kxipc_send_report* report);
    // The members announced to OnJoin and not yet through OnQuit, in the order announced: up to
    // capacity into ids; returns their number.
    std::uint32_t Members(std::uint32_t* ids, std::uint32_t capacity);

private:
    ~CKxParticipantRun() override;
    void AddReference() { m_references.fetch_add(1); }
    void ReleaseReference();

    static unsigned KX_THREAD_CALL Main(void* run);
    // The thread's body; true when it served. Nothing escapes it.
    bool Serve();
    // Opens the channel and registers; false when a stop came first (nothing is registered).
    bool JoinChannel();
    // Leaves the channel (acknowledging what is still queued for this run) once; own thread.
    void LeaveChannel();
    bool BeginServing();
    void EndServing();
    bool StopRequested();
    void SignalStarted();

    // The members' list from the channel (channel lock held), then the event waiter from it.
    void UpdateOthers();
    void ReconstructWaiter();
    // Rebuilds the lists (quitting: a member whose thread was seen to end, removed first), then
    // announces what changed.
    void RefreshMembers(unsigned int quitting);
    // Calls OnQuit for announced members no longer listed and OnJoin for listed members not yet
    // announced, one at a time, working out the next call afresh after each (a handler's send may
    // have rebuilt the lists and announced members meanwhile).
    void Announce();
    // Dispatches on this thread until one of awaited (awaitedCount objects behind the members) is
    // signalled (its index), a stop is seen, or timeoutMs pass without any signal (-1 for both).
    // With none awaited: until a stop is seen (the thread's own loop).
    int Dispatch(CKxHandleSyncObject** awaited, unsigned int awaitedCount, KxTimeout timeoutMs);
    int WaitForWake(KxTimeout timeoutMs, CKxHandleSyncObject** extra, unsigned int extraCount);
    // 0 the stop request, 1 messages, 2 + i the end of other member i.
    void DispatchWake(int position);
    void Receive();
    void SetJoinNoticePending(unsigned int count, const unsigned int* ids);
    // Queues the pending notice for those of its recipients still registered, if it fits now.
    // The caller holds the channel lock.
    void RetryJoinNotice();

    enum class Phase { Starting, Serving, Ended };

    const std::unique_ptr<CKxParticipantHandlers> m_handlers;
    const std::string m_channelName;
    CKxParticipantRun* const m_previous;  // one reference, given back at destruction
    std::atomic<long> m_references{1};
    std::atomic<unsigned int> m_id{0};
    // m_phase, m_stopRequested, and giving the join element back.
    CKxSlimLock m_phaseLock;
    Phase m_phase = Phase::Starting;
    bool m_stopRequested = false;
    // Senders are accepted from BeginServing until the thread has seen the stop.
    std::atomic<bool> m_accepting{false};
    std::unique_ptr<CKxEvent> m_startedEvent, m_stopEvent, m_receiveEvent;
    CKxIPCAcknowledgeEventPoolElement* m_joinElement = nullptr;  // borrowed from the pool
    std::uint64_t m_joinKey = 0;
    std::exception_ptr m_startFailure;
    int m_startError = 0;
    // Senders hold it shared while they use m_channel; the run's thread holds it exclusively to
    // publish the channel. Per run: participants never wait on each other through it.
    CKxSlimLock m_channelLock;
    CIPCCommunicationChannel* m_channel = nullptr;  // owned; closed when the run is destroyed

    // --- The run's own thread (the lists also under the channel lock, which senders read) ---
    bool m_stopSeen = false;
    bool m_left = false;
    CKxIPCEventWaiter m_waiter;
    unsigned int m_otherCount = 0;
    unsigned int m_otherIds[kKxMaxParticipants];
    CKxHandleSyncObject* m_otherObjects[kKxMaxParticipants];
    unsigned int m_presentCount = 0;  // the other members at the join
    unsigned int m_presentIds[kKxMaxParticipants];
    unsigned int m_noticeRecipientCount = 0;
    unsigned int m_noticeRecipients[kKxMaxParticipants];

    // The synchronous sends queued by this run whose wait has not ended. A recipient sets the
    // sender's event after it gave the lock back; if it dies in between, its acknowledgement
    // has completed and given back the record and nothing in the queue tells of the signal it
    // owed. So the wake-up for a member's end releases every listed send whose record is gone.
    // Taken after the channel lock where both are held.
    CKxSlimLock m_sendsLock;
    Wakes* m_sends = nullptr;
    void ReleaseAnsweredSends();

    // Written by the run's thread, read by any thread.
    CKxSlimLock m_announcedLock;
    unsigned int m_announcedCount = 0;
    unsigned int m_announcedIds[kKxMaxParticipants];
};
