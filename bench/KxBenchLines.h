// The benchmark runs of the coordinating process: the measured lines and the traced workload.
#pragma once

#include <string>
#include <vector>

// run JSON_PATH [--quick] [--rounds N]: N rounds (default 3, at most 100), each measuring every
// line once, baselines first; prints the lines and ratios over the rounds, a figure line for each
// ratio with a target, and writes the JSON file with every round. --quick takes few samples (a
// smoke run). Returns the process exit code (2 for bad arguments).
int KxRunBenchmarks(const std::vector<std::string>& args);

// trace COUNT: a fixed workload between trace marks, for counting server requests: COUNT
// synchronous sends from an application thread to one member of another process, COUNT posts
// each handled before the next (paced), and COUNT posts in a burst. Marks, in order: sender,
// sync-begin, sync-sent, sync-end, post-begin, post-sent, post-end, burst-begin, burst-sent,
// burst-end; the receiving process marks "receiver" first.
int KxRunTraceWorkload(const std::vector<std::string>& args);
