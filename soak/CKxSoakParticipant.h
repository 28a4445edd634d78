// A soak participant: logs every join, leave, send and delivery, and sends from its handlers.
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

#include "kxipc.h"

class CKxSoakWorker;

// Owned by a CKxSoakWorker. Join, Leave and Act are called by the participant's one application
// thread, and so are ViewEquals and LogView once that thread has ended; the handlers run on the
// waiting thread. The known members (from OnJoin and OnQuit) are kept under a lock of their own,
// since both threads read them; every OnJoin and OnQuit is logged (E) under that lock, so that the
// log orders them as the view saw them.
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
    // A random subset of the known members (possibly empty).
    std::vector<unsigned int> PickRecipients(std::mt19937& random);
    // Sends or posts to recipients (every other member when broadcast), timed and logged.
    void Send(bool synchronous, bool inHandler, bool broadcast,
              const std::vector<unsigned int>& recipients);
    // From a handler, now and then, a nested send or post; never deeper than two handlers.
    void MaybeSendFromHandler();
    // Logs the event (E), what as in the log line, and updates the known members when the calling
    // waiting thread serves the current generation: a thread still leaving must not change the
    // view its successor starts afresh.
    void NoteMembership(char what, unsigned int participantId);
    // Remembers, on the calling waiting thread, which generation it serves (first call wins).
    void NoteGeneration();

    CKxSoakWorker* const m_worker;
    const unsigned m_slot;
    const unsigned m_postBurst;
    unsigned m_generation;
    bool m_member;
    std::mt19937 m_random;         // the application thread's
    std::mt19937 m_handlerRandom;  // the waiting thread's
    std::mutex m_othersLock;
    std::vector<unsigned int> m_others;  // the view of generation m_othersGeneration
    unsigned m_othersGeneration = 0;
};
