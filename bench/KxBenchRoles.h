// The library's peer role of the benchmark program, run in a process of its own (the baselines'
// peers are in KxBenchBaselines.h).
#pragma once

#include <string>
#include <vector>

// members CHANNEL COUNT: COUNT participants of CHANNEL in this process, then commands on stdin:
//   add N          N more participants            -> "ready TOTAL ID..." (also said at the start)
//   expect N       count OnReceive from 0 again   -> "ok"; then "done MICROSECONDS" when the Nth
//                  message arrives (time on the shared monotonic clock)
//   mark LABEL     one trace mark request         -> "ok"
// stdin closed or "quit": every participant leaves, and the process ends.
int KxRoleMembers(const std::vector<std::string>& args);

// The message code whose arrivals a members process counts for "expect"; other codes only pass.
const unsigned int kKxBenchCountedCode = 0x7001;
