// One soak worker process: its participants, their application threads, its log and its phases.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KxPlatformTypes.h"

class CKxSoakParticipant;

// Built and run by the worker's main thread. Each participant has one application thread that
// joins, sends, posts, leaves and rejoins at random until the quiesce event is set; the handlers
// send, leave and rejoin too (CKxSoakParticipant). Everything observable goes to the log
// (KxSoakProtocol.h). The methods other than Run may be called from any thread.
class CKxSoakWorker {
public:
    CKxSoakWorker(const std::string& channel, unsigned number, std::uint32_t seed,
                  unsigned participants, KxTimeout warmUpMs, unsigned postBurst,
                  const std::string& logPath);
    ~CKxSoakWorker();
    CKxSoakWorker(const CKxSoakWorker&) = delete;
    CKxSoakWorker& operator=(const CKxSoakWorker&) = delete;

    // The whole life of the process; the exit code (0: every phase reached).
    int Run();

    // Writes one whole line (a newline is added). Any thread.
    void Log(const char* format, ...);

    unsigned Number() const { return m_number; }
    std::uint32_t NextSequence() { return m_sequence.fetch_add(1) + 1; }
    // Set once the run is over: no new send may start.
    bool Quiescing() const { return m_quiescing.load(); }

    // Brackets every SendIPMessage and InitializeParticipant (each may borrow a pool element).
    void BeginBorrow();
    void EndBorrow();

    // Called by an application thread at the top of its loop: while a pause is requested, the
    // caller's participant is out of the channel and the thread waits here.
    void PausePoint(CKxSoakParticipant* participant);

private:
    void ApplicationThread(unsigned slot);
    // Every participant out and no send in flight, then one M line.
    void MeasureWithEveryoneOut(const char* phase);
    // The I line, with the identifiers of the participants that are members.
    void LogIdle();
    // Gives every member's view until kKxSoakViewSettleLimitMs to equal the driver's member list,
    // then logs each (K). Runs once the application threads have ended.
    void LogSettledViews();

    const std::string m_channel;
    const unsigned m_number;
    const std::uint32_t m_seed;
    const KxTimeout m_warmUpMs;
    std::FILE* m_log;  // flushed line by line: a killed worker's lines are all there
    std::mutex m_logLock;
    std::vector<std::unique_ptr<CKxSoakParticipant>> m_participants;
    std::atomic<std::uint32_t> m_sequence;
    std::atomic<bool> m_quiescing;
    std::atomic<int> m_borrowers;
    std::atomic<int> m_borrowersHigh;

    // The pause of the warm-up measurement, under m_pauseLock.
    std::mutex m_pauseLock;
    std::condition_variable m_pauseChanged;
    bool m_pauseRequested;
    unsigned m_parked;
};
