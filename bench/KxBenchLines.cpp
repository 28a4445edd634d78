// The measured lines: the platform's baselines (KxBenchBaselines.h), then the library's send, post,
// fan-out, join and departure detection, each between two or more real processes.
#include "KxBenchLines.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "CKxBenchChild.h"
#include "CKxBenchParticipant.h"
#include "CKxBenchReport.h"
#include "KxBenchBaselines.h"
#include "KxBenchRoles.h"
#include "KxBenchStats.h"

namespace {

const std::chrono::milliseconds kPeerTimeout(30000);
const unsigned int kSentCode = 0x7000;
const unsigned int kHandlerGoCode = 0x7002;
const unsigned kSettleMs = 20;  // lets the members finish handling a departure before the next join

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct KxBenchSizes {
    unsigned int warmUp;
    unsigned int roundTrips;  // lines 1 to 4, each
    unsigned int posts;       // line 5
    // Lines 1 to 5 are measured in this many blocks a round, one block of each line in turn.
    unsigned int blocks;
    unsigned int fanOutSends;
    unsigned int joins;
    unsigned int kills;
};

std::string Unique(const std::string& what) {
    return "kxbench_" + std::to_string(KxThisProcessId()) + "_" + what;
}

// An auto-reset signal between a handler and the main thread of this process.
class CKxBenchSignal {
public:
    void Set() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_set = true;
        m_changed.notify_one();
    }
    // Throws std::runtime_error when the signal does not come within the peers' time-out.
    void WaitOrThrow(const char* what) {
        std::unique_lock<std::mutex> hold(m_lock);
        if (!m_changed.wait_for(hold, kPeerTimeout, [this] { return m_set; })) {
            throw std::runtime_error(std::string("timed out waiting for ") + what);
        }
        m_set = false;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_set = false;  // guarded by m_lock
};

// "ready TOTAL ID..." of a members process: its participant identifiers.
std::vector<unsigned int> MemberIds(const std::string& ready) {
    std::istringstream words(ready);
    std::string word;
    unsigned long total = 0;
    words >> word >> total;
    std::vector<unsigned int> ids;
    unsigned long id = 0;
    while (words >> id) ids.push_back(static_cast<unsigned int>(id));
    return ids;
}

// Appends the times of count calls of roundTrip(i) to samples.
template <class RoundTrip>
void TimeRoundTrips(unsigned int count, RoundTrip roundTrip, std::vector<double>* samples) {
    for (unsigned int i = 0; i < count; ++i) {
        const double start = KxNowMicroseconds();
        roundTrip(i);
        if (samples) samples->push_back(KxNowMicroseconds() - start);
    }
}

// Lines 1 to 5, interleaved: after an untimed warm-up of each, every block measures a share of
// each line in turn, so that a slow moment of the machine falls on the baselines and the library's
// lines alike. Line 5 posts to one member of another process and counts at its OnReceive; the
// baselines' message rates (5b, ...) follow.
void InterleavedLines(const KxBenchSizes& sizes, CKxBenchReport* report) {
    const unsigned int perBlock = sizes.roundTrips / sizes.blocks;
    const unsigned int postsPerBlock = sizes.posts / sizes.blocks;
    const std::vector<std::unique_ptr<CKxBenchRoundTrip>> baselines =
        KxStartRoundTrips(sizes.warmUp + perBlock * sizes.blocks);
    const std::string channel = Unique("one");
    CKxBenchChild peer({"members", channel, "1"});
    const unsigned int receiver = MemberIds(peer.Expect("ready "))[0];

    CKxBenchParticipant sender(channel.c_str());
    // A refused send ends the run (the handler's only after its block: nothing escapes it).
    bool refused = false;
    auto send = [&](unsigned int i) {
        refused |= !sender.SendIPMessage(1, &receiver, kSentCode, i);
    };
    // Each go message runs handlerSends sends inside OnReceive, timed into handlerSamples (when
    // not null), then sets handlerDone.
    CKxBenchSignal handlerDone;
    unsigned int handlerSends = 0;
    std::vector<double>* handlerSamples = nullptr;
    sender.onReceive = [&](unsigned int, unsigned int code, unsigned long long) {
        if (code != kHandlerGoCode) return;
        TimeRoundTrips(handlerSends, send, handlerSamples);
        handlerDone.Set();
    };
    sender.InitializeParticipant();
    const unsigned int self = sender.GetParticipantID();
    auto sendInHandler = [&](unsigned int sends, std::vector<double>* samples) {
        handlerSends = sends;
        handlerSamples = samples;
        sender.PostIPMessage(1, &self, kHandlerGoCode, 0);
        handlerDone.WaitOrThrow("the sends made in a handler");
    };
    // Posts count messages to the member back to back; the seconds until its OnReceive saw the
    // last of them.
    unsigned long long postRefusals = 0;
    auto postBlock = [&](unsigned int count) {
        peer.WriteLine("expect " + std::to_string(count));
        peer.Expect("ok");
        const double start = KxNowMicroseconds();
        for (unsigned int i = 0; i < count; ++i) {
            while (!sender.PostIPMessage(1, &receiver, kKxBenchCountedCode, i)) {
                ++postRefusals;  // the ring is full: let the receiver drain it
                std::this_thread::yield();
            }
        }
        return (std::stod(peer.Expect("done ").substr(5)) - start) / 1e6;
    };

    for (const auto& baseline : baselines) {
        TimeRoundTrips(
            sizes.warmUp, [&](unsigned int) { baseline->RoundTrip(); }, nullptr);
    }
    TimeRoundTrips(sizes.warmUp, send, nullptr);
    sendInHandler(sizes.warmUp, nullptr);
    postBlock(sizes.warmUp);
    postRefusals = 0;

    std::vector<std::vector<double>> baselineSamples(baselines.size());
    std::vector<double> sendSamples, handlerSamplesAll;
    double postSeconds = 0;
    for (unsigned int block = 0; block < sizes.blocks; ++block) {
        for (size_t b = 0; b < baselines.size(); ++b) {
            TimeRoundTrips(
                perBlock, [&](unsigned int) { baselines[b]->RoundTrip(); }, &baselineSamples[b]);
        }
        TimeRoundTrips(perBlock, send, &sendSamples);
        sendInHandler(perBlock, &handlerSamplesAll);
        postSeconds += postBlock(postsPerBlock);
    }
    if (refused) throw std::runtime_error("SendIPMessage refused");

    std::vector<KxLatencySummary> baselineSummaries;
    for (size_t b = 0; b < baselines.size(); ++b) {
        baselineSummaries.push_back(KxSummarize(baselineSamples[b]));
        report->AddLatency(baselines[b]->line, baselines[b]->title, baselineSummaries.back());
    }
    report->AddLatency("3", "SendIPMessage to 1 member, application thread",
                       KxSummarize(sendSamples));
    report->AddLatency("4", "SendIPMessage to 1 member, inside a handler",
                       KxSummarize(handlerSamplesAll));
    const unsigned int posts = postsPerBlock * sizes.blocks;
    report->AddThroughput("5", "PostIPMessage 1 -> 1, counted at OnReceive", posts / postSeconds,
                          std::to_string(posts) + " posts, " + std::to_string(postRefusals) +
                              " refused (ring full) and retried");
    KxAddBaselineRates(baselineSummaries.front(), posts, report);
}

// Line 7: InitializeParticipant until it returns, in a channel where others are present.
KxLatencySummary JoinLatency(const std::string& channel, unsigned int joins) {
    std::vector<double> samples;
    for (unsigned int i = 0; i < joins; ++i) {
        CKxBenchParticipant joiner(channel.c_str());
        const double start = KxNowMicroseconds();
        joiner.InitializeParticipant();
        samples.push_back(KxNowMicroseconds() - start);
        joiner.UninitializeParticipant();
        SleepMs(kSettleMs);
    }
    return KxSummarize(samples);
}

// Line 6: a synchronous send to every other member, until it returns.
KxLatencySummary FanOut(const std::string& channel, const KxBenchSizes& sizes) {
    CKxBenchParticipant sender(channel.c_str());
    sender.InitializeParticipant();
    std::vector<double> samples;
    for (unsigned int i = 0; i < sizes.warmUp / 10 + sizes.fanOutSends; ++i) {
        const double start = KxNowMicroseconds();
        if (!sender.SendIPMessage(0, nullptr, kSentCode, i)) {
            throw std::runtime_error("SendIPMessage to all refused");
        }
        if (i >= sizes.warmUp / 10) samples.push_back(KxNowMicroseconds() - start);
    }
    return KxSummarize(samples);
}

// Lines 6 and 7 with 8 and 49 members, spread over two processes.
void ManyMembers(const KxBenchSizes& sizes, CKxBenchReport* report) {
    report->AddLatency("7a", "InitializeParticipant, 0 members present",
                       JoinLatency(Unique("empty"), sizes.joins));
    const std::string channel = Unique("many");
    CKxBenchChild first({"members", channel, "4"});
    first.Expect("ready ");
    CKxBenchChild second({"members", channel, "4"});
    second.Expect("ready ");
    report->AddLatency("7b", "InitializeParticipant, 8 members present",
                       JoinLatency(channel, sizes.joins));
    report->AddLatency("6a", "SendIPMessage to all 8 others (9 members)", FanOut(channel, sizes));
    SleepMs(kSettleMs);
    first.WriteLine("add 21");
    first.Expect("ready ");
    second.WriteLine("add 20");
    second.Expect("ready ");
    report->AddLatency("7c", "InitializeParticipant, 49 members present",
                       JoinLatency(channel, sizes.joins));
    report->AddLatency("6b", "SendIPMessage to all 49 others (50 members)", FanOut(channel, sizes));
}

// Line 8: the kill of a member's process (TerminateProcess, SIGKILL) until OnQuit at another
// member.
KxLatencySummary DepartureDetection(const KxBenchSizes& sizes) {
    const std::string channel = Unique("kill");
    CKxBenchSignal joined, quit;
    double quitAt = 0;
    CKxBenchParticipant watcher(channel.c_str());
    watcher.onJoin = [&](unsigned int) { joined.Set(); };
    watcher.onQuit = [&](unsigned int) {
        quitAt = KxNowMicroseconds();
        quit.Set();
    };
    watcher.InitializeParticipant();
    std::vector<double> samples;
    for (unsigned int i = 0; i < sizes.kills; ++i) {
        CKxBenchChild victim({"members", channel, "1"});
        victim.Expect("ready ");
        joined.WaitOrThrow("OnJoin of the member to kill");
        const double start = KxNowMicroseconds();
        victim.Kill();
        quit.WaitOrThrow("OnQuit of the killed member");
        samples.push_back(quitAt - start);
    }
    return KxSummarize(samples);
}

// One round: every line once; lines 1 to 5, whose ratios the targets are set on, interleaved.
void RunRound(const KxBenchSizes& sizes, CKxBenchReport* report) {
    InterleavedLines(sizes, report);
    ManyMembers(sizes, report);
    report->AddLatency("8", "departure: the process killed until OnQuit",
                       DepartureDetection(sizes));
}

// --- The traced workload ---

const unsigned kQuietMs = 300;  // peers finish what a phase gave them; a sleep asks no server

// One line of the workload's stdout for bench.sh: "phase LABEL OPERATIONS CALLER PEERS TITLE".
// CALLER names this process's side, PEERS the side of the member processes.
void PrintPhase(const std::string& label, unsigned int operations, const char* caller,
                const char* peers, const std::string& title) {
    std::printf("phase %s %u %s %s %s\n", label.c_str(), operations, caller, peers, title.c_str());
    std::fflush(stdout);
}

// Marks label-begin, runs work, marks label-sent (the end of this process's requests), waits for
// the peers to finish, and marks label-end (the end of theirs).
template <class Work>
void Traced(const std::string& label, Work work) {
    KxServerTraceMark(label + "-begin");
    work();
    KxServerTraceMark(label + "-sent");
    SleepMs(kQuietMs);
    KxServerTraceMark(label + "-end");
}

// Adds count participants to a members process.
void Grow(CKxBenchChild* members, unsigned int count) {
    members->WriteLine("add " + std::to_string(count));
    members->Expect("ready ");
}

// A phase for each round-trip baseline, named by its label (events and pipe on Windows). Their
// peers answer one round trip more than the window holds, so that no peer ends inside it.
void TraceBaselines(unsigned int count) {
    const unsigned int warmUp = 20;
    const std::vector<std::unique_ptr<CKxBenchRoundTrip>> baselines =
        KxStartRoundTrips(warmUp + count + 1);
    for (const auto& baseline : baselines) {
        for (unsigned int i = 0; i < warmUp; ++i) baseline->RoundTrip();
    }
    for (const auto& baseline : baselines) {
        Traced(baseline->label, [&] {
            for (unsigned int i = 0; i < count; ++i) baseline->RoundTrip();
        });
    }
    for (const auto& baseline : baselines) baseline->RoundTrip();
    for (const auto& baseline : baselines) {
        PrintPhase(baseline->label, count, "initiator", "echo", baseline->title);
    }
}

// Phases sync, handler, post and burst: one member in another process.
void TraceOneMember(unsigned int count) {
    const std::string channel = Unique("trace");
    CKxBenchChild peer({"members", channel, "1"});
    const unsigned int receiver = MemberIds(peer.Expect("ready "))[0];
    peer.WriteLine("mark peer");
    peer.Expect("ok");

    CKxBenchParticipant sender(channel.c_str());
    // Sends made inside OnReceive: the handler runs handlerSends sends, then marks handlerLabel
    // (when not empty) and raises handlerDone. The main thread polls the flag with a sleep, which
    // makes no request.
    unsigned int handlerSends = 0;
    std::string handlerLabel;
    std::atomic<bool> handlerDone(false);
    sender.onReceive = [&](unsigned int, unsigned int code, unsigned long long) {
        if (code != kHandlerGoCode) return;
        if (!handlerLabel.empty()) KxServerTraceMark(handlerLabel + "-begin");
        for (unsigned int i = 0; i < handlerSends; ++i) {
            sender.SendIPMessage(1, &receiver, kSentCode, i);
        }
        if (!handlerLabel.empty()) KxServerTraceMark(handlerLabel + "-sent");
        handlerDone = true;
    };
    sender.InitializeParticipant();
    const unsigned int self = sender.GetParticipantID();
    auto sendsInHandler = [&](unsigned int sends, const std::string& label) {
        handlerSends = sends;
        handlerLabel = label;
        handlerDone = false;
        sender.PostIPMessage(1, &self, kHandlerGoCode, 0);
        for (unsigned waited = 0; !handlerDone; ++waited) {
            if (static_cast<long long>(waited) > kPeerTimeout.count())
                throw std::runtime_error("the handler's sends hang");
            SleepMs(1);
        }
    };

    // Warm-up: records, receive events and foreign acknowledge events are opened once and kept.
    for (unsigned int i = 0; i < 20; ++i) {
        sender.SendIPMessage(1, &receiver, kSentCode, i);
        sender.PostIPMessage(1, &receiver, kSentCode, i);
    }
    sendsInHandler(20, "");
    SleepMs(kQuietMs);

    Traced("sync", [&] {
        for (unsigned int i = 0; i < count; ++i) sender.SendIPMessage(1, &receiver, kSentCode, i);
    });
    PrintPhase("sync", count, "sender", "receiver",
               "SendIPMessage to 1 member from an application thread");

    // The handler's own marks bound the sender's side; the receiver's ends after the quiet time.
    sendsInHandler(count, "handler");
    SleepMs(kQuietMs);
    KxServerTraceMark("handler-end");
    PrintPhase("handler", count, "sender", "receiver",
               "SendIPMessage to 1 member from inside OnReceive");

    Traced("post", [&] {
        for (unsigned int i = 0; i < count; ++i) {
            sender.PostIPMessage(1, &receiver, kSentCode, i);
            SleepMs(3);  // one wake-up per message
        }
    });
    PrintPhase("post", count, "sender", "receiver",
               "PostIPMessage to 1 member, each handled before the next");

    unsigned int refused = 0;
    Traced("burst", [&] {
        for (unsigned int i = 0; i < count; ++i) {
            while (!sender.PostIPMessage(1, &receiver, kSentCode, i)) {
                ++refused;
                std::this_thread::yield();
            }
        }
    });
    PrintPhase("burst", count, "sender", "receiver",
               "PostIPMessage to 1 member, back to back (ring full " + std::to_string(refused) +
                   " times)");
}

// Phase joinN: joins InitializeParticipant with the members present in the two members processes
// (plus one untraced join first, after which the members have opened the join element's event).
void TraceJoins(const std::string& channel, unsigned int present, unsigned int joins) {
    const std::string label = "join" + std::to_string(present);
    for (unsigned int i = 0; i <= joins; ++i) {
        CKxBenchParticipant joiner(channel.c_str());
        auto join = [&] {
            joiner.InitializeParticipant();
            SleepMs(kQuietMs);  // its waiting thread enters its wait within the window
        };
        if (i == 0) {
            join();
        } else {
            Traced(label, join);
        }
        joiner.UninitializeParticipant();
        SleepMs(kQuietMs);  // the members handle the departure outside the window
    }
    PrintPhase(label, joins, "joiner", "members",
               "InitializeParticipant, " + std::to_string(present) + " members present");
}

// Phase fanN: count synchronous sends to all N others, every one in the two members processes.
void TraceFanOut(const std::string& channel, unsigned int others, unsigned int count) {
    const std::string label = "fan" + std::to_string(others);
    CKxBenchParticipant sender(channel.c_str());
    sender.InitializeParticipant();
    for (unsigned int i = 0; i < 20; ++i) sender.SendIPMessage(0, nullptr, kSentCode, i);
    SleepMs(kQuietMs);
    Traced(label, [&] {
        for (unsigned int i = 0; i < count; ++i) {
            if (!sender.SendIPMessage(0, nullptr, kSentCode, i)) {
                throw std::runtime_error("SendIPMessage to all refused");
            }
        }
    });
    sender.UninitializeParticipant();
    SleepMs(kQuietMs);
    PrintPhase(label, count, "sender", "receivers",
               "SendIPMessage to all " + std::to_string(others) + " others");
}

}  // namespace

