// A channel member in a child process of the reliability tests, driven line by line from the test,
// and the test's reading of the channel's raw segments.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CKxEvent.h"
#include "KxTestHarness.h"

// Message codes the child's handlers treat specially; every other code is just recorded.
const unsigned int kKxPlainCode = 1;
// OnSyncMessage waits until the test sends "release" (the sender stays waiting meanwhile).
const unsigned int kKxHoldCode = 2;
// OnSyncMessage waits like kKxHoldCode, then throws: the participant's waiting thread leaves.
const unsigned int kKxThrowCode = 3;
// OnSyncMessage sends a synchronous kKxPlainCode message to the member whose id is the parameter
// (a send nested in a handler, on the waiting thread).
const unsigned int kKxNestedCode = 4;

// Places in the child's own handlers that a test can arm like the library's kill points.
extern const char kKxOnSyncMessagePoint[];  // in OnSyncMessage, before the handler's work
extern const char kKxOwnOnJoinPoint[];      // in OnJoin for a member present at the own join

// The test's side of one member process (role "ReliabilityMember"). Lines the child prints:
//   joined <id> | armed <point> | join <id> <later 0/1> | quit <id> | sync <sender> <code> <param>
//   recv <sender> <code> <param> | sent <param> <result 0/1> | posted <param> <result 0/1>
//   nested <result 0/1> | left
// Parameters are chosen unique within a test, so each line is told apart by them.
class CKxReliabilityMember {
public:
    // Starts the process on channel; nothing is joined yet. The process is killed at destruction.
    explicit CKxReliabilityMember(const std::string& channel);

    // Joins and returns the participant identifier; 0 when "joined" did not come.
    std::uint32_t Join();
    // Starts a join without waiting for it (the member may be stopped inside it).
    void StartJoin();
    std::uint32_t Id() const { return m_id; }

    // Arms a kill point in the child; true once the child confirmed it.
    bool Arm(const std::string& point);
    // Waits (up to 25 000 ms) until the child has reached its armed point and stopped there.
    bool WaitStopped();
    // TerminateProcess: the member dies wherever it is.
    void Kill();

    // Synchronous send on a thread of its own in the child; "sent <param> <result>" follows.
    // Empty ids: every other member.
    void Send(unsigned int code, unsigned long long param, const std::vector<std::uint32_t>& ids);
    // Posts and waits for the child's "posted" line; true when the post returned true.
    bool Post(unsigned int code, unsigned long long param, const std::vector<std::uint32_t>& ids);
    void Command(const std::string& line);

    // True once the child printed exactly this line (anywhere in its output), within timeoutMs.
    bool Saw(const std::string& line, unsigned long timeoutMs = 25000);
    std::string Output() { return m_process->Output(); }

private:
    std::string m_readyName;
    CKxEvent m_ready;
    std::unique_ptr<CKxChildProcess> m_process;
    std::uint32_t m_id = 0;
};

// R and W of channel's queue, read from the raw segment (which this call keeps open only while it
// reads). False when the segment cannot be opened.
bool KxReadQueuePositions(const std::string& channel, std::uint32_t* read, std::uint32_t* write);
// Records in channel's queue from R to W; -1 when the ring is inconsistent or not there.
int KxCountQueuedRecords(const std::string& channel);
// The member list of channel as the raw segment holds it.
std::vector<std::uint32_t> KxReadMembers(const std::string& channel);
