// What the soak driver and its workers agree on: command line, event names, clock and log lines.
//
// Command line of a worker:
//   kxipc_soak_worker <channel> <worker number> <seed> <participants> <warm-up ms> <post burst>
//                     <log path>
// Worker numbers are unique within one soak run; a restarted worker gets a new one. Post burst:
// 0 for the plain random mix, N > 0 for steps that now and then post N messages back to back.
//
// Events, created by the driver (manual reset) before it starts the first worker:
//   <channel>_soak_quiesce    set at the end of the run: stop sending, report idle
//   <channel>_soak_views      set once every survivor is idle and the channel lists exactly their
//                             members (or that wait timed out): the members to expect are in
//                             <channel>_soak_members; let every view reach them (bounded), log
//                             them (K), report viewed, and stay a member
//   <channel>_soak_measure    set after every survivor reported viewed: leave, measure, log, exit
//                             with 0
//   <channel>_soak_idle_<n>   set by worker n once it sends no more
//   <channel>_soak_viewed_<n> set by worker n once its views are logged
// The per-worker events are created by the driver before it starts worker n.
//
// Shared memory <channel>_soak_members (a KxSoakMemberList), written by the driver before it sets
// the views event and only read by the workers.
//
// Every log line is one record, written with a single WriteFile so that a worker killed at any
// moment leaves only whole lines. Times are milliseconds of KxSoakNowMs, one clock for all
// processes. Fields are separated by one space:
//   J slot gen id t0 t1 by           participant (slot, generation) joined as id; Initialize
//                                    ran from t0 to t1; by: a (application thread) or h (handler)
//   X slot gen t0 t1 what            Initialize threw (what: the exception's text, no spaces)
//   T kind slot gen seq t0 t1 what   a send or post threw (then its S line follows, ok 0)
//   L slot gen id t by               about to uninitialise at t (by as for J): the generation is
//                                    no member from now
//   E slot gen what id t self listed one OnJoin or OnQuit of the generation's waiting thread
//                                    (identifier self) at t; what: p OnJoin(id, false),
//                                    j OnJoin(id, true), q OnQuit(id); listed: 1 when GetMembers
//                                    held id on entry
//   K slot gen id waited n id1 ... idn
//                                    the generation's view after the views event: the n members
//                                    GetMembers gives; waited: ms it was given to settle
//   S kind slot gen id seq ok t0 t1 nested n id1 ... idn
//                                    one send returned; kind s (synchronous) or p (post) from an
//                                    application thread, h or q the same from inside a handler,
//                                    g a synchronous one from OnQuit(id) to id (to be refused);
//                                    nested: ms spent meanwhile in handlers this call dispatched;
//                                    n = 0 means "every other member" (ids unknown)
//   H slot gen id sender code param  OnReceive of one message (param: worker << 32 | seq)
//   P borrowers                      a new high-water mark of concurrent sends and joins (pool
//                                    elements this process may have created)
//   M phase handles privateBytes t   all participants out: warm (after warm-up) or final
//   I t n id1 ... idn                idle: no send in progress, none to come; the identifiers of
//                                    the worker's participants that are members
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

inline std::string KxSoakEventName(const std::string& channel, const char* what) {
    return channel + "_soak_" + what;
}

// what: "idle" or "viewed".
inline std::string KxSoakWorkerEventName(const std::string& channel, const char* what,
                                         unsigned worker) {
    return channel + "_soak_" + what + "_" + std::to_string(worker);
}

// The members every survivor's view must reach, as the driver read them from the channel.
struct KxSoakMemberList {
    std::uint32_t count;  // at most 50
    std::uint32_t ids[50];
};
static_assert(sizeof(KxSoakMemberList) == 51 * sizeof(std::uint32_t),
              "driver and workers map the same layout");

// Milliseconds of the monotonic clock, which every process of the machine shares (the performance
// counter on Windows, CLOCK_MONOTONIC on POSIX).
inline std::uint64_t KxSoakNowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// The parameter of message seq of worker n: unique within a run.
inline std::uint64_t KxSoakParam(unsigned worker, std::uint32_t seq) {
    return (static_cast<std::uint64_t>(worker) << 32) | seq;
}

// Longest own wait of a send (the library's fixed 25 000 ms plus a margin for a loaded machine),
// and of an InitializeParticipant (its two waits).
const std::uint64_t kKxSoakSendLimitMs = 25000 + 3000;
const std::uint64_t kKxSoakInitializeLimitMs = 2 * 25000 + 3000;
// Longest a worker lets its views settle after the views event. Once the run is idle and the
// channel lists the live members, what is left to reach a view is the notice of a death or of a
// join already made, a wake-up of an idle waiting thread; the bound is set above the library's own
// 25 000 ms waits so that only a view that does not settle fails, not a slow one.
const std::uint64_t kKxSoakViewSettleLimitMs = 30000;
