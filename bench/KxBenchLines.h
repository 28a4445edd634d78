// The benchmark runs of the coordinating process: the measured lines and the traced workload.
#pragma once

#include <string>
#include <vector>

// run JSON_PATH [--quick] [--rounds N]: N rounds (default 3, at most 100), each measuring every
// line once, baselines first; prints the lines and ratios over the rounds, a figure line for each
// ratio with a target, and writes the JSON file with every round. --quick takes few samples (a
// smoke run). Returns the process exit code (2 for bad arguments).
int KxRunBenchmarks(const std::vector<std::string>& args);

// trace COUNT: a fixed workload between trace marks, for counting server requests. This process
// marks "caller" first, each peer process "peer". Phases, each between LABEL-begin, LABEL-sent
// (end of this process's requests) and LABEL-end (end of the peers'): events and pipe (COUNT
// round trips of the baselines of lines 1 and 2), sync (COUNT synchronous sends to one member of
// another process from an application thread), handler (the same from inside OnReceive), post
// (COUNT posts, each handled before the next), burst (COUNT posts back to back), then in a channel
// whose members all live in two other processes join0, fan1, join8, fan8, join49, fan49 (5 joins
// with that many members present; COUNT synchronous sends to all of that many others). After each
// phase one line "phase LABEL OPERATIONS CALLER PEERS TITLE" on stdout says how many operations it
// made and what its sides are called.
int KxRunTraceWorkload(const std::vector<std::string>& args);
