// kxipc.exe: a channel participant driven line by line on stdin, and a read-only channel inspector.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CKxChannelSnapshot.h"
#include "CKxChannelWatch.h"
#include "CKxCliParticipant.h"
#include "KxCliCommand.h"
#include "KxCliOutput.h"
#include "KxRefusals.h"
#include "KxSystemScope.h"
#include "KxUnheldObjects.h"

namespace {

const int kExitOk = 0;
const int kExitFailure = 1;
const int kExitUsage = 2;

// How often a watch looks at the member list; the end of a member's thread wakes it at once.
const unsigned long kWatchLookMs = 100;

const char kUsage[] =
    "usage:\n"
    "  kxipc join CHANNEL [--sync-delay MS]   take part in CHANNEL, driven by stdin\n"
    "  kxipc members CHANNEL [--long]         print the registered identifiers\n"
    "  kxipc stat CHANNEL [--long]            print the members, the queue and its records\n"
    "  kxipc watch CHANNEL [--long] [--seconds N]\n"
    "                                         print the members, then 'join ID' and 'quit ID'\n"
    "                                         as they come and go, until end of input or N s\n"
    "  kxipc clean                            remove the objects of channels nobody holds any\n"
    "                                         more (left by crashed processes)\n"
    "  kxipc --version\n"
    "--long shows each member as 'ID pid PID EXE': its process and executable.\n"
    "\n"
    "join prints 'id ID' once joined, then one line per event:\n"
    "  join ID 0|1            a member present at the start (0) or joining later (1)\n"
    "  quit ID                a member left or died\n"
    "  sync SENDER CODE PARAM a synchronous message, before it is acknowledged\n"
    "                         (--sync-delay MS: the handler then sleeps MS, keeping the sender)\n"
    "  recv SENDER CODE PARAM a sent or posted message, after it is acknowledged\n"
    "and reads one command per line:\n"
    "  send TARGETS CODE PARAM   synchronous send; prints 'ok' or 'refused' once it returns\n"
    "  send-report TARGETS CODE PARAM\n"
    "                            synchronous send; prints 'report acked=ID,... departed=ID,...\n"
    "                            pending=ID,...' or 'refused REASON' (absent=ID,..., no-targets,\n"
    "                            no-room, reserved-code, not-running)\n"
    "  post TARGETS CODE PARAM   post; prints 'ok' or 'refused'\n"
    "  on-sync|on-recv|on-join|on-quit send|post TARGETS CODE PARAM\n"
    "                            arm a message that the next OnSyncMessage / OnReceive /\n"
    "                            OnJoin / OnQuit sends\n"
    "                            from inside the handler; prints 'armed', later\n"
    "                            'handler-send ok|refused' or 'handler-post ok|refused'\n"
    "  members                   prints 'members ID ...', the other members in join order\n"
    "  leave                     leaves the channel; prints 'left'\n"
    "  rejoin                    joins again under a new identifier; prints 'id ID'\n"
    "  exit                      leaves and ends (also at end of input)\n"
    "TARGETS is * (every other member) or ID,ID,...; numbers are decimal or 0x-hexadecimal.\n"
    "Errors go to stderr as 'error: ...'; a bad command is skipped and the peer goes on.\n";

int Usage(const std::string& problem) {
    if (!problem.empty()) KxCliError(problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// "channel NAME: " + the library's message: every failure of the library names its channel.
void SayFailure(const std::string& channel, const CKxBaseException& failure) {
    const std::string reason = KxLastSystemErrorText();
    KxCliError("channel " + channel + ": " + failure.GetErrorMessage() +
               (reason.empty() ? "" : " (" + reason + ")"));
}

// Joins, prints "id ID"; false after printing why not.
bool JoinAndSay(CKxCliParticipant* peer) {
    try {
        peer->Join();
    } catch (const CKxChannelFullException&) {
        KxCliError("channel " + peer->Channel() + " is full (" +
                   std::to_string(kKxMaxParticipants) + " members)");
        return false;
    } catch (const CKxBaseException& failure) {
        SayFailure(peer->Channel(), failure);
        return false;
    }
    KxCliSay("id %u", peer->GetParticipantID());
    return true;
}

// " NAME=ID,ID,...": the targets with that outcome, in list order.
std::string TargetsWith(const kxipc_send_report& report, const char* name, std::uint32_t outcome) {
    std::string text = std::string(" ") + name + "=";
    const char* separator = "";
    for (std::uint32_t i = 0; i < report.count; ++i) {
        if (report.outcomes[i] != outcome) continue;
        text += separator + std::to_string(report.targets[i]);
        separator = ",";
    }
    return text;
}

// The reply to send-report: "report acked=... departed=... pending=..." or "refused REASON".
std::string ReportText(const kxipc_send_report& report) {
    if (report.refusal == KXIPC_QUEUED) {
        return "report" + TargetsWith(report, "acked", KXIPC_TARGET_ACKNOWLEDGED) +
               TargetsWith(report, "departed", KXIPC_TARGET_DEPARTED) +
               TargetsWith(report, "pending", KXIPC_TARGET_PENDING);
    }
    const KxRefusal* reason = KxFindRefusal(report.refusal);
    if (!reason) return "refused";
    if (report.refusal == KXIPC_REFUSED_ABSENT) {
        return "refused" + TargetsWith(report, reason->word, KXIPC_TARGET_ABSENT);
    }
    return std::string("refused ") + reason->word;
}

// Runs one parsed command; false for exit.
bool Dispatch(CKxCliParticipant* peer, const KxCliCommand& command) {
    using Kind = KxCliCommand::Kind;
    switch (command.kind) {
        case Kind::kMessage:
            try {
                KxCliSay("%s", peer->Deliver(command.message) ? "ok" : "refused");
            } catch (const CKxBaseException& failure) {
                SayFailure(peer->Channel(), failure);
            }
            return true;
        case Kind::kSendReport:
            try {
                kxipc_send_report report;
                peer->Deliver(command.message, &report);
                KxCliSay("%s", ReportText(report).c_str());
            } catch (const CKxBaseException& failure) {
                SayFailure(peer->Channel(), failure);
            }
            return true;
        case Kind::kArm:
            peer->Arm(command.handler, command.message);
            KxCliSay("armed");
            return true;
        case Kind::kMembers:
            KxCliSayMembers(peer->Members());
            return true;
        case Kind::kLeave:
            if (!peer->IsJoined()) {
                KxCliError("not joined");
                return true;
            }
            peer->Leave();
            KxCliSay("left");
            return true;
        case Kind::kRejoin:
            if (peer->IsJoined()) {
                KxCliError("already joined");
                return true;
            }
            JoinAndSay(peer);
            return true;
        case Kind::kExit:
            return false;
    }
    return true;
}

int RunJoin(const std::string& channel, std::uint32_t syncDelayMs) {
    CKxCliParticipant peer(channel.c_str(), syncDelayMs);
    if (!JoinAndSay(&peer)) return kExitFailure;
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        KxCliCommand command;
        std::string problem;
        if (!KxParseCliCommand(line, &command, &problem)) {
            KxCliError(problem);
            continue;
        }
        if (!Dispatch(&peer, command)) break;
    }
    peer.Leave();
    return kExitOk;
}

const char* StateName(std::uint32_t state) {
    switch (state) {
        case CKxMessageRing::kStatePending:
            return "pending";
        case CKxMessageRing::kStateReceived:
            return "received";
        case CKxMessageRing::kStateAcknowledged:
            return "acknowledged";
        default:
            return "invalid";
    }
}

// Takes the snapshot of a channel and says its members; false, with the problem said, when the
// channel cannot be read.
bool TakeAndSayMembers(const std::string& channel, bool withOrigin, CKxChannelSnapshot* snapshot) {
    std::string problem;
    if (!snapshot->Take(channel, &problem)) {
        KxCliError(problem);
        return false;
    }
    KxCliSayMembers(snapshot->ParticipantIds(), withOrigin);
    return true;
}

int RunMembers(const std::string& channel, bool withOrigin) {
    CKxChannelSnapshot snapshot;
    return TakeAndSayMembers(channel, withOrigin, &snapshot) ? kExitOk : kExitFailure;
}

// members ID ...
// queue read R write W free F             (or: queue uninitialised / queue ... inconsistent)
// record POSITION sender S code C param P key K to ID:STATE ID:STATE ...   oldest first
int RunStat(const std::string& channel, bool withOrigin) {
    CKxChannelSnapshot snapshot;
    if (!TakeAndSayMembers(channel, withOrigin, &snapshot)) return kExitFailure;
    if (!snapshot.QueueInitialized()) {
        KxCliSay("queue uninitialised");
        return kExitOk;
    }
    const CKxMessageRing ring = snapshot.Ring();
    std::uint32_t freeWords = 0;
    if (!ring.FreeWords(&freeWords) || !ring.IsConsistent()) {
        KxCliSay("queue read %u write %u inconsistent", ring.ReadPosition(), ring.WritePosition());
        return kExitFailure;
    }
    KxCliSay("queue read %u write %u free %u", ring.ReadPosition(), ring.WritePosition(),
             freeWords);
    ring.ForEachRecord([](const KxRingRecord& record) {
        std::string recipients;
        for (std::uint32_t i = 0; i < record.recipientCount; ++i) {
            recipients += " " + std::to_string(record.recipients[i].id) + ":" +
                          StateName(record.recipients[i].state);
        }
        KxCliSay("record %u sender %u code %u param %llu key %llu to%s", record.position,
                 record.message.senderId, record.message.messageCode,
                 static_cast<unsigned long long>(record.message.param),
                 static_cast<unsigned long long>(record.message.acknowledgeKey),
                 recipients.c_str());
    });
    return kExitOk;
}

// members ID ...                (the first look)
// join ID | quit ID              one line per change, each member joined and quit once
// Until end of input, or until seconds have passed (timed). Once the first look succeeded the
// process ends here: a thread is then blocked reading stdin, inside the C runtime's lock on it,
// which exit's flushing of the streams would wait for. So the output is flushed and the process
// ends without that flushing (and without unwinding; the platform closes every handle).
int RunWatch(const std::string& channel, bool withOrigin, bool timed, std::uint32_t seconds) {
    CKxChannelWatch watch;
    std::vector<KxMemberChange> changes;
    std::string problem;
    if (!watch.Look(channel, &changes, &problem)) {
        KxCliError(problem);
        return kExitFailure;
    }
    std::vector<std::uint32_t> members;
    for (const KxMemberChange& change : changes) {
        if (change.joined) members.push_back(change.id);
    }
    KxCliSayMembers(members, withOrigin);
    // A member listed with its thread already ended quits at once.
    changes.erase(std::remove_if(changes.begin(), changes.end(),
                                 [](const KxMemberChange& change) { return change.joined; }),
                  changes.end());

    std::thread([&watch] {
        for (std::string line; std::getline(std::cin, line);) {
        }
        watch.Interrupt();
    }).detach();
    int status = kExitOk;
    try {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            for (const KxMemberChange& change : changes) {
                if (change.joined) {
                    KxCliSay("join %s", KxCliMemberText(change.id, withOrigin).c_str());
                } else {
                    KxCliSay("quit %u", change.id);
                }
            }
            changes.clear();
            unsigned long waitMs = kWatchLookMs;
            if (timed) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) break;
                waitMs = std::min<unsigned long>(waitMs, static_cast<unsigned long>(left.count()));
            }
            if (watch.Wait(waitMs)) break;  // end of input
            if (!watch.Look(channel, &changes, &problem)) {
                KxCliError(problem);
                status = kExitFailure;
                break;
            }
        }
    } catch (const CKxBaseException& failure) {
        SayFailure(channel, failure);
        status = kExitFailure;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

// What follows "VERB CHANNEL": --sync-delay MS (join), --long (members, stat, watch), --seconds N
// (watch).
struct KxCliOptions {
    std::uint32_t syncDelayMs = 0;
    bool withOrigin = false;
    bool timed = false;
    std::uint32_t seconds = 0;
};

// args[2..] into *options; the usage problem, or "" when they all fit the verb args[0].
std::string ParseOptions(const std::vector<std::string>& args, KxCliOptions* options) {
    const std::string& verb = args[0];
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--long" && verb != "join") {
            options->withOrigin = true;
            continue;
        }
        std::uint32_t* number = option == "--sync-delay" && verb == "join" ? &options->syncDelayMs
                                : option == "--seconds" && verb == "watch" ? &options->seconds
                                                                           : nullptr;
        if (number == nullptr || i + 1 == args.size()) {
            return "unexpected argument '" + option + "'";
        }
        if (!KxParseCliNumber(args[++i], number)) return "bad " + option + " '" + args[i] + "'";
        options->timed = options->timed || number == &options->seconds;
    }
    return std::string();
}

