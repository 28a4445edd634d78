// A soak participant: random sends and posts, nested sends from handlers, and a log of them all.
#include "CKxSoakParticipant.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "CKxSoakWorker.h"
#include "KxLiveness.h"
#include "KxSoakProtocol.h"

namespace {

const unsigned kMaxHandlerDepth = 2;

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Handler nesting of the calling thread: a send made at depth d dispatches handlers of depth
// d + 1 while it waits; their time is summed per depth so that the send's own wait can be told
// from the time its nested handlers took.
thread_local unsigned t_depth = 0;
thread_local std::uint64_t t_handlerMs[kMaxHandlerDepth + 2] = {};
// The generation a waiting thread serves, taken at its first handler: a thread that has seen its
// stop may still finish a handler after the next generation has begun (and m_generation moved).
thread_local unsigned t_generation = 0;
// The handlers' own random stream: a participant may have two waiting threads at once.
thread_local std::mt19937 t_random;

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
      m_handlerSeed(seed ^ 0x9E3779B9u),
      m_generation(0),
      m_member(false),
      m_random(seed) {}

CKxSoakParticipant::~CKxSoakParticipant() { UninitializeParticipant(); }

void CKxSoakParticipant::Join() {
    std::lock_guard<std::mutex> hold(m_lifecycle);
    if (m_member) return;
    m_worker->BeginBorrow();
    JoinLocked();
    m_worker->EndBorrow();
}

void CKxSoakParticipant::JoinLocked() {
    ++m_generation;
    const std::uint64_t start = KxSoakNowMs();
    try {
        InitializeParticipant();
        m_member = true;
        m_worker->Log("J %u %u %u %llu %llu %c", m_slot, m_generation.load(), GetParticipantID(),
                      static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(KxSoakNowMs()), t_generation ? 'h' : 'a');
    } catch (...) {
        m_worker->Log("X %u %u %llu %llu %s", m_slot, m_generation.load(),
                      static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(KxSoakNowMs()), FailureText().c_str());
    }
}

void CKxSoakParticipant::Leave() {
    std::lock_guard<std::mutex> hold(m_lifecycle);
    LeaveLocked();
}

void CKxSoakParticipant::LeaveLocked() {
    if (!m_member) return;
    m_worker->Log("L %u %u %u %llu %c", m_slot, m_generation.load(), GetParticipantID(),
                  static_cast<unsigned long long>(KxSoakNowMs()), t_generation ? 'h' : 'a');
    m_member = false;
    UninitializeParticipant();
}

std::vector<unsigned int> CKxSoakParticipant::Members() const {
    unsigned int ids[50];
    const unsigned int count = std::min(GetMembers(ids, 50), 50u);
    return std::vector<unsigned int>(ids, ids + count);
}

std::vector<unsigned int> CKxSoakParticipant::PickRecipients(std::mt19937& random) {
    const std::vector<unsigned int> members = Members();
    std::vector<unsigned int> chosen;
    for (unsigned int id : members) {
        if (random() % 3 != 0) chosen.push_back(id);
    }
    if (chosen.empty() && !members.empty()) chosen.push_back(members[random() % members.size()]);
    return chosen;
}

void CKxSoakParticipant::Send(char kind, bool broadcast,
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
    const bool synchronous = kind != 'p' && kind != 'q';
    const bool inHandler = kind != 's' && kind != 'p';
    // A handler sends for the generation its waiting thread serves, whose identifier is that
    // thread's: the application thread may already have begun the next one.
    const unsigned generation = inHandler ? t_generation : m_generation.load();
    const unsigned int senderId = inHandler ? KxCurrentThreadId() : GetParticipantID();
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
        SleepMs(m_random() % 20);
        return;
    }
    const std::vector<unsigned int> recipients = PickRecipients(m_random);
    if (recipients.empty()) {
        SleepMs(5);
        return;
    }
    if (m_postBurst != 0 && roll < 20) {
        // Back to back, faster than the recipients drain them: the ring fills, and the posts
        // that find no room are refused.
        for (unsigned i = 0; i < m_postBurst && !m_worker->Quiescing(); ++i) {
            Send('p', false /*broadcast*/, recipients);
        }
        return;
    }
    const bool broadcast = m_random() % 8 == 0;
    Send(roll < 50 ? 's' : 'p', broadcast, recipients);
    // A breath between steps keeps the 398-word ring from being full all the time.
    SleepMs(m_random() % 4);
}

