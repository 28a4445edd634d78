// The soak's checks: duplicates, losses, hangs, the members' views, the idle channel and the
// survivors' resources.
#include "CKxSoakAnalysis.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "KxSoakProtocol.h"

namespace {

// A survivor's handle count and private bytes after the run may exceed their warm-up values by
// this much, plus what the documented growth of the acknowledge-event pool allows (below).
const long kHandleBand = 16;
const long long kPrivateBytesBand = 4ll << 20;
// Each acknowledge key of another process that a member completes stays open in the receiving
// process's pool for its lifetime; a process can hold at most as many keys as it had sends and
// joins at the same time. Its bookkeeping costs at most this much memory per key.
const long long kPrivateBytesPerPeerKey = 4096;
// Evidence kept per check: the first findings say what went wrong; the counts say how often.
const std::size_t kFindingsPerCheck = 10;
const std::uint64_t kStillMember = ~0ull;
// A new member is announced as soon as it has registered, possibly before its own first OnJoin
// call, which is when it is first seen holding its identifier.
const std::uint64_t kFirstHeldSlackMs = 5000;

std::uint64_t KeyOf(unsigned worker, unsigned slot, unsigned generation) {
    return (static_cast<std::uint64_t>(worker) << 40) | (static_cast<std::uint64_t>(slot) << 24) |
           generation;
}

}  // namespace

void CKxSoakAnalysis::Fail(const std::string& what) { m_failures.push_back(what); }

void CKxSoakAnalysis::ReadLog(const KxSoakWorkerOutcome& worker) {
    std::ifstream in(worker.logPath);
    WorkerLog& log = m_logs[worker.number];
    auto noteHeld = [this](std::uint32_t id, GenerationKey key, std::uint64_t time) {
        std::uint64_t& first = m_firstHeld[id].emplace(key, time).first->second;
        first = std::min(first, time);
    };
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string tag;
        fields >> tag;
        if (tag == "J") {
            Generation g = {};
            g.worker = worker.number;
            char by = 0;
            fields >> g.slot >> g.generation >> g.id >> g.joinStart >> g.joinEnd >> by;
            if (!fields) continue;
            if (by == 'h') ++m_handlerJoins;
            g.end = kStillMember;
            const GenerationKey key = KeyOf(g.worker, g.slot, g.generation);
            m_generations[key] = g;
            noteHeld(g.id, key, g.joinEnd);
            ++m_joins;
            m_longestInitializeMs = std::max(m_longestInitializeMs, g.joinEnd - g.joinStart);
            if (g.joinEnd - g.joinStart > kKxSoakInitializeLimitMs) ++m_hangs;
            log.lastTime = std::max(log.lastTime, g.joinEnd);
        } else if (tag == "X") {
            unsigned slot = 0, generation = 0;
            std::uint64_t start = 0, end = 0;
            std::string what;
            fields >> slot >> generation >> start >> end >> what;
            ++m_joinFailures;
            ++m_exceptionTexts["Initialize: " + what];
            if (end - start > kKxSoakInitializeLimitMs) ++m_hangs;
        } else if (tag == "T") {
            char kind = 0;
            unsigned slot = 0, generation = 0;
            std::uint32_t seq = 0;
            std::uint64_t start = 0, end = 0;
            std::string what;
            fields >> kind >> slot >> generation >> seq >> start >> end >> what;
            ++m_sendExceptions;
            ++m_exceptionTexts[std::string("send ") + kind + ": " + what];
        } else if (tag == "L") {
            unsigned slot = 0, generation = 0;
            std::uint32_t id = 0;
            std::uint64_t time = 0;
            char by = 0;
            fields >> slot >> generation >> id >> time >> by;
            ++m_leaves;
            if (by == 'h') ++m_handlerLeaves;
            auto found = m_generations.find(KeyOf(worker.number, slot, generation));
            if (found != m_generations.end()) {
                if (!log.sawIdle) found->second.leftBeforeIdle = true;
                if (fields) found->second.end = time;
            }
            log.lastTime = std::max(log.lastTime, time);
        } else if (tag == "S") {
            Send send = {};
            unsigned slot = 0, generation = 0, count = 0;
            std::uint32_t senderId = 0;
            int ok = 0;
            send.worker = worker.number;
            fields >> send.kind >> slot >> generation >> senderId >> send.seq >> ok >> send.start >>
                send.end >> send.nested >> count;
            if (!fields) continue;
            send.slot = slot;
            send.generation = generation;
            send.ok = ok != 0;
            send.broadcast = count == 0;
            for (unsigned i = 0; i < count; ++i) {
                std::uint32_t id = 0;
                fields >> id;
                send.ids.push_back(id);
            }
            ++m_sendsByKind[send.kind];
            if (send.ok) ++m_sendsOkByKind[send.kind];
            // A send's own wait: its time less the handlers it dispatched meanwhile.
            const std::uint64_t own =
                send.end - send.start - std::min(send.nested, send.end - send.start);
            m_longestSendWaitMs = std::max(m_longestSendWaitMs, own);
            if (own > kKxSoakSendLimitMs) ++m_hangs;
            log.lastTime = std::max(log.lastTime, send.end);
            m_sends[KxSoakParam(send.worker, send.seq)] = send;
        } else if (tag == "H") {
            unsigned slot = 0, generation = 0;
            std::uint32_t id = 0, sender = 0, code = 0;
            unsigned long long param = 0;
            fields >> slot >> generation >> id >> sender >> code >> param;
            if (!fields) continue;
            ++m_handledCount;
            ++m_handled[param][KeyOf(worker.number, slot, generation)];
        } else if (tag == "E") {
            unsigned slot = 0, generation = 0;
            ViewEvent event = {};
            std::uint32_t self = 0;
            int listed = 0;
            fields >> slot >> generation >> event.what >> event.id >> event.time >> self >> listed;
            if (!fields) continue;
            event.listed = listed != 0;
            ++m_viewEventCount;
            const GenerationKey key = KeyOf(worker.number, slot, generation);
            m_viewEvents[key].push_back(event);
            noteHeld(self, key, event.time);
            log.lastTime = std::max(log.lastTime, event.time);
        } else if (tag == "K") {
            unsigned slot = 0, generation = 0, count = 0;
            View view;
            fields >> slot >> generation >> view.id >> view.waitedMs >> count;
            for (std::uint32_t id = 0; count-- > 0 && fields >> id;) view.known.push_back(id);
            if (!fields) continue;
            m_views[KeyOf(worker.number, slot, generation)] = view;
        } else if (tag == "P") {
            int high = 0;
            fields >> high;
            log.borrowersHigh = std::max(log.borrowersHigh, high);
        } else if (tag == "M") {
            std::string phase;
            Measure measure;
            fields >> phase >> measure.handles >> measure.privateBytes >> measure.time;
            measure.present = static_cast<bool>(fields);
            (phase == "warm" ? log.warm : log.final) = measure;
            log.lastTime = std::max(log.lastTime, measure.time);
        } else if (tag == "I") {
            log.sawIdle = true;
        }
    }
}

