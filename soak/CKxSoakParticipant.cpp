// A soak participant: random sends and posts, nested sends from handlers, and a log of them all.
#include "CKxSoakParticipant.h"

#include <algorithm>
#include <exception>
#include <string>

#include "CKxSoakWorker.h"
#include "KxSoakProtocol.h"

namespace {

const unsigned kMaxHandlerDepth = 2;

// Handler nesting of the calling thread: a send made at depth d dispatches handlers of depth
// d + 1 while it waits; their time is summed per depth so that the send's own wait can be told
// from the time its nested handlers took.
thread_local unsigned t_depth = 0;
thread_local std::uint64_t t_handlerMs[kMaxHandlerDepth + 2] = {};
// The generation a waiting thread serves, taken at its first handler: a thread that has seen its
// stop may still drain its messages after the next generation has begun (and m_generation moved).
thread_local unsigned t_generation = 0;

// Times one handler body at the next depth.
class HandlerScope {
public:
    HandlerScope() : m_start(KxSoakNowMs()) { ++t_depth; }
    ~HandlerScope() {
        if (t_depth < kMaxHandlerDepth + 2) t_handlerMs[t_depth] += KxSoakNowMs() - m_start;
        --t_depth;
    }

private:
    std::uint64_t m_start;
};

std::string OneWord(std::string text) {
    std::replace(text.begin(), text.end(), ' ', '_');
    return text.empty() ? "-" : text;
}

// Inside a catch: the text of the exception being handled, as one word. The library's own family
// does not derive from std::exception and carries its fixed message.
std::string FailureText() {
    try {
        throw;
    } catch (const CKxBaseException& failure) {
        return OneWord(failure.GetErrorMessage());
    } catch (const std::exception& failure) {
        return OneWord(failure.what());
    } catch (...) {
        return "unknown";
    }
}

}  // namespace

CKxSoakParticipant::CKxSoakParticipant(const char* channel, CKxSoakWorker* worker, unsigned slot,
                                       std::uint32_t seed, unsigned postBurst)
    : CkxIPCParticipant(channel),
      m_worker(worker),
      m_slot(slot),
      m_postBurst(postBurst),
      m_generation(0),
      m_member(false),
      m_random(seed),
      m_handlerRandom(seed ^ 0x9E3779B9u) {}

CKxSoakParticipant::~CKxSoakParticipant() { UninitializeParticipant(); }

void CKxSoakParticipant::Join() {
    ++m_generation;
    {
        std::lock_guard<std::mutex> hold(m_othersLock);
        m_others.clear();
        m_othersGeneration = m_generation;
    }
    const std::uint64_t start = KxSoakNowMs();
    m_worker->BeginBorrow();
    try {
        InitializeParticipant();
        m_worker->EndBorrow();
        m_member = true;
        m_worker->Log("J %u %u %u %llu %llu", m_slot, m_generation, GetParticipantID(),
                      static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(KxSoakNowMs()));
    } catch (...) {
        m_worker->EndBorrow();
        m_worker->Log("X %u %u %llu %llu %s", m_slot, m_generation,
                      static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(KxSoakNowMs()), FailureText().c_str());
    }
}

void CKxSoakParticipant::Leave() {
    if (!m_member) return;
    m_worker->Log("L %u %u %u %llu", m_slot, m_generation, GetParticipantID(),
                  static_cast<unsigned long long>(KxSoakNowMs()));
    m_member = false;
    UninitializeParticipant();
}

std::vector<unsigned int> CKxSoakParticipant::PickRecipients(std::mt19937& random) {
    std::vector<unsigned int> chosen;
    std::lock_guard<std::mutex> hold(m_othersLock);
    for (unsigned int id : m_others) {
        if (random() % 3 != 0) chosen.push_back(id);
    }
    if (chosen.empty() && !m_others.empty()) chosen.push_back(m_others[random() % m_others.size()]);
    return chosen;
}

void CKxSoakParticipant::Send(bool synchronous, bool inHandler, bool broadcast,
                              const std::vector<unsigned int>& recipients) {
    const std::uint32_t seq = m_worker->NextSequence();
    const std::uint64_t param = KxSoakParam(m_worker->Number(), seq);
    const unsigned int code = 1 + seq % 1000;
    const unsigned depth = t_depth;
    const std::uint64_t nestedBefore =
        depth + 1 < kMaxHandlerDepth + 2 ? t_handlerMs[depth + 1] : 0;
    const std::uint64_t start = KxSoakNowMs();
    const unsigned int count = broadcast ? 0 : static_cast<unsigned int>(recipients.size());
    const unsigned int* ids = broadcast ? nullptr : recipients.data();
    const char kind = inHandler ? (synchronous ? 'h' : 'q') : (synchronous ? 's' : 'p');
    // A handler sends for the generation its waiting thread serves, whose identifier is that
    // thread's: the application thread may already have begun the next one.
    const unsigned generation = inHandler ? t_generation : m_generation;
    const unsigned int senderId =
        inHandler ? static_cast<unsigned int>(GetCurrentThreadId()) : GetParticipantID();
    bool ok = false;
    m_worker->BeginBorrow();
    try {
        ok = synchronous ? SendIPMessage(count, ids, code, param)
                         : PostIPMessage(count, ids, code, param);
    } catch (...) {
        m_worker->Log("T %c %u %u %u %llu %llu %s", kind, m_slot, generation, seq,
                      static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(KxSoakNowMs()), FailureText().c_str());
    }
    m_worker->EndBorrow();
    const std::uint64_t end = KxSoakNowMs();
    const std::uint64_t nested =
        (depth + 1 < kMaxHandlerDepth + 2 ? t_handlerMs[depth + 1] : 0) - nestedBefore;
    std::string line;
    for (unsigned int id : recipients) {
        if (!broadcast) line += " " + std::to_string(id);
    }
    m_worker->Log("S %c %u %u %u %u %d %llu %llu %llu %u%s", kind, m_slot, generation, senderId,
                  seq, ok ? 1 : 0, static_cast<unsigned long long>(start),
                  static_cast<unsigned long long>(end), static_cast<unsigned long long>(nested),
                  count, line.c_str());
}

