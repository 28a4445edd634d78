// A soak participant: logs every join, leave, send and delivery, and sends from its handlers.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

#include "kxipc.h"

class CKxSoakWorker;

// Owned by a CKxSoakWorker. Join, Leave and Act are called by the participant's one application
// thread, and so are ViewEquals and LogView once that thread has ended; the handlers run on the
// waiting threads (the one serving, and one still finishing a handler after its participant left
// and joined again from that handler). The members known are the library's (GetMembers); every
// OnJoin and OnQuit is logged (E) on entry, so that the log orders them as they were called.
class CKxSoakParticipant : public CkxIPCParticipant {
public:
    // postBurst: 0 for the plain mix; N > 0 makes one step in ten post N messages back to back.
    CKxSoakParticipant(const char* channel, CKxSoakWorker* worker, unsigned slot,
                       std::uint32_t seed, unsigned postBurst);
    ~CKxSoakParticipant() override;

    bool IsMember() const { return m_member; }
    // InitializeParticipant, timed and logged (J or X).
    void Join();
    // Logs L, then UninitializeParticipant.
    void Leave();
    // One random step of the application thread: a send, a post, a burst, a pause or a leave.
    void Act();
    // Whether the known members are exactly members (sorted) less this participant's own
    // identifier.
    bool ViewEquals(const std::vector<unsigned int>& members);
    // Logs K with the known members, when a member.
    void LogView(std::uint64_t waitedMs);

protected:
    void OnJoin(unsigned int participantId, bool joinedLater) override;
    void OnQuit(unsigned int participantId) override;
    void OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                       unsigned long long param) override;
    void OnReceive(unsigned int senderId, unsigned int messageCode,
                   unsigned long long param) override;

private:
    // The announced members (GetMembers), in announce order.
    std::vector<unsigned int> Members() const;
    // A random subset of the known members (possibly empty).
    std::vector<unsigned int> PickRecipients(std::mt19937& random);
    // Sends or posts to recipients (every other member when broadcast), timed and logged as kind
    // (KxSoakProtocol.h).
    void Send(char kind, bool broadcast, const std::vector<unsigned int>& recipients);
    // With m_lifecycle held.
    void JoinLocked();
    void LeaveLocked();
    // From a handler, now and then (never deeper than two handlers): a nested send or post; from
    // OnJoin(announced) or OnQuit(announced, quit true), a synchronous send to that member, to
    // itself, to every other member or to some; rarely, a leave, and a join again at once or by
    // the application thread later.
    void ActInHandler(unsigned int announced, bool quit);
    // Logs the OnJoin or OnQuit (E), what as in the log line, with whether GetMembers lists id.
    void NoteAnnouncement(char what, unsigned int participantId);
    // Remembers, on the calling waiting thread, which generation it serves (first call wins).
    void NoteGeneration();

    CKxSoakWorker* const m_worker;
    const unsigned m_slot;
    const unsigned m_postBurst;
    const std::uint32_t m_handlerSeed;
    // Joins and leaves one at a time: the application thread waits for it, a handler only tries
    // it (the application thread may be waiting for that very handler to return).
    std::mutex m_lifecycle;
    std::atomic<unsigned> m_generation;
    std::atomic<bool> m_member;
    std::mt19937 m_random;  // the application thread's
};
