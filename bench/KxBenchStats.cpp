// Clock and summary statistics of the benchmark samples.
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
    return summary;
}

void KxServerTraceMark(const char* label) {
    char name[128];
    _snprintf(name, sizeof(name), "kxbench-mark %s", label);
    name[sizeof(name) - 1] = '\0';
    if (HANDLE found = OpenEventA(SYNCHRONIZE, FALSE /*bInheritHandle*/, name)) CloseHandle(found);
}
