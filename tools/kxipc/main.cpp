// kxipc.exe: a channel participant driven line by line on stdin, and a read-only channel inspector.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "CKxChannelSnapshot.h"
#include "CKxCliParticipant.h"
#include "KxCliCommand.h"
#include "KxCliOutput.h"

namespace {

const int kExitOk = 0;
const int kExitFailure = 1;
const int kExitUsage = 2;

const char kUsage[] =
    "usage:\n"
    "  kxipc join CHANNEL [--sync-delay MS]   take part in CHANNEL, driven by stdin\n"
    "  kxipc members CHANNEL                  print the registered identifiers\n"
    "  kxipc stat CHANNEL                     print the members, the queue and its records\n"
    "  kxipc --version\n"
    "\n"
    "join prints 'id ID' once joined, then one line per event:\n"
    "  join ID 0|1            a member present at the start (0) or joining later (1)\n"
    "  quit ID                a member left or died\n"
    "  sync SENDER CODE PARAM a synchronous message, before it is acknowledged\n"
    "                         (--sync-delay MS: the handler then sleeps MS, keeping the sender)\n"
    "  recv SENDER CODE PARAM a sent or posted message, after it is acknowledged\n"
    "and reads one command per line:\n"
    "  send TARGETS CODE PARAM   synchronous send; prints 'ok' or 'refused' once it returns\n"
    "  post TARGETS CODE PARAM   post; prints 'ok' or 'refused'\n"
    "  on-sync send|post TARGETS CODE PARAM\n"
    "  on-recv send|post TARGETS CODE PARAM\n"
    "                            arm a message that the next OnSyncMessage / OnReceive sends\n"
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

// Joins, prints "id ID"; false after printing the exception's message.
bool JoinAndSay(CKxCliParticipant* peer) {
    try {
        peer->Join();
    } catch (const CKxBaseException& failure) {
        KxCliError(failure.GetErrorMessage());
        return false;
    }
    KxCliSay("id %u", peer->GetParticipantID());
    return true;
}

// Runs one parsed command; false for exit.
bool Dispatch(CKxCliParticipant* peer, const KxCliCommand& command) {
    using Kind = KxCliCommand::Kind;
    switch (command.kind) {
        case Kind::kMessage:
            try {
                KxCliSay("%s", peer->Deliver(command.message) ? "ok" : "refused");
            } catch (const CKxBaseException& failure) {
                KxCliError(failure.GetErrorMessage());
            }
            return true;
        case Kind::kOnSync:
        case Kind::kOnRecv:
            peer->Arm(command.kind == Kind::kOnSync, command.message);
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

int RunMembers(const std::string& channel) {
    CKxChannelSnapshot snapshot;
    std::string problem;
    if (!snapshot.Take(channel, &problem)) {
        KxCliError(problem);
        return kExitFailure;
    }
    KxCliSayMembers(snapshot.ParticipantIds());
    return kExitOk;
}

// members ID ...
// queue read R write W free F             (or: queue uninitialised / queue ... inconsistent)
// record POSITION sender S code C param P key K to ID:STATE ID:STATE ...   oldest first
int RunStat(const std::string& channel) {
    CKxChannelSnapshot snapshot;
    std::string problem;
    if (!snapshot.Take(channel, &problem)) {
        KxCliError(problem);
        return kExitFailure;
    }
    KxCliSayMembers(snapshot.ParticipantIds());
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
    if ((verb == "members" || verb == "stat") && args.size() == 2) {
        return verb == "members" ? RunMembers(args[1]) : RunStat(args[1]);
    }
    if (verb == "join" && args.size() >= 2) {
        std::uint32_t syncDelayMs = 0;
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (args[i] != "--sync-delay" || i + 1 == args.size()) {
                return Usage("unexpected argument '" + args[i] + "'");
            }
            if (!KxParseCliNumber(args[++i], &syncDelayMs)) {
                return Usage("bad --sync-delay '" + args[i] + "'");
            }
        }
        return RunJoin(args[1], syncDelayMs);
    }
    return Usage("bad arguments");
}