void CKxSoakAnalysis::Analyse(const std::vector<KxSoakWorkerOutcome>& workers,
                              const KxSoakChannelState& state) {
    m_state = state;
    std::set<unsigned> survivors;
    for (const KxSoakWorkerOutcome& worker : workers) {
        ++m_workersStarted;
        ReadLog(worker);
        if (worker.killed || !worker.finished || worker.exitCode != 0) {
            // Its members were registered until at least the kill, or the last line it wrote.
            const std::uint64_t end =
                worker.killed ? worker.killedAt : m_logs[worker.number].lastTime;
            for (auto& entry : m_generations) {
                Generation& g = entry.second;
                if (g.worker == worker.number) g.end = std::min(g.end, end);
            }
        }
        if (worker.killed) {
            ++m_kills;
            continue;
        }
        if (!worker.idle) ++m_notIdle;
        if (!worker.finished || worker.exitCode != 0) {
            ++m_crashes;
            Fail("worker " + std::to_string(worker.number) +
                 " ended without being killed or did "
                 "not finish (exit code " +
                 std::to_string(worker.exitCode) + ")");
            continue;
        }
        if (worker.idle) survivors.insert(worker.number);
    }
    m_survivors = static_cast<unsigned>(survivors.size());
    if (m_notIdle != 0) Fail(std::to_string(m_notIdle) + " worker(s) never went idle");

    // Which generation held an identifier at the end, and since when.
    std::map<std::uint32_t, const Generation*> live;
    for (const auto& entry : m_generations) {
        const Generation& g = entry.second;
        if (survivors.count(g.worker) != 0 && !g.leftBeforeIdle) {
            live[g.id] = &g;
            m_liveIds.insert(g.id);
        }
    }

    for (const auto& message : m_handled) {
        const auto send = m_sends.find(message.first);
        for (const auto& byGeneration : message.second) {
            unsigned listed = 1;
            const auto g = m_generations.find(byGeneration.first);
            if (send != m_sends.end() && !send->second.broadcast && g != m_generations.end()) {
                listed = static_cast<unsigned>(
                    std::count(send->second.ids.begin(), send->second.ids.end(), g->second.id));
                if (listed == 0) m_misdelivered += byGeneration.second;
            }
            if (byGeneration.second > listed && listed != 0) {
                m_duplicates += byGeneration.second - listed;
            }
        }
    }
    for (const auto& entry : m_sends) {
        const Send& send = entry.second;
        if (send.kind == 'g') {
            ++m_sendsToGone;
            if (send.ok && m_sendsToGoneQueued++ < kFindingsPerCheck) {
                m_viewFindings.push_back(Describe(KeyOf(send.worker, send.slot, send.generation)) +
                                         ": send " + std::to_string(send.seq) + " from OnQuit(" +
                                         std::to_string(send.ids[0]) + ") to it was queued at " +
                                         std::to_string(send.start));
            }
        }
        if (!send.ok || send.broadcast) continue;
        for (std::uint32_t id : send.ids) {
            const auto holder = live.find(id);
            if (holder == live.end() || holder->second->joinEnd >= send.start) continue;
            const Generation& g = *holder->second;
            ++m_lostChecked;
            const auto handled = m_handled.find(entry.first);
            if (handled == m_handled.end() ||
                handled->second.count(KeyOf(g.worker, g.slot, g.generation)) == 0) {
                ++m_lost;
            }
        }
    }
    CheckViewOrder();
    CheckViews(live);
    CountRefusals();
    if (m_duplicates != 0) Fail(std::to_string(m_duplicates) + " duplicate deliveries");
    if (m_misdelivered != 0) Fail(std::to_string(m_misdelivered) + " deliveries to non-recipients");
    if (m_lost != 0) Fail(std::to_string(m_lost) + " lost deliveries");
    if (m_sendsToGoneQueued != 0) {
        Fail(std::to_string(m_sendsToGoneQueued) + " sends from OnQuit to the member gone queued");
    }
    if (m_hangs != 0) Fail(std::to_string(m_hangs) + " calls beyond their fixed waits");
    // The library handles a killed peer (an abandoned mutex included) without throwing: an
    // exception that reaches a worker is a finding, its text printed with the figures.
    if (m_joinFailures + m_sendExceptions != 0) {
        Fail(std::to_string(m_joinFailures + m_sendExceptions) +
             " exceptions reached the application");
    }

    if (!m_state.read) {
        Fail("the channel's segments could not be read");
    } else {
        if (!m_state.ringConsistent || m_state.readPosition != m_state.writePosition) {
            Fail("queue not empty after idle: R " + std::to_string(m_state.readPosition) + ", W " +
                 std::to_string(m_state.writePosition));
        }
        if (m_state.pendingEntries != 0) Fail("entries still pending after idle");
        std::vector<std::uint32_t> members = m_state.members;
        std::sort(members.begin(), members.end());
        m_membersMatch = members == std::vector<std::uint32_t>(m_liveIds.begin(), m_liveIds.end());
        if (!m_membersMatch) Fail("member list differs from the live participants");
    }

    for (unsigned number : survivors) {
        const WorkerLog& log = m_logs[number];
        if (!log.warm.present || !log.final.present) continue;  // started too late to warm up
        // Keys of every process that was running after this one's warm-up, its own included.
        long allowance = 0;
        for (const auto& other : m_logs) {
            if (other.second.lastTime >= log.warm.time) allowance += other.second.borrowersHigh;
        }
        const long handleGrowth =
            static_cast<long>(log.final.handles) - static_cast<long>(log.warm.handles);
        const long long byteGrowth = static_cast<long long>(log.final.privateBytes) -
                                     static_cast<long long>(log.warm.privateBytes);
        const bool handlesOk = handleGrowth <= kHandleBand + allowance;
        const bool bytesOk = byteGrowth <= kPrivateBytesBand + allowance * kPrivateBytesPerPeerKey;
        char text[256];
        std::snprintf(text, sizeof(text),
                      "worker %u: handles %lu -> %lu (band %ld + %ld keys), private bytes %llu -> "
                      "%llu%s",
                      number, log.warm.handles, log.final.handles, kHandleBand, allowance,
                      log.warm.privateBytes, log.final.privateBytes,
                      handlesOk && bytesOk ? "" : "  OUT OF BAND");
        m_resourceLines.push_back(text);
        if (!handlesOk || !bytesOk) Fail(text);
    }
}

