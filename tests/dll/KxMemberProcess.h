// A member of a channel in a child process of its own, driven and observed through its pipes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "KxParticipantTestSupport.h"
#include "KxTestHarness.h"

// The child runs a CKxRecordingParticipant and prints each handler call as one line (the Kx...Line
// formats of KxParticipantTestSupport.h, sync and recv followed by the parameter) before the
// handler does anything else; it reads commands from its stdin on its main thread.
class CKxMemberProcess {
public:
    // Starts a member of channel and waits until its InitializeParticipant has returned. Options:
    //   "hold-sync=<event>"  OnSyncMessage, once reported, waits for that named event
    //   "hold-quit=<event>"  OnQuit likewise
    //   "ping"  OnReceive of kKxKickCode sends kKxPingCode synchronously to the member its param
    //           names, and reports the result
    //   "pong"  OnSyncMessage of kKxPingCode sends kKxPongCode synchronously back to its sender,
    //           and reports the result
    // Null when the child did not report its identifier within kKxStartTimeoutMs.
    static std::unique_ptr<CKxMemberProcess> Start(const std::string& channel,
                                                   const std::vector<std::string>& options = {});

    unsigned int Id() const { return m_id; }

    // True once `times` lines starting with prefix have been printed, at any time before or during
    // the call; false when kKxHangBoundMs pass first.
    bool Saw(const std::string& prefix, size_t times = 1);
    // Lines printed so far that start with prefix.
    size_t CountLines(const std::string& prefix);
    // Position of the first line starting with prefix among the lines printed so far; -1: none.
    int LineIndex(const std::string& prefix);
    std::string Output() { return m_child->Output(); }

    // SendIPMessage / PostIPMessage in the member; empty ids stand for a null list. 1 or 0 as the
    // call returned, -1 when the member did not answer within kKxHangBoundMs.
    int Send(unsigned int code, unsigned long long param,
             const std::vector<unsigned int>& ids = {});
    int Post(unsigned int code, unsigned long long param,
             const std::vector<unsigned int>& ids = {});
    // Has the member print "uninitialising", call UninitializeParticipant and print
    // "uninitialised" once it has returned; does not wait.
    void BeginUninitialize();
    // TerminateProcess: the member's process dies without leaving the channel.
    void Kill() { m_child->Kill(); }

private:
    explicit CKxMemberProcess(std::unique_ptr<CKxChildProcess> child);
    int Transmit(const char* verb, const char* answer, unsigned int code, unsigned long long param,
                 const std::vector<unsigned int>& ids);
    std::vector<std::string> Lines();

    std::unique_ptr<CKxChildProcess> m_child;
    unsigned int m_id;
};