void CKxSoakParticipant::ActInHandler(unsigned int announced, bool quit) {
    if (t_depth > kMaxHandlerDepth || m_worker->Quiescing()) return;
    // Announcements are far rarer than messages: they send more often, and synchronously.
    const unsigned roll = t_random() % 100;
    if (roll < (announced != 0 ? 50 : 15)) {
        const unsigned int self = KxCurrentThreadId();
        const unsigned target = t_random() % 4;
        char kind = announced != 0 || roll < 8 ? 'h' : 'q';
        std::vector<unsigned int> recipients;
        if (target == 1) {
            recipients.push_back(self);
        } else if (target == 2 && announced != 0) {
            // The member OnQuit announced is gone: the library must refuse a send to it.
            recipients.push_back(announced);
            if (quit) kind = 'g';
        } else if (target != 0) {
            recipients = PickRecipients(t_random);
        }
        if (target == 0 || !recipients.empty()) Send(kind, target == 0, recipients);
    }
    // Rarely, this participant leaves from its handler: it joins again at once, under a new
    // identifier, or its application thread does later. Only while its current run is this
    // thread's, and never waiting for the application thread, which may be waiting for this
    // handler inside its own join or leave.
    if (t_random() % 1000 != 0) return;
    std::unique_lock<std::mutex> hold(m_lifecycle, std::try_to_lock);
    if (!hold || !m_member || t_generation != m_generation) return;
    // Borrowing first: the worker waits for no borrower once quiescing, so either it waits for
    // this leave or this leave sees it quiescing.
    m_worker->BeginBorrow();
    if (!m_worker->Quiescing()) {
        LeaveLocked();
        if (t_random() % 2 == 0) JoinLocked();
    }
    m_worker->EndBorrow();
}

void CKxSoakParticipant::NoteGeneration() {
    if (t_generation != 0) return;
    t_generation = m_generation;
    t_random.seed(m_handlerSeed ^ KxCurrentThreadId());
}

void CKxSoakParticipant::NoteAnnouncement(char what, unsigned int participantId) {
    NoteGeneration();
    const std::vector<unsigned int> members = Members();
    const bool listed = std::find(members.begin(), members.end(), participantId) != members.end();
    m_worker->Log("E %u %u %c %u %llu %u %d", m_slot, t_generation, what, participantId,
                  static_cast<unsigned long long>(KxSoakNowMs()), KxCurrentThreadId(),
                  listed ? 1 : 0);
}

void CKxSoakParticipant::OnJoin(unsigned int participantId, bool joinedLater) {
    HandlerScope scope;
    NoteAnnouncement(joinedLater ? 'j' : 'p', participantId);
    ActInHandler(participantId, false /*quit*/);
}

void CKxSoakParticipant::OnQuit(unsigned int participantId) {
    HandlerScope scope;
    NoteAnnouncement('q', participantId);
    ActInHandler(participantId, true /*quit*/);
}

bool CKxSoakParticipant::ViewEquals(const std::vector<unsigned int>& members) {
    std::vector<unsigned int> expected;
    for (unsigned int id : members) {
        if (id != GetParticipantID()) expected.push_back(id);
    }
    std::vector<unsigned int> known = Members();
    std::sort(known.begin(), known.end());
    return known == expected;
}

void CKxSoakParticipant::LogView(std::uint64_t waitedMs) {
    if (!m_member) return;
    std::vector<unsigned int> known = Members();
    std::sort(known.begin(), known.end());
    std::string ids;
    for (unsigned int id : known) ids += " " + std::to_string(id);
    m_worker->Log("K %u %u %u %llu %u%s", m_slot, m_generation.load(), GetParticipantID(),
                  static_cast<unsigned long long>(waitedMs), static_cast<unsigned>(known.size()),
                  ids.c_str());
}

void CKxSoakParticipant::OnSyncMessage(unsigned int, unsigned int, unsigned long long) {
    HandlerScope scope;
    NoteGeneration();
    ActInHandler(0, false /*quit*/);
}

void CKxSoakParticipant::OnReceive(unsigned int senderId, unsigned int messageCode,
                                   unsigned long long param) {
    HandlerScope scope;
    NoteGeneration();
    // The waiting thread's identifier is the participant identifier of the generation it serves.
    m_worker->Log("H %u %u %u %u %u %llu", m_slot, t_generation, KxCurrentThreadId(), senderId,
                  messageCode, param);
    ActInHandler(0, false /*quit*/);
}