std::string CKxSoakAnalysis::Describe(GenerationKey key) const {
    char text[96];
    const auto g = m_generations.find(key);
    std::snprintf(text, sizeof(text), "worker %u slot %u gen %u (id %s)",
                  static_cast<unsigned>(key >> 40), static_cast<unsigned>((key >> 24) & 0xFFFF),
                  static_cast<unsigned>(key & 0xFFFFFF),
                  g == m_generations.end() ? "?" : std::to_string(g->second.id).c_str());
    return text;
}

std::string CKxSoakAnalysis::EventsFor(GenerationKey key, std::uint32_t id) const {
    std::string text;
    const auto events = m_viewEvents.find(key);
    if (events != m_viewEvents.end()) {
        for (const ViewEvent& event : events->second) {
            if (event.id != id) continue;
            text += (text.empty() ? "" : " ") + std::string(1, event.what) + "@" +
                    std::to_string(event.time);
        }
    }
    return text.empty() ? "none" : text;
}

bool CKxSoakAnalysis::HeldAgain(std::uint32_t id, std::uint64_t quitTime,
                                std::uint64_t joinTime) const {
    const auto holders = m_firstHeld.find(id);
    if (holders == m_firstHeld.end()) return false;
    // The one that quit was first seen before its quit.
    for (const auto& holder : holders->second) {
        if (holder.second > quitTime && holder.second <= joinTime + kFirstHeldSlackMs) return true;
    }
    return false;
}

