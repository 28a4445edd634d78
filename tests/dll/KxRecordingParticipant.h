// A participant for tests: records every handler call, in order, and can act inside its handlers.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "KxWindows.h"
#include "kxipc.h"

// One handler call (or a note a hook added between them), as the waiting thread saw it.
struct KxParticipantEvent {
    enum Kind { kJoin, kQuit, kSync, kReceive, kNote };
    Kind kind;
    unsigned int id;           // the member joining or quitting, the sender, or the note's value
    bool joinedLater;          // kJoin only
    unsigned int code;         // kSync and kReceive only
    unsigned long long param;  // kSync and kReceive only
    DWORD threadId;            // the thread that made the call
};

using KxEventMatch = std::function<bool(const KxParticipantEvent&)>;

// The log is locked, so any thread may read or wait on it while the waiting thread writes it.
// The channel name's text must outlive the participant. The destructor uninitialises first, so no
// handler runs on a half-destroyed object.
class CKxRecordingParticipant : public CkxIPCParticipant {
public:
    // Called on the waiting thread, inside the handler, after the call has been recorded. It may
    // send, post, add notes or block (the handler does not return until it does).
    using Hook = std::function<void(CKxRecordingParticipant& self, const KxParticipantEvent&)>;

    explicit CKxRecordingParticipant(const char* channelName);
    ~CKxRecordingParticipant() override;

    // Set before InitializeParticipant: the waiting thread reads it without a lock.
    void SetHook(Hook hook);

    // Appends a kNote event with this value: lets a hook mark a point among the handler calls.
    void AddNote(unsigned int value);

    std::vector<KxParticipantEvent> Events() const;
    size_t Count(const KxEventMatch& match) const;
    // True once an event that matches has been recorded (also one recorded before the call);
    // false when timeoutMs pass first.
    bool WaitFor(const KxEventMatch& match, DWORD timeoutMs) const;

    static KxEventMatch Join(unsigned int id, bool joinedLater);
    static KxEventMatch Quit(unsigned int id);
    static KxEventMatch Sync(unsigned int sender, unsigned int code);
    static KxEventMatch Receive(unsigned int sender, unsigned int code);
    static KxEventMatch Note(unsigned int value);
    static KxEventMatch AnyOf(KxParticipantEvent::Kind kind);

protected:
    void OnJoin(unsigned int participantId, bool joinedLater) override;
    void OnQuit(unsigned int participantId) override;
    void OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                       unsigned long long param) override;
    void OnReceive(unsigned int senderId, unsigned int messageCode,
                   unsigned long long param) override;

private:
    void Record(KxParticipantEvent::Kind kind, unsigned int id, bool joinedLater, unsigned int code,
                unsigned long long param);

    Hook m_hook;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_recorded;
    std::vector<KxParticipantEvent> m_events;  // guarded by m_lock
};
