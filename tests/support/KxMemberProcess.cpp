// Member processes: the child role that runs a participant, and the test's handle on it.
#include "KxMemberProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

#include "kxipc.h"

#if defined(KXIPC_KILL_POINTS)
#include "CKxEvent.h"

struct CKxMemberProcess::PointEvents {
    PointEvents(const std::string& readyName, const std::string& resumeName)
        : ready(readyName, false /*manualReset*/), resume(resumeName, false /*manualReset*/) {}
    CKxEvent ready, resume;
};
bool CKxMemberProcess::WaitStopped() { return m_events->ready.Wait(kKxDeadlineMs); }
void CKxMemberProcess::Resume() { m_events->resume.Set(); }
#else
struct CKxMemberProcess::PointEvents {
    PointEvents(const std::string&, const std::string&) {}
};
bool CKxMemberProcess::WaitStopped() { return false; }
void CKxMemberProcess::Resume() {}
#endif

const char kKxOnSyncMessagePoint[] = "test.on-sync-message";
const char kKxOwnOnJoinPoint[] = "test.on-join.own";

namespace {

KxMemberSeams g_seams = {};

void Reach(const char* point) {
    if (g_seams.reach) g_seams.reach(point);
}

// Handlers print on the waiting thread while other threads answer commands; KxSay writes a line in
// two calls, so whole lines are serialised here.
void Say(const std::string& line) {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    KxSay("%s", line.c_str());
}

// The member's stdin, read on a thread of its own: "release" lines let held handlers go on at
// once, as an auto-reset event would (a release finds a waiting handler or is kept for the next,
// but never more than one is kept); every other line waits in order for the main thread.
class CKxMemberInput {
public:
    CKxMemberInput() : m_reader([this] { Read(); }) {}
    ~CKxMemberInput() { m_reader.join(); }

    // The next command; false at the end of input.
    bool Next(std::string* line) {
        std::unique_lock<std::mutex> hold(m_lock);
        m_changed.wait(hold, [&] { return !m_lines.empty() || m_ended; });
        if (m_lines.empty()) return false;
        *line = m_lines.front();
        m_lines.pop_front();
        return true;
    }
    // Waits up to limitMs for a release.
    void AwaitRelease(KxTimeout limitMs) {
        std::unique_lock<std::mutex> hold(m_lock);
        ++m_waiting;
        if (m_changed.wait_for(hold, std::chrono::milliseconds(limitMs),
                               [&] { return m_releases > 0; })) {
            --m_releases;
        }
        --m_waiting;
    }

private:
    void Read() {
        for (std::string line; KxReadLine(&line);) {
            std::lock_guard<std::mutex> hold(m_lock);
            if (line == "release") {
                m_releases = std::min(m_releases + 1, m_waiting + 1);
            } else {
                m_lines.push_back(line);
            }
            m_changed.notify_all();
        }
        std::lock_guard<std::mutex> hold(m_lock);
        m_ended = true;
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::string> m_lines;  // guarded by m_lock, as the three below
    int m_releases = 0, m_waiting = 0;
    bool m_ended = false;
    std::thread m_reader;
};

class CKxScriptedParticipant : public CkxIPCParticipant {
public:
    CKxScriptedParticipant(const char* channel, CKxMemberInput* input)
        : CkxIPCParticipant(channel), m_input(input) {}

protected:
    void OnJoin(unsigned int id, bool later) override {
        Say(KxLine("join", {id, later}));
        if (!later) Reach(kKxOwnOnJoinPoint);
    }
    void OnQuit(unsigned int id) override { Say(KxLine("quit", {id})); }
    void OnSyncMessage(unsigned int sender, unsigned int code, unsigned long long param) override {
        Say(KxLine("sync", {sender, code, param}));
        Reach(kKxOnSyncMessagePoint);
        if (code == kKxHoldCode || code == kKxThrowCode) m_input->AwaitRelease(kKxHoldLimitMs);
        if (code == kKxThrowCode) throw 1;
        if (code == kKxNestedCode) SendFromHandler(param, kKxPlainCode, param);
    }
    void OnReceive(unsigned int sender, unsigned int code, unsigned long long param) override {
        Say(KxLine("recv", {sender, code, param}));
        if (code == kKxSelfCode) SendFromHandler(GetParticipantID(), kKxPlainCode, param);
    }

private:
    void SendFromHandler(unsigned long long to, unsigned int code, unsigned long long param) {
        const unsigned int id = static_cast<unsigned int>(to);
        const unsigned long long start = KxNowMs();
        const bool result = SendIPMessage(1, &id, code, param);
        Say(KxLine("handler-sent", {code, result, KxNowMs() - start}));
    }