void CKxSoakAnalysis::CheckViewOrder() {
    unsigned long long findings = 0;
    for (const auto& entry : m_viewEvents) {
        const auto g = m_generations.find(entry.first);
        std::set<std::uint32_t> known;
        std::map<std::uint32_t, std::uint64_t> quitAt;
        for (const ViewEvent& event : entry.second) {
            const char* fault = nullptr;
            if (g != m_generations.end() && event.id == g->second.id) {
                fault = "an event for itself";
            } else if (event.what == 'q') {
                if (known.erase(event.id) == 0) fault = "OnQuit without a preceding OnJoin";
                quitAt[event.id] = event.time;
            } else if (!known.insert(event.id).second) {
                fault = "a second OnJoin without an OnQuit between";
            } else if (quitAt.count(event.id) != 0 &&
                       !HeldAgain(event.id, quitAt[event.id], event.time)) {
                fault = "an OnJoin after its OnQuit, no new member holding the identifier";
            }
            if (!fault && event.listed != (event.what != 'q')) {
                fault = event.listed ? "GetMembers still listing it inside OnQuit"
                                     : "GetMembers not listing it inside OnJoin";
            }
            if (!fault) continue;
            ++m_viewEventsOutOfOrder;
            if (findings++ < kFindingsPerCheck) {
                m_viewFindings.push_back(
                    Describe(entry.first) + ": " + fault + " for " + std::to_string(event.id) +
                    " at " + std::to_string(event.time) +
                    "; its events for it: " + EventsFor(entry.first, event.id));
            }
        }
    }
    if (m_viewEventsOutOfOrder != 0) {
        Fail(std::to_string(m_viewEventsOutOfOrder) + " OnJoin/OnQuit events out of order");
    }
}

void CKxSoakAnalysis::CheckViews(const std::map<std::uint32_t, const Generation*>& live) {
    for (const auto& holder : live) {
        const Generation& g = *holder.second;
        const GenerationKey key = KeyOf(g.worker, g.slot, g.generation);
        ++m_viewsChecked;
        std::set<std::uint32_t> expected(m_liveIds);
        expected.erase(g.id);
        const auto view = m_views.find(key);
        std::string finding;
        if (view == m_views.end()) {
            finding = "no view logged";
        } else {
            m_longestViewSettleMs = std::max(m_longestViewSettleMs, view->second.waitedMs);
            const std::set<std::uint32_t> known(view->second.known.begin(),
                                                view->second.known.end());
            // Each identifier the view lacks or has in excess, with what this participant was
            // told of it and who held it.
            auto explain = [&](std::uint32_t id, const char* how) {
                std::string holder = "never a member";
                for (const auto& other : m_generations) {
                    if (other.second.id == id) holder = Describe(other.first);
                }
                finding += std::string(finding.empty() ? "" : "; ") + how + " " +
                           std::to_string(id) + " (" + holder +
                           "; its events for it: " + EventsFor(key, id) + ")";
            };
            for (std::uint32_t id : expected) {
                if (known.count(id) == 0) explain(id, "lacks");
            }
            for (std::uint32_t id : known) {
                if (expected.count(id) == 0) explain(id, "also has");
            }
        }
        if (finding.empty()) continue;
        if (m_viewsDiffering++ < kFindingsPerCheck) {
            m_viewFindings.push_back("view of " + Describe(key) + ": " + finding);
        }
    }
    if (m_viewsDiffering != 0) {
        Fail(std::to_string(m_viewsDiffering) + " of " + std::to_string(m_viewsChecked) +
             " views differ from the live participants");
    }
}

