// Member processes: the child roles that run participants, and the test's handle on them.
#include "KxMemberProcess.h"

#include <cstdio>
#include <mutex>
#include <sstream>

#include "KxRecordingParticipant.h"

namespace {

// Handlers print on the waiting thread while the main thread answers commands; KxSay writes a line
// in two calls, so whole lines are serialised here.
void SayLine(const std::string& line) {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    KxSay("%s", line.c_str());
}

std::string EventLine(const KxParticipantEvent& event) {
    switch (event.kind) {
        case KxParticipantEvent::kJoin:
            return KxJoinLine(event.id, event.joinedLater);
        case KxParticipantEvent::kQuit:
            return KxQuitLine(event.id);
        case KxParticipantEvent::kSync:
            return KxSyncLine(event.id, event.code) + " " + std::to_string(event.param);
        case KxParticipantEvent::kReceive:
            return KxRecvLine(event.id, event.code) + " " + std::to_string(event.param);
        case KxParticipantEvent::kNote:
            break;
    }
    return "note " + std::to_string(event.id);
}

std::string IdLine(unsigned int id) {
    char line[32];
    std::snprintf(line, sizeof(line), "id %08X", id);
    return line;
}

HANDLE OpenReleaseEvent(const std::string& option, const char* prefix) {
    const std::string name = option.substr(std::string(prefix).size());
    return OpenEventA(SYNCHRONIZE, FALSE /*bInheritHandle*/, name.c_str());
}

}  // namespace

// args: channel name, then the options of CKxMemberProcess::Start. Commands on stdin:
//   "send|post <code hex> <param> [<id hex>...]"  answers "sent|posted <0|1>"
//   "uninit"  answers "uninitialising", then "uninitialised"
//   "exit" or end of input: uninitialises and ends with exit code 0
KX_CHILD_ROLE(KxParticipantMember) {
    if (args.empty()) return 2;
    KxHandle holdSync, holdQuit;
    bool ping = false, pong = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option.rfind("hold-sync=", 0) == 0) {
            holdSync.reset(OpenReleaseEvent(option, "hold-sync="));
            if (!holdSync) return 3;
        } else if (option.rfind("hold-quit=", 0) == 0) {
            holdQuit.reset(OpenReleaseEvent(option, "hold-quit="));
            if (!holdQuit) return 3;
        } else if (option == "ping") {
            ping = true;
        } else if (option == "pong") {
            pong = true;
        } else {
            return 4;
        }
    }

    CKxRecordingParticipant participant(args[0].c_str());
    participant.SetHook([&](CKxRecordingParticipant& self, const KxParticipantEvent& event) {
        SayLine(EventLine(event));
        if (event.kind == KxParticipantEvent::kSync && holdSync) {
            WaitForSingleObject(holdSync.get(), kKxHoldLimitMs);
        }
        if (event.kind == KxParticipantEvent::kQuit && holdQuit) {
            WaitForSingleObject(holdQuit.get(), kKxHoldLimitMs);
        }
        if (ping && event.kind == KxParticipantEvent::kReceive && event.code == kKxKickCode) {
            const unsigned int target = static_cast<unsigned int>(event.param);
            SayLine(KxHandlerSentLine(kKxPingCode, self.SendIPMessage(1, &target, kKxPingCode, 0)));
        }
        if (pong && event.kind == KxParticipantEvent::kSync && event.code == kKxPingCode) {
            SayLine(
                KxHandlerSentLine(kKxPongCode, self.SendIPMessage(1, &event.id, kKxPongCode, 0)));
        }
    });
    participant.InitializeParticipant();
    SayLine(IdLine(participant.GetParticipantID()));

    std::string command;
    while (KxReadLine(&command)) {
        std::istringstream words(command);
        std::string verb;
        words >> verb;
        if (verb == "send" || verb == "post") {
            unsigned int code = 0;
            unsigned long long param = 0;
            words >> std::hex >> code >> std::dec >> param >> std::hex;
            std::vector<unsigned int> ids;
            for (unsigned int id; words >> id;) ids.push_back(id);
            const unsigned int count = static_cast<unsigned int>(ids.size());
            const unsigned int* list = ids.empty() ? nullptr : ids.data();
            const bool result = verb == "send"
                                    ? participant.SendIPMessage(count, list, code, param)
                                    : participant.PostIPMessage(count, list, code, param);
            SayLine((verb == "send" ? "sent " : "posted ") + std::to_string(result ? 1 : 0));
        } else if (verb == "uninit") {
            SayLine("uninitialising");
            participant.UninitializeParticipant();
            SayLine("uninitialised");
        } else if (verb == "exit") {
            break;
        }
    }
    participant.UninitializeParticipant();
    return 0;
}

