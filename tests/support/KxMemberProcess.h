// A channel member in a child process of its own (role "KxMember"), driven through commands on its
// stdin and observed through the lines its handlers print. It uses only the public participant
// interface, so it serves the tests linked with kxipc.dll and those linked with the kill-point
// build of the library's objects alike.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "KxTestHarness.h"

// Far longer than any healthy join or send and shorter than the library's 25 000 ms waits: an
// operation that took longer fell into one of those waits.
const KxTimeout kKxPromptMs = 20000;
// The longest a member holds a handler; past it the member lets go by itself.
const KxTimeout kKxHoldLimitMs = 90000;

// Codes the member's handlers act on; any other code is only reported.
const unsigned int kKxPlainCode = 1;
// OnSyncMessage waits until the test calls Release() (the sender stays waiting meanwhile).
const unsigned int kKxHoldCode = 2;
// Held like kKxHoldCode, then OnSyncMessage throws: the participant's waiting thread leaves.
const unsigned int kKxThrowCode = 3;
// OnSyncMessage sends kKxPlainCode synchronously to the member its param names, with that param.
const unsigned int kKxNestedCode = 4;
// OnReceive sends kKxPlainCode synchronously to its own member, with the same param.
const unsigned int kKxSelfCode = 6;

// Places in the member's handlers that a kill-point build can arm like the library's own.
extern const char kKxOnSyncMessagePoint[];  // in OnSyncMessage, before the handler's work
extern const char kKxOwnOnJoinPoint[];      // in OnJoin for a member present at the own join

// The test seams of a kill-point build (KxKillPoint.h), installed by such a build at static
// initialisation so that the child processes have them too; without them "arm" and "pause" are
// ignored and the handlers' points cost nothing. The events the points signal and wait on exist
// only in a kill-point build (which links the kernel's objects): elsewhere WaitStopped is false.
struct KxMemberSeams {
    bool (*arm)(const char* point, const char* readyEvent);
    bool (*pause)(const char* point, const char* readyEvent, const char* resumeEvent);
    void (*reach)(const char* point);
};
void KxSetMemberSeams(const KxMemberSeams& seams);

// "kind w1 w2 ...", the form of every line a member prints (numbers in decimal):
//   ready | joined <id> <ms> | join <id> <later> | quit <id> | sync|recv <sender> <code> <param>
//   sent|posted <param> <result> <ms> | handler-sent <code> <result> <ms> | leaving | left
//   armed <point>
// where <ms> is how long the call (InitializeParticipant, SendIPMessage, PostIPMessage) took.
std::string KxLine(const std::string& kind, std::initializer_list<unsigned long long> words);

class CKxMemberProcess {
public:
    // Starts the process; it joins on Join/StartJoin. The process is killed at destruction.
    explicit CKxMemberProcess(const std::string& channel);
    ~CKxMemberProcess();
    // A started and joined member (Id() 0, and a test failure, when the join did not complete).
    static std::unique_ptr<CKxMemberProcess> Joined(const std::string& channel);

    // Joins and returns the identifier; 0 when InitializeParticipant did not return within
    // timeoutMs.
    unsigned int Join(KxTimeout timeoutMs = kKxDeadlineMs);
    // Starts a join without waiting for it (the member may be stopped inside it).
    void StartJoin() { m_process->WriteLine("join"); }
    unsigned int Id() const { return m_id; }
    KxProcessId ProcessId() const { return m_process->ProcessId(); }

    // Arms a kill point (Arm) or a pause point (Pause) in the member; true once it confirmed.
    // WaitStopped: true once a thread of the member has reached it (within kKxDeadlineMs). Resume
    // lets the thread stopped at a pause point go on.
    bool Arm(const std::string& point);
    bool Pause(const std::string& point);
    bool WaitStopped();
    void Resume();
    // The member dies wherever it is (TerminateProcess, SIGKILL).
    void Kill() { m_process->Kill(); }
    // Lets one held handler go on (a line the member reads on a thread of its own, so that it
    // arrives while the main thread is inside a join or a leave).
    void Release() { m_process->WriteLine("release"); }

    // SendIPMessage on a thread of its own in the member: "sent <param> <result>" follows.
    // No ids: a null list.
    void Send(unsigned int code, unsigned long long param,
              const std::vector<unsigned int>& ids = {}) {
        Transmit("send", code, param, ids);
    }
    // Send, then its result: 1 or 0, -1 when it did not return within kKxPromptMs.
    int SendWait(unsigned int code, unsigned long long param,
                 const std::vector<unsigned int>& ids = {});
    // PostIPMessage on the member's main thread; true when it returned true.
    bool Post(unsigned int code, unsigned long long param,
              const std::vector<unsigned int>& ids = {});
    // UninitializeParticipant on the main thread between the lines "leaving" and "left".
    void Leave() { m_process->WriteLine("leave"); }

    // A line matches `line` when it is that line or continues it with a space.
    // True once `times` lines have matched, within timeoutMs.
    bool Saw(const std::string& line, size_t times = 1, KxTimeout timeoutMs = kKxDeadlineMs);
    size_t Count(const std::string& line);
    // The <ms> of the first line that matches `line`; 0 when none has.
    unsigned long long Took(const std::string& line);
    // True when every one of lines has matched, the first matches in this order.
    bool InOrder(const std::vector<std::string>& lines);
    std::string Output() { return m_process->Output(); }

private:
    void Transmit(const char* verb, unsigned int code, unsigned long long param,
                  const std::vector<unsigned int>& ids);

    // The kill and pause points' events (KxMemberProcess.cpp; null without kill points).
    struct PointEvents;

    std::string m_readyName, m_resumeName;
    std::unique_ptr<PointEvents> m_events;
    std::unique_ptr<CKxChildProcess> m_process;
    unsigned int m_id = 0;
};
