// The exported participant: an application's membership of one named channel.
#pragma once

#include "KxExport.h"

class CIPCCommunicationChannel;
class CKxEvent;
class CKxHandleSyncObject;
class CKxIPCAcknowledgeEventPoolElement;
class CKxIPCEventWaiter;
class CKxMutex;
class CKxThread;
class CkxIPCMessage;
struct kxipc_send_report;

/// Derive from CkxIPCParticipant, implement the four handlers, construct it with a channel name and
/// call InitializeParticipant. The participant then has an identifier (its waiting thread's thread
/// identifier), learns of the other members through OnJoin and OnQuit, and receives messages
/// through OnSyncMessage and OnReceive, all on its own waiting thread.
///
/// Threads. Construct and destroy from application threads; initialise, uninitialise, send and
/// post from any thread, handlers included. Handlers run on the waiting thread only, never with a
/// lock of the library held. A synchronous send made in a handler keeps dispatching while it
/// waits, so handlers can be entered again before an earlier call has returned; so do the waits of
/// InitializeParticipant made in a handler (the handler's participant may have to acknowledge that
/// very join). UninitializeParticipant made in a handler never waits for a waiting thread, so
/// handlers that stop each other cannot wait for each other. A handler must not destroy a
/// participant: destruction waits for that participant's waiting thread.
///
/// Order of use: construct; InitializeParticipant; send/post; UninitializeParticipant; (initialise
/// again, under a new identifier, ...); destroy. Call UninitializeParticipant before destroying a
/// participant whose handlers may still run: the destructor of this base class runs after the
/// derived class is gone.
///
/// Failures. Sending returns false when refused; kernel failures reach the caller as exceptions of
/// the CKxBaseException family (KxExceptions.h). A handler that throws ends the participant's
/// membership (its waiting thread leaves the channel); nothing escapes the waiting thread.
///
/// Fixed limits: 50 members per channel; a message to N members takes 2N + 7 words of the channel's
/// 398-word ring; every wait on another party lasts at most 25 000 ms.
class KXIPC_API CkxIPCParticipant {
public:
    /// channelName: the channel's name, used as it stands in the names of its kernel objects
    /// (at most 208 characters, no backslash: kernel object names hold at most 260 characters, and
    /// the channel's longest adds 52). The participant keeps its own copy. Nothing is opened or
    /// started here.
    explicit CkxIPCParticipant(const char* channelName);
    /// A copy is a new, uninitialised participant of the same channel: it owns nothing of its
    /// source (no thread, events or membership), so neither object releases the other's.
    CkxIPCParticipant(const CkxIPCParticipant& other);
    /// Takes the source's channel name for the next initialisation; the membership of neither
    /// object changes.
    CkxIPCParticipant& operator=(const CkxIPCParticipant& other);
    /// Uninitialises an initialised participant, then waits for any waiting thread still leaving.
    virtual ~CkxIPCParticipant();

    /// 0 before the first initialisation; then the identifier of the latest waiting thread, kept
    /// after UninitializeParticipant. Any thread.
    unsigned int GetParticipantID() const;

    /// Starts the waiting thread, which joins the channel and calls OnJoin(id, false) for every
    /// member present; returns once every member present has acknowledged the join, or after
    /// 25 000 ms for the start and 25 000 ms for the acknowledgement (a member that does not
    /// answer). Refused (does nothing) when already initialised. In a handler of this participant
    /// that uninitialised it, the new waiting thread takes over while the handler's own thread
    /// finishes (it serves no more). Throws CKxChannelFullException at
    /// once, with nothing registered, when the channel already has its 50 members; throws
    /// CKxEventException, CKxThreadException, and the exception that stopped the waiting thread
    /// from opening the channel (e.g. CKxMutexException or CKxSharedMemoryException for a name
    /// taken by a kernel object of another kind); the participant is then left uninitialised.
    void InitializeParticipant();
    /// Leaves the channel: the waiting thread acknowledges every message still queued for this
    /// participant (releasing their synchronous senders), unregisters and ends. Returns once the
    /// thread has ended or has seen the stop and is leaving. Does nothing when not initialised,
    /// except that off every waiting thread it then waits for a stop that a handler asked for
    /// and that is still under way (after it, no handler of this participant runs, and an
    /// object derived from it may be destroyed). Made in a handler it does not wait: in this
    /// participant's own handler the participant leaves the channel at once and calls no further
    /// handler once the handlers under way have returned; in another participant's handler the
    /// stop is asked for, and handlers of this participant may still run until its thread has
    /// seen it.
    void UninitializeParticipant();