int KxRunBenchmarks(const std::vector<std::string>& args) {
    if (args.empty()) return 2;
    bool quick = false;
    unsigned long rounds = 3;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--quick") {
            quick = true;
        } else if (args[i] == "--rounds" && i + 1 < args.size()) {
            rounds = std::strtoul(args[++i].c_str(), nullptr, 10);
            if (rounds == 0 || rounds > 100) return 2;
        } else {
            return 2;
        }
    }
    const KxBenchSizes sizes = quick ? KxBenchSizes{20, 100, 2000, 5, 10, 3, 2}
                                     : KxBenchSizes{200, 2000, 5000, 10, 100, 20, 8};
    CKxBenchReport report;
    for (unsigned long round = 1; round <= rounds; ++round) {
        std::printf("round %lu of %lu\n", round, rounds);
        std::fflush(stdout);
        report.BeginRound();
        RunRound(sizes, &report);
    }
    KxAddBaselineRatios(&report);
    report.PrintTable();
    if (!report.WriteJson(args[0])) {
        std::fprintf(stderr, "cannot write %s\n", args[0].c_str());
        return 1;
    }
    return 0;
}

int KxRunTraceWorkload(const std::vector<std::string>& args) {
    if (args.size() != 1) return 2;
    const unsigned int count = static_cast<unsigned int>(std::stoul(args[0]));
    const unsigned int joins = 5;
    KxServerTraceMark("caller");
    TraceBaselines(count);
    TraceOneMember(count);

    // Fan-out and joins in one channel whose members all live in two other processes.
    const std::string channel = Unique("trace_many");
    CKxBenchChild first({"members", channel, "0"});
    CKxBenchChild second({"members", channel, "0"});
    for (CKxBenchChild* members : {&first, &second}) {
        members->Expect("ready");
        members->WriteLine("mark peer");
        members->Expect("ok");
    }
    TraceJoins(channel, 0, joins);
    Grow(&first, 1);
    TraceFanOut(channel, 1, count);
    Grow(&first, 3);
    Grow(&second, 4);
    TraceJoins(channel, 8, joins);
    TraceFanOut(channel, 8, count);
    Grow(&first, 21);
    Grow(&second, 20);
    TraceJoins(channel, 49, joins);
    TraceFanOut(channel, 49, count);
    return 0;
}
