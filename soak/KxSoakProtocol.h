// What the soak driver and its workers agree on: command line, event names, clock and log lines.
//
// Command line of a worker:
//   kxipc_soak_worker <channel> <worker number> <seed> <participants> <warm-up ms> <log path>
// Worker numbers are unique within one soak run; a restarted worker gets a new one.
//
// Events, created by the driver (manual reset) before it starts the first worker:
//   <channel>_soak_quiesce   set at the end of the run: stop sending, report idle
//   <channel>_soak_measure   set after the idle checks: leave, measure, log, exit 0
//   <channel>_soak_idle_<n>  set by worker n once it sends no more (created by the driver before
//                            it starts worker n)
//
// Every log line is one record, written with a single WriteFile so that a worker killed at any
// moment leaves only whole lines. Times are milliseconds of KxSoakNowMs, one clock for all
// processes. Fields are separated by one space:
//   J slot gen id t0 t1              participant (slot, generation) joined as id; Initialize
//                                    ran from t0 to t1
//   X slot gen t0 t1 what            Initialize threw (what: the exception's text, no spaces)
//   T kind slot gen seq t0 t1 what   a send or post threw (then its S line follows, ok 0)
//   L slot gen id                    about to uninitialise: the generation is no member from now
//   S kind slot gen id seq ok t0 t1 nested n id1 ... idn
//                                    one send returned; kind s (synchronous) or p (post) from an
//                                    application thread, h or q the same from inside a handler;
//                                    nested: ms spent meanwhile in handlers this call dispatched;
//                                    n = 0 means "every other member" (ids unknown)
//   H slot gen id sender code param  OnReceive of one message (param: worker << 32 | seq)
//   P borrowers                      a new high-water mark of concurrent sends and joins (pool
//                                    elements this process may have created)
//   M phase handles privateBytes t   all participants out: warm (after warm-up) or final
//   I t                              idle: no send in progress, none to come
#pragma once

#include <cstdint>
#include <string>

#include "KxWindows.h"

inline std::string KxSoakEventName(const std::string& channel, const char* what) {
    return channel + "_soak_" + what;
}

inline std::string KxSoakIdleEventName(const std::string& channel, unsigned worker) {
    return channel + "_soak_idle_" + std::to_string(worker);
}

// Milliseconds of the performance counter, which every process of the machine shares.
inline std::uint64_t KxSoakNowMs() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart / frequency * 1000 +
                                      now.QuadPart % frequency * 1000 / frequency);
}

// The parameter of message seq of worker n: unique within a run.
inline std::uint64_t KxSoakParam(unsigned worker, std::uint32_t seq) {
    return (static_cast<std::uint64_t>(worker) << 32) | seq;
}

// Longest own wait of a send (the library's fixed 25 000 ms plus a margin for a loaded machine),
// and of an InitializeParticipant (its two waits).
const std::uint64_t kKxSoakSendLimitMs = 25000 + 3000;
const std::uint64_t kKxSoakInitializeLimitMs = 2 * 25000 + 3000;
