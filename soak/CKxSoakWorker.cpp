// One soak worker process: application threads, the warm-up and final measurements, the log.
#include "CKxSoakWorker.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <thread>

#include "CKxEvent.h"
#include "CKxSharedMemory.h"
#include "CKxSoakParticipant.h"
#include "KxExceptions.h"
#include "KxProcessUsage.h"
#include "KxSoakProtocol.h"

namespace {

// After the participants have left, their waiting threads may still be closing their channel
// objects for a moment; the measurement waits this long, the same in both phases.
const std::chrono::milliseconds kSettle(300);

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

CKxSoakWorker::CKxSoakWorker(const std::string& channel, unsigned number, std::uint32_t seed,
                             unsigned participants, KxTimeout warmUpMs, unsigned postBurst,
                             const std::string& logPath)
    : m_channel(channel),
      m_number(number),
      m_seed(seed),
      m_warmUpMs(warmUpMs),
      m_log(std::fopen(logPath.c_str(), "wb")),
      m_sequence(0),
      m_quiescing(false),
      m_borrowers(0),
      m_borrowersHigh(0),
      m_pauseRequested(false),
      m_parked(0) {
    for (unsigned slot = 0; slot < participants; ++slot) {
        m_participants.emplace_back(
            new CKxSoakParticipant(channel.c_str(), this, slot, seed * 131u + slot, postBurst));
    }
}

CKxSoakWorker::~CKxSoakWorker() {
    m_participants.clear();
    if (m_log) std::fclose(m_log);
}

void CKxSoakWorker::Log(const char* format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (length < 0) return;
    if (length > static_cast<int>(sizeof(line)) - 2) length = static_cast<int>(sizeof(line)) - 2;
    line[length++] = '\n';
    std::lock_guard<std::mutex> hold(m_logLock);
    if (!m_log) return;
    std::fwrite(line, 1, static_cast<size_t>(length), m_log);
    std::fflush(m_log);
}

void CKxSoakWorker::BeginBorrow() {
    const int now = ++m_borrowers;
    int high = m_borrowersHigh.load();
    while (now > high && !m_borrowersHigh.compare_exchange_weak(high, now)) {
    }
    if (now > high) Log("P %d", now);
}

void CKxSoakWorker::EndBorrow() { --m_borrowers; }

void CKxSoakWorker::PausePoint(CKxSoakParticipant* participant) {
    std::unique_lock<std::mutex> hold(m_pauseLock);
    if (!m_pauseRequested) return;
    hold.unlock();
    participant->Leave();
    hold.lock();
    ++m_parked;
    m_pauseChanged.notify_all();
    m_pauseChanged.wait(hold, [this] { return !m_pauseRequested; });
    --m_parked;
}

void CKxSoakWorker::ApplicationThread(unsigned slot) {
    CKxSoakParticipant* participant = m_participants[slot].get();
    while (!m_quiescing.load()) {
        PausePoint(participant);
        if (m_quiescing.load()) break;
        if (!participant->IsMember()) {
            participant->Join();
        } else {
            participant->Act();
        }
    }
}

void CKxSoakWorker::MeasureWithEveryoneOut(const char* phase) {
    while (m_borrowers.load() != 0) SleepMs(10);  // handler sends still waiting
    std::this_thread::sleep_for(kSettle);
    Log("M %s %lu %llu %llu", phase, static_cast<unsigned long>(KxOpenHandleCount()),
        static_cast<unsigned long long>(KxPrivateBytes()),
        static_cast<unsigned long long>(KxSoakNowMs()));
}

void CKxSoakWorker::LogIdle() {
    std::string ids;
    unsigned count = 0;
    for (auto& participant : m_participants) {
        if (!participant->IsMember()) continue;
        ids += " " + std::to_string(participant->GetParticipantID());
        ++count;
    }
    Log("I %llu %u%s", static_cast<unsigned long long>(KxSoakNowMs()), count, ids.c_str());
}

void CKxSoakWorker::LogSettledViews() {
    std::vector<unsigned int> members;
    KxSoakMemberList list = {};
    bool known = false;
    if (CKxSharedMemory::CopyExisting(KxSoakEventName(m_channel, "members"), &list, sizeof(list),
                                      &known)) {
        members.assign(list.ids, list.ids + std::min<std::uint32_t>(list.count, 50));
    }
    std::sort(members.begin(), members.end());
    // Without the list there is nothing to wait for: the views are logged as they stand.
    const std::uint64_t start = KxSoakNowMs();
    while (known && KxSoakNowMs() - start < kKxSoakViewSettleLimitMs) {
        bool settled = true;
        for (auto& participant : m_participants) {
            if (participant->IsMember() && !participant->ViewEquals(members)) settled = false;
        }
        if (settled) break;
        SleepMs(10);
    }
    const std::uint64_t waited = KxSoakNowMs() - start;
    for (auto& participant : m_participants) participant->LogView(waited);
}

int CKxSoakWorker::Run() {
    if (!m_log) return 3;
    // The driver made them before it started this process (manual-reset, as it made them).
    std::unique_ptr<CKxEvent> quiesce, measure, views, idle, viewed;
    try {
        quiesce.reset(new CKxEvent(KxSoakEventName(m_channel, "quiesce"), true));
        measure.reset(new CKxEvent(KxSoakEventName(m_channel, "measure"), true));
        views.reset(new CKxEvent(KxSoakEventName(m_channel, "views"), true));
        idle.reset(new CKxEvent(KxSoakWorkerEventName(m_channel, "idle", m_number), true));
        viewed.reset(new CKxEvent(KxSoakWorkerEventName(m_channel, "viewed", m_number), true));
    } catch (const CKxBaseException&) {
        return 4;
    }

    std::vector<std::thread> threads;
    for (unsigned slot = 0; slot < m_participants.size(); ++slot) {
        threads.emplace_back([this, slot] { ApplicationThread(slot); });
    }

    // Warm-up: then every participant steps out at once for one measurement, and back in.
    if (!quiesce->Wait(m_warmUpMs)) {
        std::unique_lock<std::mutex> hold(m_pauseLock);
        m_pauseRequested = true;
        m_pauseChanged.wait(hold, [this] { return m_parked == m_participants.size(); });
        hold.unlock();
        MeasureWithEveryoneOut("warm");
        hold.lock();
        m_pauseRequested = false;
        m_pauseChanged.notify_all();
    }

    quiesce->Wait(kKxWaitForever);
    m_quiescing = true;
    for (std::thread& thread : threads) thread.join();
    while (m_borrowers.load() != 0) SleepMs(10);
    LogIdle();
    idle->Set();

    // Every survivor stays a member until all have logged their views: a leave now would change
    // the views still settling elsewhere.
    views->Wait(kKxWaitForever);
    LogSettledViews();
    viewed->Set();

    measure->Wait(kKxWaitForever);
    for (auto& participant : m_participants) participant->Leave();
    MeasureWithEveryoneOut("final");
    return 0;
}
