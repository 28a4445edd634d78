// The Windows baselines: named auto-reset events and a message-mode named pipe, with their peers.
#include <cstdio>
#include <stdexcept>

#include "CKxBenchChild.h"
#include "CKxBenchReport.h"
#include "KxBenchBaselines.h"
#include "KxBenchStats.h"
#include "KxWindows.h"

namespace {

const DWORD kPeerTimeoutMs = 30000;

// An owned kernel handle; throws std::runtime_error for a null or invalid one, so that a failed
// creation stops the run.
class CKxBenchHandle {
public:
    explicit CKxBenchHandle(HANDLE handle) : m_handle(handle) {
        if (!handle || handle == INVALID_HANDLE_VALUE) throw std::runtime_error("no handle");
    }
    ~CKxBenchHandle() { CloseHandle(m_handle); }
    CKxBenchHandle(const CKxBenchHandle&) = delete;
    CKxBenchHandle& operator=(const CKxBenchHandle&) = delete;
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

std::string Unique(const std::string& what) {
    return "kxbench_" + std::to_string(GetCurrentProcessId()) + "_" + what;
}

// Line 1: this process sets ping and waits for pong; the peer (role "events") waits for ping and
// sets pong, roundTrips times, then ends.
class CKxBenchEventPair : public CKxBenchRoundTrip {
public:
    explicit CKxBenchEventPair(unsigned int roundTrips)
        : CKxBenchRoundTrip("1", "events", "baseline: named auto-reset events, round trip"),
          m_pingName(Unique("ping")),
          m_pongName(Unique("pong")),
          m_ping(CreateEventA(nullptr, FALSE, FALSE, m_pingName.c_str())),
          m_pong(CreateEventA(nullptr, FALSE, FALSE, m_pongName.c_str())),
          m_peer({"events", m_pingName, m_pongName, std::to_string(roundTrips)}) {
        m_peer.Expect("ready");
    }
    void RoundTrip() override {
        SetEvent(m_ping.Get());
        if (WaitForSingleObject(m_pong.Get(), kPeerTimeoutMs) != WAIT_OBJECT_0) {
            throw std::runtime_error("timed out waiting for the event peer");
        }
    }

private:
    const std::string m_pingName, m_pongName;
    CKxBenchHandle m_ping, m_pong;
    CKxBenchChild m_peer;  // last, so that it ends first
};

// Line 2: a 16-byte request and reply over a message-mode named pipe, answered by the peer (role
// "pipe") roundTrips times.
class CKxBenchPipePair : public CKxBenchRoundTrip {
public:
    explicit CKxBenchPipePair(unsigned int roundTrips)
        : CKxBenchRoundTrip("2", "pipe", "baseline: message-mode named pipe, 16 B round trip"),
          m_name("\\\\.\\pipe\\" + Unique("pipe")),
          m_pipe(CreateNamedPipeA(m_name.c_str(), PIPE_ACCESS_DUPLEX,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                  1 /*nMaxInstances*/, 4096, 4096, 0, nullptr)),
          m_peer({"pipe", m_name, std::to_string(roundTrips)}) {
        if (!ConnectNamedPipe(m_pipe.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            throw std::runtime_error("ConnectNamedPipe failed");
        }
    }
    void RoundTrip() override {
        char request[16] = "kxbench request", reply[16];
        DWORD written = 0, got = 0;
        if (!WriteFile(m_pipe.Get(), request, sizeof(request), &written, nullptr) ||
            !ReadFile(m_pipe.Get(), reply, sizeof(reply), &got, nullptr) || got != sizeof(reply)) {
            throw std::runtime_error("the pipe peer stopped answering");
        }
    }

private:
    const std::string m_name;
    CKxBenchHandle m_pipe;
    CKxBenchChild m_peer;  // last, so that it ends first
};

// events NAME_PING NAME_PONG COUNT: opens two auto-reset events and, COUNT times, waits for the
// first and sets the second. Marks itself "peer" for a server trace, then says "ready".
int EventEcho(const std::vector<std::string>& args) {
    if (args.size() != 3) return 2;
    HANDLE ping = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, args[0].c_str());
    HANDLE pong = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, args[1].c_str());
    if (!ping || !pong) return 3;
    KxServerTraceMark("peer");
    std::puts("ready");
    std::fflush(stdout);
    const unsigned long count = std::stoul(args[2]);
    for (unsigned long i = 0; i < count; ++i) {
        if (WaitForSingleObject(ping, kPeerTimeoutMs) != WAIT_OBJECT_0) return 4;
        SetEvent(pong);
    }
    CloseHandle(ping);
    CloseHandle(pong);
    return 0;
}

// pipe NAME COUNT: marks itself "peer" for a server trace, connects to a message-mode named pipe
// and echoes COUNT 16-byte messages.
int PipeEcho(const std::vector<std::string>& args) {
    if (args.size() != 2) return 2;
    KxServerTraceMark("peer");
    HANDLE pipe = CreateFileA(args[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0 /*dwShareMode*/,
                              nullptr, OPEN_EXISTING, 0 /*dwFlagsAndAttributes*/, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 3;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) return 3;
    const unsigned long count = std::stoul(args[1]);
    char message[16];
    for (unsigned long i = 0; i < count; ++i) {
        DWORD got = 0, written = 0;
        if (!ReadFile(pipe, message, sizeof(message), &got, nullptr) || got != sizeof(message)) {
            return 4;
        }
        if (!WriteFile(pipe, message, sizeof(message), &written, nullptr)) return 4;
    }
    CloseHandle(pipe);
    return 0;
}

}  // namespace

std::vector<std::unique_ptr<CKxBenchRoundTrip>> KxStartRoundTrips(unsigned int roundTrips) {
    std::vector<std::unique_ptr<CKxBenchRoundTrip>> baselines;
    baselines.emplace_back(new CKxBenchEventPair(roundTrips));
    baselines.emplace_back(new CKxBenchPipePair(roundTrips));
    return baselines;
}

void KxAddBaselineRates(const KxLatencySummary& line1, unsigned int, CKxBenchReport* report) {
    char mean[64];
    std::snprintf(mean, sizeof(mean), "1 / mean of line 1: %.1f us", line1.mean);
    report->AddThroughput("5b", "baseline: named events, round trips (line 1)",
                          line1.mean > 0 ? 1e6 / line1.mean : 0, mean);
}

void KxAddBaselineRatios(CKxBenchReport* report) {
    report->AddRatio("3/1", "3", "1", "synchronous send / bare event round trip",
                     KxBenchTarget::AtMost(2.5));
    report->AddRatio("3/2", "3", "2", "synchronous send / named pipe round trip",
                     KxBenchTarget::AtMost(1.0));
    report->AddRatio("4/1", "4", "1", "send from a handler / bare event round trip");
    report->AddRatio("4/3", "4", "3", "send from a handler / from an application thread");
    report->AddRatio("5/5b", "5", "5b", "posted messages/s / bare event round trips/s",
                     KxBenchTarget::AtLeast(1.5));
}

int KxRunBaselinePeer(const std::string& role, const std::vector<std::string>& args) {
    if (role == "events") return EventEcho(args);
    if (role == "pipe") return PipeEcho(args);
    return 2;
}

void KxServerTraceMark(const std::string& label) {
    const std::string name = "kxbench-mark " + label;
    if (HANDLE found = OpenEventA(SYNCHRONIZE, FALSE /*bInheritHandle*/, name.c_str())) {
        CloseHandle(found);
    }
}
