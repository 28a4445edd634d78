// Clock, summary statistics and target lines of the benchmark programs.
#include "KxBenchStats.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>

double KxNowMicroseconds() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
