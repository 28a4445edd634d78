// The peer roles of the benchmark program, each run in a process of its own.
#pragma once

#include <string>
#include <vector>

// events NAME_PING NAME_PONG COUNT: opens two auto-reset events and, COUNT times, waits for the
// first and sets the second. Marks itself "peer" for a server trace, then says "ready".
int KxRoleEventEcho(const std::vector<std::string>& args);

// pipe NAME COUNT: marks itself "peer" for a server trace, connects to a message-mode named pipe
// and echoes COUNT 16-byte messages.
int KxRolePipeEcho(const std::vector<std::string>& args);

// members CHANNEL COUNT: COUNT participants of CHANNEL in this process, then commands on stdin:
//   add N          N more participants            -> "ready TOTAL ID..." (also said at the start)
//   expect N       count OnReceive from 0 again   -> "ok"; then "done MICROSECONDS" when the Nth
//                  message arrives (time on the shared performance counter)
//   mark LABEL     one trace mark request         -> "ok"
// stdin closed or "quit": every participant leaves, and the process ends.
int KxRoleMembers(const std::vector<std::string>& args);

// The message code whose arrivals a members process counts for "expect"; other codes only pass.
const unsigned int kKxBenchCountedCode = 0x7001;
