// Clock, summary statistics and target lines of the benchmark programs.
#include "KxBenchStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "KxWindows.h"

double KxNowMicroseconds() {
    static const double ticksPerMicrosecond = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1e6;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMicrosecond;
}

KxLatencySummary KxSummarize(std::vector<double> samples) {
    KxLatencySummary summary;
    if (samples.empty()) return summary;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    summary.samples = static_cast<unsigned int>(n);
    summary.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
    summary.p99 = samples[std::max<size_t>(rank, 1) - 1];
    summary.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(n);
    summary.min = samples.front();
    summary.max = samples.back();
    return summary;
}

std::string KxBenchTarget::Text() const {
    if (kind == kNone) return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "%s %g", kind == kAtMost ? "<=" : ">=", limit);
    return text;
}

const char* KxBenchTarget::Verdict(double value) const {
    if (kind == kNone) return "";
    return (kind == kAtMost ? value <= limit : value >= limit) ? "met" : "MISSED";
}

void KxPrintFigure(const std::string& what, double value, const KxBenchTarget& target) {
    // bench.sh's awk prints the same columns for the request counts.
    std::printf("figure  %-72s %9.2f  %-8s %s\n", what.c_str(), value, target.Text().c_str(),
                target.Verdict(value));
}

void KxServerTraceMark(const std::string& label) {
    const std::string name = "kxbench-mark " + label;
    if (HANDLE found = OpenEventA(SYNCHRONIZE, FALSE /*bInheritHandle*/, name.c_str())) {
        CloseHandle(found);
    }
}
