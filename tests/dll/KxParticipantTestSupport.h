// Limits, event lines and small helpers shared by the tests of the participant through kxipc.dll.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "KxWindows.h"

// Generous: a child process under a cold Wine prefix can take seconds to start.
const DWORD kKxStartTimeoutMs = 60000;
// Shorter than the library's 25 000 ms waits and far longer than any healthy exchange: an
// operation that should end at once but falls into one of those waits misses it, nothing else.
const DWORD kKxHangBoundMs = 20000;
// The longest a member holds a handler for the test; past it the member lets go by itself, so a
// failed test leaves no process behind for long.
const DWORD kKxHoldLimitMs = 90000;

// Message codes the member processes act on (KxMemberProcess.h); any other code is only recorded.
const unsigned int kKxKickCode = 0x00005201;  // posted to a "ping" member; param: whom to ping
const unsigned int kKxPingCode = 0x00005202;  // sent synchronously by a "ping" member
const unsigned int kKxPongCode = 0x00005203;  // sent back by a "pong" member from OnSyncMessage
const unsigned int kKxMarkerCode = 0x00001001;

// The lines in which member processes report their handler calls. Identifiers and codes are
// fixed-width hexadecimal, so a line of one identifier is never the prefix of another's.
std::string KxJoinLine(unsigned int id, bool joinedLater);       // "join <id> <0|1>"
std::string KxQuitLine(unsigned int id);                         // "quit <id>"
std::string KxSyncLine(unsigned int sender, unsigned int code);  // "sync <sender> <code>", param
std::string KxRecvLine(unsigned int sender, unsigned int code);  // "recv <sender> <code>", param
// "handler-sent <code> <0|1>": a send a member made inside a handler, with its result.
std::string KxHandlerSentLine(unsigned int code, bool result);

// Runs action on a thread of its own and waits for it at most boundMs; true when it ended in that
// time. Returns only after the action has ended, whatever it took. What the action throws goes to
// *thrown when given, else is thrown again here.
bool KxRunsWithin(DWORD boundMs, const std::function<void()>& action,
                  std::exception_ptr* thrown = nullptr);

struct KxHandleCloser {
    void operator()(HANDLE handle) const {
        if (handle) CloseHandle(handle);
    }
};
using KxHandle = std::unique_ptr<void, KxHandleCloser>;

// A named auto-reset event, not signalled, with which a test releases a member holding a handler.
KxHandle KxCreateReleaseEvent(const std::string& name);
