// The peer roles of the benchmark program.
#include "KxBenchRoles.h"

#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "CKxBenchParticipant.h"
#include "KxBenchBaselines.h"
#include "KxBenchStats.h"

namespace {

std::mutex g_outputLock;  // lines come from the main thread and from waiting threads

void Say(const std::string& line) {
    std::lock_guard<std::mutex> hold(g_outputLock);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

unsigned long ToNumber(const std::string& text) { return std::stoul(text); }

}  // namespace

int KxRoleMembers(const std::vector<std::string>& args) {
    if (args.size() != 2) return 2;
    const std::string channel = args[0];
    std::vector<std::unique_ptr<CKxBenchParticipant>> members;
    // Received messages of every member of this process, against the target of the last expect.
    std::atomic<unsigned long long> received(0);
    std::atomic<unsigned long long> target(0);

    auto add = [&](unsigned long count) {
        for (unsigned long i = 0; i < count; ++i) {
            members.emplace_back(new CKxBenchParticipant(channel.c_str()));
            members.back()->onReceive = [&](unsigned int, unsigned int code, unsigned long long) {
                if (code != kKxBenchCountedCode) return;
                if (received.fetch_add(1) + 1 == target.load()) {
                    Say("done " + std::to_string(KxNowMicroseconds()));
                }
            };
            members.back()->InitializeParticipant();
        }
        std::string line = "ready " + std::to_string(members.size());
        for (const auto& member : members) line += " " + std::to_string(member->GetParticipantID());
        Say(line);
    };

    add(ToNumber(args[1]));
    std::string command;
    while (std::getline(std::cin, command)) {
        if (!command.empty() && command.back() == '\r') command.pop_back();
        const size_t space = command.find(' ');
        const std::string verb = command.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : command.substr(space + 1);
        if (verb == "add") {
            add(ToNumber(rest));
        } else if (verb == "expect") {
            target = 0;
            received = 0;
            target = ToNumber(rest);
            Say("ok");
        } else if (verb == "mark") {
            KxServerTraceMark(rest);
            Say("ok");
        } else if (verb == "quit") {
            break;
        }
    }
    while (!members.empty()) members.pop_back();  // last joined leaves first
    return 0;
}