void CKxSoakAnalysis::CountRefusals() {
    std::map<std::uint32_t, std::vector<const Generation*>> byId;  // in join order
    for (const auto& entry : m_generations) byId[entry.second.id].push_back(&entry.second);
    for (auto& entry : byId) {
        std::sort(
            entry.second.begin(), entry.second.end(),
            [](const Generation* a, const Generation* b) { return a->joinStart < b->joinStart; });
    }
    for (const auto& entry : m_sends) {
        const Send& send = entry.second;
        if (send.ok) continue;
        ++m_refused;
        // Broadcasts name no recipients: whether anyone was there cannot be told.
        if (send.broadcast || send.kind == 'g') continue;
        const auto sender = m_generations.find(KeyOf(send.worker, send.slot, send.generation));
        if (sender == m_generations.end() || sender->second.end < send.end) continue;
        // From an application thread, the send is refused before InitializeParticipant returned.
        if ((send.kind == 's' || send.kind == 'p') && sender->second.joinEnd > send.start) continue;
        bool everyoneMember = true;
        for (std::uint32_t id : send.ids) {
            // The latest generation under this identifier that had begun to join by then: a
            // member was chosen from the sender's view, so it had registered before the send.
            const Generation* recipient = nullptr;
            const auto holders = byId.find(id);
            if (holders != byId.end()) {
                for (const Generation* g : holders->second) {
                    if (g->joinStart <= send.start) recipient = g;
                }
            }
            if (!recipient || recipient->end < send.end) everyoneMember = false;
        }
        if (everyoneMember) ++m_refusedRingFull;
    }
}

void CKxSoakAnalysis::Print() const {
    std::printf("workers started %u, killed %u, survivors %u, crashed %u\n", m_workersStarted,
                m_kills, m_survivors, m_crashes);
    std::printf(
        "joins %u (failed %u; from handlers %u), leaves %u (from handlers %u); sends that "
        "threw %u\n",
        m_joins, m_joinFailures, m_handlerJoins, m_leaves, m_handlerLeaves, m_sendExceptions);
    for (const auto& text : m_exceptionTexts) {
        std::printf("  %ux %s\n", text.second, text.first.c_str());
    }
    for (const auto& kind : m_sendsByKind) {
        const auto ok = m_sendsOkByKind.find(kind.first);
        std::printf("sends %c: %u (true %u)\n", kind.first, kind.second,
                    ok == m_sendsOkByKind.end() ? 0u : ok->second);
    }
    std::printf("handled %llu; duplicates %llu; misdelivered %llu; lost %llu of %llu checked\n",
                m_handledCount, m_duplicates, m_misdelivered, m_lost, m_lostChecked);
    std::printf("hangs %u; longest own send wait %llu ms; longest initialize %llu ms\n", m_hangs,
                static_cast<unsigned long long>(m_longestSendWaitMs),
                static_cast<unsigned long long>(m_longestInitializeMs));
    std::printf("after idle: R %u W %u records %u pending %u; members %zu, live %zu, %s\n",
                m_state.readPosition, m_state.writePosition, m_state.records,
                m_state.pendingEntries, m_state.members.size(), m_liveIds.size(),
                m_membersMatch ? "equal" : "DIFFERENT");
    std::printf(
        "views: %u checked, %u differing, longest settle %llu ms; %llu OnJoin/OnQuit "
        "events, %llu out of order\n",
        m_viewsChecked, m_viewsDiffering, static_cast<unsigned long long>(m_longestViewSettleMs),
        m_viewEventCount, m_viewEventsOutOfOrder);
    std::printf("sends from OnQuit to the member gone: %llu, queued %llu\n", m_sendsToGone,
                m_sendsToGoneQueued);
    for (const std::string& line : m_viewFindings) std::printf("  %s\n", line.c_str());
    std::printf(
        "refused %llu sends and posts, %llu of them with the sender and every recipient "
        "members throughout (the ring was full)\n",
        m_refused, m_refusedRingFull);
    for (const std::string& line : m_resourceLines) std::printf("%s\n", line.c_str());
    for (const std::string& failure : m_failures) std::printf("FAIL: %s\n", failure.c_str());
    std::printf("%s\n", Passed() ? "soak passed" : "soak FAILED");
    std::fflush(stdout);
}

