// The platform's own inter-process calls that the library's lines are measured against, each
// between this process and a peer process (this program started again in a baseline's role).
#pragma once

#include <memory>
#include <string>
#include <vector>

class CKxBenchReport;
struct KxLatencySummary;

// The round trips of one baseline, a latency line of the report.
class CKxBenchRoundTrip {
public:
    CKxBenchRoundTrip(const char* line, const char* label, const char* title)
        : line(line), label(label), title(title) {}
    virtual ~CKxBenchRoundTrip() = default;
    // One request and its answer. Throws std::runtime_error when the peer stops answering.
    virtual void RoundTrip() = 0;

    const std::string line;   // "1" or "2"
    const std::string label;  // the traced workload's phase
    const std::string title;
};

// Lines 1 and 2: the platform's two round-trip baselines (Windows: named auto-reset events and a
// message-mode named pipe; POSIX: a futex in a shared page and a Unix-domain socket), whose peers
// answer roundTrips round trips each and then end. Throws std::runtime_error when one cannot be
// set up.
std::vector<std::unique_ptr<CKxBenchRoundTrip>> KxStartRoundTrips(unsigned int roundTrips);

// The message-rate baselines of a round (Windows: 5b, line 1's round trips per second; POSIX: 5b,
// 16-byte messages per second over a Unix-domain socket, 5c, over a POSIX message queue, each of
// messages sent back to back and counted at the peer).
void KxAddBaselineRates(const KxLatencySummary& line1, unsigned int messages,
                        CKxBenchReport* report);

// The ratios of the library's lines to the baselines, with this platform's targets.
void KxAddBaselineRatios(CKxBenchReport* report);

// Runs the peer of a baseline when role names one; its exit code, 2 for bad arguments or for a
// role that is not a baseline's.
int KxRunBaselinePeer(const std::string& role, const std::vector<std::string>& args);

// Windows: makes one recognisable wineserver request (an open of the event "kxbench-mark " +
// label, which does not exist) so that a WINEDEBUG=+server trace can be cut into the workload's
// phases; it costs one request on the calling thread. POSIX: nothing (there is no server to
// trace).
void KxServerTraceMark(const std::string& label);