int RunChannelVerb(const std::vector<std::string>& args) {
    KxCliOptions options;
    const std::string usageProblem = ParseOptions(args, &options);
    if (!usageProblem.empty()) return Usage(usageProblem);
    const std::string& verb = args[0];
    const std::string& channel = args[1];
    // Checked before anything is opened: the platform's refusal would only name the kernel call.
    const std::string nameProblem = KxChannelNameProblem(channel);
    if (!nameProblem.empty()) {
        KxCliError("bad channel name " + channel + ": " + nameProblem);
        return kExitFailure;
    }
    try {
        if (verb == "join") return RunJoin(channel, options.syncDelayMs);
        if (verb == "members") return RunMembers(channel, options.withOrigin);
        if (verb == "stat") return RunStat(channel, options.withOrigin);
        return RunWatch(channel, options.withOrigin, options.timed, options.seconds);
    } catch (const CKxBaseException& failure) {
        SayFailure(channel, failure);
        return kExitFailure;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("");
    const std::string& verb = args[0];
    if (verb == "--version" && args.size() == 1) {
        KxCliSay("kxipc %s", KXIPC_VERSION);
        return kExitOk;
    }
    if (verb == "--help" && args.size() == 1) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (verb == "clean" && args.size() == 1) {
        const int removed = KxRemoveUnheldObjects();
        if (removed < 0) {
            KxCliSay("nothing to clean: named objects go with their last handle here");
        } else {
            KxCliSay("removed %d", removed);
        }
        return kExitOk;
    }
    if ((verb == "join" || verb == "members" || verb == "stat" || verb == "watch") &&
        args.size() >= 2) {
        return RunChannelVerb(args);
    }
    return Usage("bad arguments");
}