    /// Queues one message for count recipients (ids), or for every other member when ids is null,
    /// then waits until every recipient has acknowledged it: at most 25 000 ms from another thread;
    /// on the waiting thread, dispatching meanwhile until 25 000 ms pass without any signal or a
    /// stop is requested. True when the message was queued, whether or not it was acknowledged in
    /// time. False, with nothing queued: not initialised or stopping, code 0xFFFF0000 or above
    /// (reserved), a recipient that is not a member, no recipient, or no room in the channel.
    bool SendIPMessage(unsigned int count, const unsigned int* ids, unsigned int messageCode,
                       unsigned long long param);
    /// SendIPMessage, which also fills *report (may be null; kxipc_c.h) with what became of each
    /// target: acknowledged, departed (left or died before the send returned), or still pending
    /// when the 25 000 ms ran out; or, for a refused send, why nothing was queued and which
    /// targets were not members.
    bool SendIPMessage(unsigned int count, const unsigned int* ids, unsigned int messageCode,
                       unsigned long long param, kxipc_send_report* report);
    /// As SendIPMessage, but returns once the message is queued.
    bool PostIPMessage(unsigned int count, const unsigned int* ids, unsigned int messageCode,
                       unsigned long long param);
    /// PostIPMessage, which also fills *report (may be null; kxipc_c.h) as SendIPMessage does for a
    /// refused send: why nothing was queued and which targets were not members. A queued post's
    /// targets are not followed: their outcomes stay KXIPC_TARGET_NOT_QUEUED.
    bool PostIPMessage(unsigned int count, const unsigned int* ids, unsigned int messageCode,
                       unsigned long long param, kxipc_send_report* report);

    /// The other members announced to OnJoin and not yet through OnQuit, in the order they were
    /// announced: up to capacity of them into ids (may be null when capacity is 0); returns how
    /// many there are, also when that exceeds capacity. Empty when not initialised. Any thread:
    /// inside OnJoin(id) the list holds id, inside OnQuit(id) it no longer does.
    unsigned int GetMembers(unsigned int* ids, unsigned int capacity) const;

protected:
    /// For every member present at the start (joinedLater false) and every later joiner (true).
    virtual void OnJoin(unsigned int participantId, bool joinedLater) = 0;
    /// Once when another member's waiting thread has ended: it left, or its process died.
    virtual void OnQuit(unsigned int participantId) = 0;
    /// A synchronous message, before it is acknowledged: its sender is still waiting.
    virtual void OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                               unsigned long long param) = 0;
    /// Every application message, sent or posted, after it has been acknowledged.
    virtual void OnReceive(unsigned int senderId, unsigned int messageCode,
                           unsigned long long param) = 0;

private:
    // Forwards a run's handler calls to this participant's handlers (CkxIPCParticipant.cpp).
    class CHandlers;

    bool StartWaitingThread();
    bool StopWaitingThread();
    bool AddMessageToChannel(unsigned int count, const unsigned int* ids, CkxIPCMessage* message,
                             kxipc_send_report* report);

    // The exported layout. Each run of the waiting thread (CKxParticipantRun, reached through
    // m_waitingThread) owns its events, join element, channel, identifier, member lists, event
    // waiter and stop state; the members that held them stay in the layout, unused (null, 0).
    CKxEvent* m_startedEvent;
    CKxEvent* m_stopEvent;
    CKxIPCAcknowledgeEventPoolElement* m_joinAcknowledgeElement;
    CKxEvent* m_receiveEvent;
    CIPCCommunicationChannel* m_channel;
    unsigned int m_participantId;  // the latest run's identifier, once its start has returned
    unsigned int m_otherCount;
    unsigned int m_otherIds[50];
    CKxHandleSyncObject* m_otherThreadObjects[50];
    const char* m_channelName;  // owned copy
    bool m_stopped;
    bool m_initialized;  // the application's threads only
    CKxIPCEventWaiter* m_eventWaiter;
    CKxMutex* m_dispatchMutex;
    CKxThread* m_waitingThread;  // the current CKxParticipantRun, or null
};
