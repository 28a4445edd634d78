// Clock and summary statistics of the benchmark samples.
#pragma once

#include <vector>

// Microseconds on the machine-wide performance counter: comparable between processes.
double KxNowMicroseconds();

struct KxLatencySummary {
    double median = 0;
    double p99 = 0;
    double mean = 0;
    unsigned int samples = 0;
};

// Median, 99th percentile (nearest rank) and mean; all 0 for no samples.
KxLatencySummary KxSummarize(std::vector<double> samples);

// Makes one recognisable wineserver request (an open of the event "kxbench-mark " + label, which
// does not exist) so that a WINEDEBUG=+server trace can be cut into the workload's phases. Costs
// one request on the calling thread; nothing else.
void KxServerTraceMark(const char* label);