    CKxMemberInput* m_input;
};

}  // namespace

void KxSetMemberSeams(const KxMemberSeams& seams) { g_seams = seams; }

std::string KxLine(const std::string& kind, std::initializer_list<unsigned long long> words) {
    std::string line = kind;
    for (unsigned long long word : words) line += " " + std::to_string(word);
    return line;
}

// args: channel, ready event (kill and pause points), resume event (pause points). Commands:
//   join | arm|pause <point> | send|post <code> <param> [<id>...] | leave | release
// End of input: the member leaves; sends still waiting on their threads end with the process.
KX_CHILD_ROLE(KxMember) {
    if (args.size() < 3) return 2;
    CKxMemberInput input;
    CKxScriptedParticipant participant(args[0].c_str(), &input);
    Say("ready");
    for (std::string line; input.Next(&line);) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "arm" || verb == "pause") {
            std::string point;
            in >> point;
            const bool armed =
                verb == "arm" ? g_seams.arm && g_seams.arm(point.c_str(), args[1].c_str())
                              : g_seams.pause &&
                                    g_seams.pause(point.c_str(), args[1].c_str(), args[2].c_str());
            if (armed) Say("armed " + point);
        } else if (verb == "join") {
            const unsigned long long start = KxNowMs();
            participant.InitializeParticipant();
            Say(KxLine("joined", {participant.GetParticipantID(), KxNowMs() - start}));
        } else if (verb == "send" || verb == "post") {
            unsigned int code = 0;
            unsigned long long param = 0;
            in >> code >> param;
            std::vector<unsigned int> ids;
            for (unsigned int id; in >> id;) ids.push_back(id);
            const bool send = verb == "send";
            auto transmit = [&participant, send, code, param, ids] {
                const unsigned int count = static_cast<unsigned int>(ids.size());
                const unsigned int* list = ids.empty() ? nullptr : ids.data();
                const unsigned long long start = KxNowMs();
                const bool result = send ? participant.SendIPMessage(count, list, code, param)
                                         : participant.PostIPMessage(count, list, code, param);
                Say(KxLine(send ? "sent" : "posted", {param, result, KxNowMs() - start}));
            };
            send ? std::thread(transmit).detach() : transmit();  // a send may wait: on a thread
        } else if (verb == "leave") {
            Say("leaving");
            participant.UninitializeParticipant();
            Say("left");
        }
    }
    participant.UninitializeParticipant();
    std::fflush(stdout);
    std::_Exit(0);  // without the static destructors: sends may still wait on their threads
}

namespace {

std::string EventName(const char* kind) {
    static std::atomic<unsigned> next{0};
    return KxUniqueName(kind + std::to_string(++next));
}

// The output's whole lines, and the first of them that matches `line` (see Saw).
std::vector<std::string> Lines(const std::string& output) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(output.substr(start, end - start));
    }
    return lines;
}

bool Matches(const std::string& got, const std::string& line) {
    return got.compare(0, line.size(), line) == 0 &&
           (got.size() == line.size() || got[line.size()] == ' ');
}