bool CKxSoakAnalysis::WriteJson(const std::string& path, const std::string& parameters) const {
    std::ofstream out(path);
    if (!out) return false;
    unsigned sends = 0, sendsOk = 0;
    for (const auto& kind : m_sendsByKind) sends += kind.second;
    for (const auto& kind : m_sendsOkByKind) sendsOk += kind.second;
    out << "{\n  " << parameters << ",\n"
        << "  \"workersStarted\": " << m_workersStarted << ", \"kills\": " << m_kills
        << ", \"survivors\": " << m_survivors << ", \"crashes\": " << m_crashes
        << ", \"notIdle\": " << m_notIdle << ",\n"
        << "  \"joins\": " << m_joins << ", \"joinFailures\": " << m_joinFailures
        << ", \"leaves\": " << m_leaves << ", \"handlerJoins\": " << m_handlerJoins
        << ", \"handlerLeaves\": " << m_handlerLeaves
        << ", \"sendExceptions\": " << m_sendExceptions << ",\n"
        << "  \"sends\": " << sends << ", \"sendsTrue\": " << sendsOk << ", \"sendsByKind\": {";
    bool first = true;
    for (const auto& kind : m_sendsByKind) {
        out << (first ? "" : ", ") << "\"" << kind.first << "\": " << kind.second;
        first = false;
    }
    out << "},\n  \"handled\": " << m_handledCount << ", \"duplicates\": " << m_duplicates
        << ", \"misdelivered\": " << m_misdelivered << ", \"lost\": " << m_lost
        << ", \"lostChecked\": " << m_lostChecked << ",\n"
        << "  \"hangs\": " << m_hangs << ", \"longestSendWaitMs\": " << m_longestSendWaitMs
        << ", \"longestInitializeMs\": " << m_longestInitializeMs << ",\n"
        << "  \"queueR\": " << m_state.readPosition << ", \"queueW\": " << m_state.writePosition
        << ", \"queueRecords\": " << m_state.records
        << ", \"pendingEntries\": " << m_state.pendingEntries
        << ", \"members\": " << m_state.members.size()
        << ", \"liveParticipants\": " << m_liveIds.size()
        << ", \"membersMatch\": " << (m_membersMatch ? "true" : "false") << ",\n"
        << "  \"viewsChecked\": " << m_viewsChecked << ", \"viewsDiffering\": " << m_viewsDiffering
        << ", \"longestViewSettleMs\": " << m_longestViewSettleMs
        << ", \"viewEvents\": " << m_viewEventCount
        << ", \"viewEventsOutOfOrder\": " << m_viewEventsOutOfOrder
        << ", \"sendsToGone\": " << m_sendsToGone
        << ", \"sendsToGoneQueued\": " << m_sendsToGoneQueued << ",\n"
        << "  \"refused\": " << m_refused << ", \"refusedRingFull\": " << m_refusedRingFull
        << ",\n  \"viewFindings\": [";
    for (std::size_t i = 0; i < m_viewFindings.size(); ++i) {
        out << (i ? ", " : "") << "\"" << m_viewFindings[i] << "\"";
    }
    out << "],\n  \"resources\": [";
    for (std::size_t i = 0; i < m_resourceLines.size(); ++i) {
        out << (i ? ", " : "") << "\"" << m_resourceLines[i] << "\"";
    }
    out << "],\n  \"failures\": [";
    for (std::size_t i = 0; i < m_failures.size(); ++i) {
        out << (i ? ", " : "") << "\"" << m_failures[i] << "\"";
    }
    out << "],\n  \"passed\": " << (Passed() ? "true" : "false") << "\n}\n";
    return static_cast<bool>(out);
}