void CKxSoakParticipant::Act() {
    // Leaves are rare (3 in 1000 steps), so that most memberships outlive many messages and the
    // loss check has recipients to check.
    if (m_random() % 1000 < 3) {
        Leave();
        return;
    }
    const unsigned roll = m_random() % 100;
    if (roll < 10) {
        Sleep(m_random() % 20);
        return;
    }
    const std::vector<unsigned int> recipients = PickRecipients(m_random);
    if (recipients.empty()) {
        Sleep(5);
        return;
    }
    if (m_postBurst != 0 && roll < 20) {
        // Back to back, faster than the recipients drain them: the ring fills, and the posts
        // that find no room are refused.
        for (unsigned i = 0; i < m_postBurst && !m_worker->Quiescing(); ++i) {
            Send(false /*synchronous*/, false /*inHandler*/, false /*broadcast*/, recipients);
        }
        return;
    }
    const bool broadcast = m_random() % 8 == 0;
    Send(roll < 50, false /*inHandler*/, broadcast, recipients);
    // A breath between steps keeps the 398-word ring from being full all the time.
    Sleep(m_random() % 4);
}

void CKxSoakParticipant::MaybeSendFromHandler() {
    if (t_depth > kMaxHandlerDepth || m_worker->Quiescing()) return;
    const unsigned roll = m_handlerRandom() % 100;
    if (roll >= 15) return;
    const std::vector<unsigned int> recipients = PickRecipients(m_handlerRandom);
    if (recipients.empty()) return;
    Send(roll < 8, true /*inHandler*/, false /*broadcast*/, recipients);
}

void CKxSoakParticipant::NoteGeneration() {
    if (t_generation == 0) t_generation = m_generation;
}

void CKxSoakParticipant::NoteMembership(char what, unsigned int participantId) {
    NoteGeneration();
    std::lock_guard<std::mutex> hold(m_othersLock);
    // A leaving thread's event is logged under its own generation but kept out of the view.
    const bool current = t_generation == m_othersGeneration;
    if (current && what == 'q') {
        m_others.erase(std::remove(m_others.begin(), m_others.end(), participantId),
                       m_others.end());
    } else if (current &&
               std::find(m_others.begin(), m_others.end(), participantId) == m_others.end()) {
        m_others.push_back(participantId);
    }
    m_worker->Log("E %u %u %c %u %llu", m_slot, t_generation, what, participantId,
                  static_cast<unsigned long long>(KxSoakNowMs()));
}

void CKxSoakParticipant::OnJoin(unsigned int participantId, bool joinedLater) {
    NoteMembership(joinedLater ? 'j' : 'p', participantId);
}

void CKxSoakParticipant::OnQuit(unsigned int participantId) { NoteMembership('q', participantId); }

bool CKxSoakParticipant::ViewEquals(const std::vector<unsigned int>& members) {
    std::vector<unsigned int> expected;
    for (unsigned int id : members) {
        if (id != GetParticipantID()) expected.push_back(id);
    }
    std::lock_guard<std::mutex> hold(m_othersLock);
    std::vector<unsigned int> known = m_others;
    std::sort(known.begin(), known.end());
    return known == expected;
}

void CKxSoakParticipant::LogView(std::uint64_t waitedMs) {
    if (!m_member) return;
    std::lock_guard<std::mutex> hold(m_othersLock);
    std::vector<unsigned int> known = m_others;
    std::sort(known.begin(), known.end());
    std::string ids;
    for (unsigned int id : known) ids += " " + std::to_string(id);
    m_worker->Log("K %u %u %u %llu %u%s", m_slot, m_generation, GetParticipantID(),
                  static_cast<unsigned long long>(waitedMs), static_cast<unsigned>(known.size()),
                  ids.c_str());
}

void CKxSoakParticipant::OnSyncMessage(unsigned int, unsigned int, unsigned long long) {
    HandlerScope scope;
    NoteGeneration();
    MaybeSendFromHandler();
}

void CKxSoakParticipant::OnReceive(unsigned int senderId, unsigned int messageCode,
                                   unsigned long long param) {
    HandlerScope scope;
    NoteGeneration();
    // The waiting thread's identifier is the participant identifier of the generation it serves.
    m_worker->Log("H %u %u %lu %u %u %llu", m_slot, t_generation, GetCurrentThreadId(), senderId,
                  messageCode, param);
    MaybeSendFromHandler();
}