std::vector<std::string>::const_iterator First(const std::vector<std::string>& lines,
                                               const std::string& line) {
    return std::find_if(lines.begin(), lines.end(),
                        [&](const std::string& got) { return Matches(got, line); });
}

size_t CountLines(const std::string& output, const std::string& line) {
    const std::vector<std::string> lines = Lines(output);
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& got) { return Matches(got, line); });
}

}  // namespace

CKxMemberProcess::CKxMemberProcess(const std::string& channel)
    : m_readyName(EventName("ready")),
      m_resumeName(EventName("resume")),
      m_events(new PointEvents(m_readyName, m_resumeName)) {
    m_process = CKxChildProcess::Role("KxMember", {channel, m_readyName, m_resumeName});
    EXPECT_TRUE(m_process->WaitForLine("ready", kKxDeadlineMs)) << "member did not start";
}

CKxMemberProcess::~CKxMemberProcess() = default;

std::unique_ptr<CKxMemberProcess> CKxMemberProcess::Joined(const std::string& channel) {
    std::unique_ptr<CKxMemberProcess> member(new CKxMemberProcess(channel));
    EXPECT_NE(0u, member->Join()) << member->Output();
    EXPECT_LT(member->Took("joined"), kKxPromptMs) << "the start sat out a wait of the library";
    return member;
}

unsigned int CKxMemberProcess::Join(KxTimeout timeoutMs) {
    StartJoin();
    std::string line;
    if (!m_process->WaitForLine("joined ", timeoutMs, &line)) return 0;
    m_id = static_cast<unsigned int>(std::stoul(line.substr(7)));
    return m_id;
}

bool CKxMemberProcess::Arm(const std::string& point) {
    m_process->WriteLine("arm " + point);
    return Saw("armed " + point);
}

bool CKxMemberProcess::Pause(const std::string& point) {
    m_process->WriteLine("pause " + point);
    return Saw("armed " + point);
}

void CKxMemberProcess::Transmit(const char* verb, unsigned int code, unsigned long long param,
                                const std::vector<unsigned int>& ids) {
    std::string command = KxLine(verb, {code, param});
    for (unsigned int id : ids) command += " " + std::to_string(id);
    m_process->WriteLine(command);
}

int CKxMemberProcess::SendWait(unsigned int code, unsigned long long param,
                               const std::vector<unsigned int>& ids) {
    Send(code, param, ids);
    if (!Saw(KxLine("sent", {param})) || Took(KxLine("sent", {param})) >= kKxPromptMs) return -1;
    return Count(KxLine("sent", {param, 1})) > 0 ? 1 : 0;
}

bool CKxMemberProcess::Post(unsigned int code, unsigned long long param,
                            const std::vector<unsigned int>& ids) {
    Transmit("post", code, param, ids);
    return Saw(KxLine("posted", {param})) && Count(KxLine("posted", {param, 1})) > 0;
}

bool CKxMemberProcess::Saw(const std::string& line, size_t times, KxTimeout timeoutMs) {
    return m_process->WaitForOutput(
        [&](const std::string& output) { return CountLines(output, line) >= times; }, timeoutMs);
}

size_t CKxMemberProcess::Count(const std::string& line) { return CountLines(Output(), line); }

unsigned long long CKxMemberProcess::Took(const std::string& line) {
    const std::vector<std::string> lines = Lines(Output());
    const auto found = First(lines, line);
    return found == lines.end() ? 0 : std::stoull(found->substr(found->rfind(' ') + 1));
}

bool CKxMemberProcess::InOrder(const std::vector<std::string>& wanted) {
    const std::vector<std::string> lines = Lines(Output());
    std::ptrdiff_t previous = -1;
    for (const std::string& line : wanted) {
        const std::ptrdiff_t index = First(lines, line) - lines.begin();
        if (index == static_cast<std::ptrdiff_t>(lines.size()) || index <= previous) return false;
        previous = index;
    }
    return true;
}
