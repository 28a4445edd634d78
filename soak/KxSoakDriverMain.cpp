// kxipc_soak: runs worker processes on one channel, kills and restarts them at random, then checks
// that nothing was lost, duplicated or hung, that every survivor's view of the members is the
// channel's, and that the channel and the survivors are clean.
//
// kxipc_soak [--seconds N] [--seed S] [--processes P] [--participants K] [--post-burst N]
//            [--out FILE.json] [--logs DIR]
// --post-burst N: one step in ten of every participant posts N messages back to back, which fills
// the channel's ring now and then (default 0: the plain random mix).
// Exit code 0 when every check passed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CKxChannelSnapshot.h"
#include "CKxEvent.h"
#include "CKxSharedMemory.h"
#include "CKxSoakAnalysis.h"
#include "KxExceptions.h"
#include "KxChildProcess.h"
#include "KxSoakProtocol.h"

namespace {

struct Options {
    unsigned seconds = 60;
    std::uint32_t seed = 1;
    unsigned processes = 4;
    unsigned participants = 3;
    unsigned postBurst = 0;
    std::string out = "soak-result.json";
    std::string logs = ".";
};

struct Worker {
    KxSoakWorkerOutcome outcome;
    std::unique_ptr<CKxLaunchedChild> child;  // null when it could not be started
    std::unique_ptr<CKxEvent> idle, viewed;
    std::uint64_t started = 0;
};

// Generous: a survivor may be finishing a send that waits out a killed peer's 25 000 ms.
const KxTimeout kIdleTimeoutMs = 90000;
const KxTimeout kDrainTimeoutMs = 60000;
// Each worker gives its views kKxSoakViewSettleLimitMs; the rest is its start-up margin.
const KxTimeout kViewsTimeoutMs = static_cast<KxTimeout>(kKxSoakViewSettleLimitMs) + 30000;
const KxTimeout kFinishTimeoutMs = 90000;
const KxTimeout kWarmUpMs = 6000;

void SleepMs(std::uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool Start(Worker* worker, const Options& options, const std::string& channel, unsigned number,
           std::uint32_t seed) {
    worker->outcome.number = number;
    worker->outcome.logPath = options.logs + "/worker-" + std::to_string(number) + ".log";
    worker->idle.reset(new CKxEvent(KxSoakWorkerEventName(channel, "idle", number), true));
    worker->viewed.reset(new CKxEvent(KxSoakWorkerEventName(channel, "viewed", number), true));
    const std::string program = KxSiblingProgram("kxipc_soak_worker");
    worker->child.reset(new CKxLaunchedChild());
    std::string error;
    if (!worker->child->Start(program,
                              {channel, std::to_string(number), std::to_string(seed),
                               std::to_string(options.participants), std::to_string(kWarmUpMs),
                               std::to_string(options.postBurst), worker->outcome.logPath},
                              CKxLaunchedChild::Stdio::kUnpiped, &error)) {
        std::fprintf(stderr, "cannot start %s: %s\n", program.c_str(), error.c_str());
        worker->child.reset();
        return false;
    }
    worker->started = KxSoakNowMs();
    return true;
}

bool Running(const Worker& worker) { return worker.child && !worker.child->WaitForExit(0); }

// Waits until the event is set (true) or the worker has ended or the deadline has passed (false).
bool WaitSetOrEnded(CKxEvent* event, const Worker& worker, std::uint64_t deadline) {
    for (;;) {
        const std::uint64_t now = KxSoakNowMs();
        const KxTimeout slice = static_cast<KxTimeout>(
            std::min<std::uint64_t>(50, now < deadline ? deadline - now : 0));
        if (event->Wait(slice)) return true;
        if (slice == 0 || !Running(worker)) return false;
    }
}

// The identifiers the survivors reported as members when they went idle (their I lines).
std::vector<std::uint32_t> IdleMembers(const std::vector<Worker>& workers) {
    std::vector<std::uint32_t> ids;
    for (const Worker& worker : workers) {
        if (!worker.outcome.idle) continue;
        std::ifstream in(worker.outcome.logPath);
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 2, "I ") != 0) continue;
            std::istringstream fields(line.substr(2));
            std::uint64_t time = 0;
            unsigned count = 0;
            fields >> time >> count;
            for (std::uint32_t id = 0; count-- > 0 && fields >> id;) ids.push_back(id);
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Reads the channel's segments (under its mutex) once the survivors are idle, waiting for the
// queue to drain and for the member list to be live, the survivors' members: members acknowledge
// what killed peers left and remove them, as they notice the deaths.
KxSoakChannelState ReadChannel(const std::string& channel, const std::vector<std::uint32_t>& live) {
    KxSoakChannelState state;
    const std::uint64_t deadline = KxSoakNowMs() + kDrainTimeoutMs;
    for (;;) {
        CKxChannelSnapshot snapshot;
        std::string error;
        if (snapshot.Take(channel, &error)) {
            CKxMessageRing ring = snapshot.Ring();
            state = KxSoakChannelState();
            state.read = true;
            state.ringConsistent = ring.IsConsistent();
            state.readPosition = ring.ReadPosition();
            state.writePosition = ring.WritePosition();
            ring.ForEachRecord([&state](const KxRingRecord& record) {
                ++state.records;
                for (std::uint32_t i = 0; i < record.recipientCount; ++i) {
                    if (record.recipients[i].state != CKxMessageRing::kStateAcknowledged) {
                        ++state.pendingEntries;
                    }
                }
            });
            state.members = snapshot.ParticipantIds();
            std::vector<std::uint32_t> members = state.members;
            std::sort(members.begin(), members.end());
            if (state.ringConsistent && state.readPosition == state.writePosition &&
                members == live) {
                break;
            }
        } else {
            std::fprintf(stderr, "channel snapshot: %s\n", error.c_str());
        }
        if (KxSoakNowMs() > deadline) break;
        SleepMs(200);
    }
    return state;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seconds") {
            options->seconds = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (name == "--seed") {
            options->seed = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (name == "--processes") {
            options->processes = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (name == "--participants") {
            options->participants = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (name == "--post-burst") {
            options->postBurst = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (name == "--out") {
            options->out = value;
        } else if (name == "--logs") {
            options->logs = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && options->processes >= 2 && options->participants >= 1 &&
           options->processes * options->participants <= 50;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: kxipc_soak [--seconds N] [--seed S] [--processes P (>= 2)] "
                     "[--participants K (P*K <= 50)] [--post-burst N] [--out FILE] "
                     "[--logs DIR]\n");
        return 2;
    }
    std::error_code ignored;  // an existing folder is fine; a missing one fails the first start
    std::filesystem::create_directories(options.logs, ignored);
    const std::string channel =
        "kxsoak_" + std::to_string(KxThisProcessId()) + "_" + std::to_string(options.seed);
    std::unique_ptr<CKxEvent> quiesce, measure, views;
    std::unique_ptr<CKxSharedMemory> membersSegment;
    try {
        quiesce.reset(new CKxEvent(KxSoakEventName(channel, "quiesce"), true /*manualReset*/));
        measure.reset(new CKxEvent(KxSoakEventName(channel, "measure"), true /*manualReset*/));
        views.reset(new CKxEvent(KxSoakEventName(channel, "views"), true /*manualReset*/));
        bool created = false;
        membersSegment.reset(new CKxSharedMemory(sizeof(KxSoakMemberList),
                                                 KxSoakEventName(channel, "members"), &created));
    } catch (const CKxBaseException& e) {
        std::fprintf(stderr, "cannot create the soak's events and member list: %s\n",
                     e.GetErrorMessage().c_str());
        return 1;
    }
    KxSoakMemberList* expectedMembers =
        static_cast<KxSoakMemberList*>(membersSegment->GetBaseAddress());
    std::mt19937 random(options.seed);
    std::vector<Worker> workers;
    workers.reserve(1024);
    unsigned next = 1;
    std::printf("soak: channel %s, %u s, seed %u, %u processes x %u participants, post burst %u\n",
                channel.c_str(), options.seconds, options.seed, options.processes,
                options.participants, options.postBurst);
    std::fflush(stdout);

    auto startOne = [&] {
        workers.emplace_back();
        const unsigned number = next++;
        if (!Start(&workers.back(), options, channel, number, random())) workers.pop_back();
    };
    for (unsigned i = 0; i < options.processes; ++i) startOne();

    // Kills: one at a random moment every 1 to 5 s, never leaving fewer than two workers; the
    // killed one is replaced at once. A worker that ended by itself is a crash and is replaced too.
    const std::uint64_t end = KxSoakNowMs() + options.seconds * 1000ull;
    while (KxSoakNowMs() < end) {
        const std::uint64_t pause = 1000 + random() % 4000;
        SleepMs(std::min<std::uint64_t>(pause, end - std::min(end, KxSoakNowMs())));
        if (KxSoakNowMs() >= end) break;
        std::vector<Worker*> running;
        for (Worker& worker : workers) {
            if (Running(worker)) running.push_back(&worker);
        }
        if (running.size() >= 2) {
            Worker* victim = running[random() % running.size()];
            victim->outcome.killedAt = KxSoakNowMs();
            victim->child->Kill();
            victim->outcome.killed = true;
        }
        unsigned alive = 0;
        for (Worker& worker : workers) alive += Running(worker) ? 1 : 0;
        while (alive++ < options.processes) startOne();
    }

    quiesce->Set();
    const std::uint64_t idleDeadline = KxSoakNowMs() + kIdleTimeoutMs;
    for (Worker& worker : workers) {
        if (worker.outcome.killed || !worker.child) continue;
        worker.outcome.idle = WaitSetOrEnded(worker.idle.get(), worker, idleDeadline);
    }
    const std::vector<std::uint32_t> live = IdleMembers(workers);
    const KxSoakChannelState state = ReadChannel(channel, live);

    // The views settle towards what the channel lists; the analysis judges them against the live
    // participants of the logs, and the channel against them too.
    expectedMembers->count =
        static_cast<std::uint32_t>(std::min<std::size_t>(state.members.size(), 50));
    std::copy(state.members.begin(), state.members.begin() + expectedMembers->count,
              expectedMembers->ids);
    views->Set();
    const std::uint64_t viewsDeadline = KxSoakNowMs() + kViewsTimeoutMs;
    for (Worker& worker : workers) {
        if (worker.outcome.idle) WaitSetOrEnded(worker.viewed.get(), worker, viewsDeadline);
    }

    measure->Set();
    for (Worker& worker : workers) {
        if (worker.outcome.killed || !worker.child) continue;
        worker.outcome.finished = worker.child->WaitForExit(kFinishTimeoutMs);
        if (!worker.outcome.finished) worker.child->Kill();
        worker.outcome.exitCode = worker.child->ExitCode();
    }

    std::vector<KxSoakWorkerOutcome> outcomes;
    for (Worker& worker : workers) outcomes.push_back(worker.outcome);
    CKxSoakAnalysis analysis;
    analysis.Analyse(outcomes, state);
    analysis.Print();
    const std::string parameters =
        "\"seconds\": " + std::to_string(options.seconds) +
        ", \"seed\": " + std::to_string(options.seed) +
        ", \"processes\": " + std::to_string(options.processes) +
        ", \"participantsPerProcess\": " + std::to_string(options.participants) +
        ", \"postBurst\": " + std::to_string(options.postBurst);
    if (!analysis.WriteJson(options.out, parameters)) {
        std::fprintf(stderr, "cannot write %s\n", options.out.c_str());
        return 1;
    }
    return analysis.Passed() ? 0 : 1;
}
