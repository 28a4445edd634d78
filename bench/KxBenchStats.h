// Clock, summary statistics and target lines of the benchmark programs.
#pragma once

#include <string>
#include <vector>

// Microseconds on the machine-wide monotonic clock (the performance counter on Windows,
// CLOCK_MONOTONIC on POSIX): comparable between processes.
double KxNowMicroseconds();

struct KxLatencySummary {
    double median = 0;
    double p99 = 0;
    double mean = 0;
    double min = 0;
    double max = 0;
    unsigned int samples = 0;
};

// Median, 99th percentile (nearest rank), mean, smallest and largest; all 0 for no samples.
KxLatencySummary KxSummarize(std::vector<double> samples);

// What a figure must stay within: nothing, at most limit, or at least limit.
struct KxBenchTarget {
    enum Kind { kNone, kAtMost, kAtLeast };
    Kind kind = kNone;
    double limit = 0;

    static KxBenchTarget AtMost(double limit) { return {kAtMost, limit}; }
    static KxBenchTarget AtLeast(double limit) { return {kAtLeast, limit}; }
    // "<= 2.5", ">= 1.5", or "-" without a target.
    std::string Text() const;
    // "met" or "MISSED"; "" without a target.
    const char* Verdict(double value) const;
};

// Prints "figure  WHAT  VALUE  TARGET  VERDICT" on stdout: the one line format that every
// benchmark program uses for a figure a target is set for (or that is reported beside those), so
// that tools/bench.sh can gather them from the whole run.
void KxPrintFigure(const std::string& what, double value, const KxBenchTarget& target);