// args: channel name. Two members of the channel in this one process; prints "ids <a> <b>" once
// both have joined, then waits for the end of its input (it is meant to be killed).
KX_CHILD_ROLE(KxParticipantPair) {
    if (args.size() != 1) return 2;
    CKxRecordingParticipant first(args[0].c_str());
    CKxRecordingParticipant second(args[0].c_str());
    first.InitializeParticipant();
    second.InitializeParticipant();
    char line[64];
    std::snprintf(line, sizeof(line), "ids %08X %08X", first.GetParticipantID(),
                  second.GetParticipantID());
    SayLine(line);
    for (std::string ignored; KxReadLine(&ignored);) {
    }
    second.UninitializeParticipant();
    first.UninitializeParticipant();
    return 0;
}

std::unique_ptr<CKxMemberProcess> CKxMemberProcess::Start(const std::string& channel,
                                                          const std::vector<std::string>& options) {
    std::vector<std::string> args{channel};
    args.insert(args.end(), options.begin(), options.end());
    std::unique_ptr<CKxChildProcess> child = CKxChildProcess::Role("KxParticipantMember", args);
    std::string line;
    if (!child || !child->WaitForLine("id ", kKxStartTimeoutMs, &line)) return nullptr;
    std::unique_ptr<CKxMemberProcess> member(new CKxMemberProcess(std::move(child)));
    member->m_id = static_cast<unsigned int>(std::stoul(line.substr(3), nullptr, 16));
    return member;
}

CKxMemberProcess::CKxMemberProcess(std::unique_ptr<CKxChildProcess> child)
    : m_child(std::move(child)), m_id(0) {}

std::vector<std::string> CKxMemberProcess::Lines() {
    std::vector<std::string> lines;
    std::istringstream output(m_child->Output());
    for (std::string line; std::getline(output, line);) lines.push_back(line);
    return lines;
}

int CKxMemberProcess::LineIndex(const std::string& prefix) {
    const std::vector<std::string> lines = Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    }
    return -1;
}

size_t CKxMemberProcess::CountLines(const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : Lines()) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

bool CKxMemberProcess::Saw(const std::string& prefix, size_t times) {
    const ULONGLONG deadline = GetTickCount64() + kKxHangBoundMs;
    // The harness's line wait consumes what it passes over; this one only looks, so lines may be
    // awaited in any order.
    while (CountLines(prefix) < times) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
    return true;
}

int CKxMemberProcess::Transmit(const char* verb, const char* answer, unsigned int code,
                               unsigned long long param, const std::vector<unsigned int>& ids) {
    std::ostringstream command;
    command << verb << ' ' << std::hex << code << ' ' << std::dec << param << std::hex;
    for (unsigned int id : ids) command << ' ' << id;
    m_child->WriteLine(command.str());
    std::string line;
    if (!m_child->WaitForLine(answer, kKxHangBoundMs, &line)) return -1;
    return line == std::string(answer) + "1" ? 1 : 0;
}

int CKxMemberProcess::Send(unsigned int code, unsigned long long param,
                           const std::vector<unsigned int>& ids) {
    return Transmit("send", "sent ", code, param, ids);
}

int CKxMemberProcess::Post(unsigned int code, unsigned long long param,
                           const std::vector<unsigned int>& ids) {
    return Transmit("post", "posted ", code, param, ids);
}

void CKxMemberProcess::BeginUninitialize() { m_child->WriteLine("uninit"); }
