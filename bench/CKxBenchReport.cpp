// Table and JSON output of the benchmark's results.
#include "CKxBenchReport.h"

#include <cstdio>

namespace {

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

void CKxBenchReport::AddLatency(const std::string& line, const std::string& what,
                                const KxLatencySummary& l) {
    m_rows.push_back({line, what, true, l, 0, ""});
}

void CKxBenchReport::AddThroughput(const std::string& line, const std::string& what,
                                   double perSecond, const std::string& note) {
    m_rows.push_back({line, what, false, KxLatencySummary(), perSecond, note});
}

void CKxBenchReport::AddRatio(const std::string& name, const std::string& numerator,
                              const std::string& denominator, const std::string& meaning) {
    m_ratios.push_back({name, numerator, denominator, meaning});
}

const CKxBenchReport::Row* CKxBenchReport::Find(const std::string& line) const {
    for (const Row& row : m_rows) {
        if (row.line == line) return &row;
    }
    return nullptr;
}

double CKxBenchReport::Value(const Row& row) const {
    return row.latency ? row.summary.median : row.perSecond;
}

double CKxBenchReport::RatioValue(const Ratio& ratio) const {
    const Row* numerator = Find(ratio.numerator);
    const Row* denominator = Find(ratio.denominator);
    if (!numerator || !denominator || Value(*denominator) == 0) return 0;
    return Value(*numerator) / Value(*denominator);
}

void CKxBenchReport::PrintTable() const {
    std::printf("%-5s %-58s %12s %12s %8s\n", "line", "measurement", "median us", "p99 us", "n");
    for (const Row& row : m_rows) {
        if (row.latency) {
            std::printf("%-5s %-58s %12.1f %12.1f %8u\n", row.line.c_str(), row.what.c_str(),
                        row.summary.median, row.summary.p99, row.summary.samples);
        } else {
            std::printf("%-5s %-58s %12.0f/s %s\n", row.line.c_str(), row.what.c_str(),
                        row.perSecond, row.note.c_str());
        }
    }
    std::printf("\n");
    for (const Ratio& ratio : m_ratios) {
        std::printf("ratio %-8s %7.2f   %s\n", ratio.name.c_str(), RatioValue(ratio),
                    ratio.meaning.c_str());
    }
    std::fflush(stdout);
}

bool CKxBenchReport::WriteJson(const std::string& path) const {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    std::fprintf(file, "{\n  \"lines\": [\n");
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const Row& row = m_rows[i];
        std::fprintf(file, "    {\"line\": %s, \"what\": %s, ", JsonString(row.line).c_str(),
                     JsonString(row.what).c_str());
        if (row.latency) {
            std::fprintf(file,
                         "\"median_us\": %.2f, \"p99_us\": %.2f, \"mean_us\": %.2f, "
                         "\"samples\": %u}",
                         row.summary.median, row.summary.p99, row.summary.mean,
                         row.summary.samples);
        } else {
            std::fprintf(file, "\"per_second\": %.1f, \"note\": %s}", row.perSecond,
                         JsonString(row.note).c_str());
        }
        std::fprintf(file, "%s\n", i + 1 < m_rows.size() ? "," : "");
    }
    std::fprintf(file, "  ],\n  \"ratios\": [\n");
    for (size_t i = 0; i < m_ratios.size(); ++i) {
        const Ratio& ratio = m_ratios[i];
        std::fprintf(file, "    {\"name\": %s, \"value\": %.3f, \"meaning\": %s}%s\n",
                     JsonString(ratio.name).c_str(), RatioValue(ratio),
                     JsonString(ratio.meaning).c_str(), i + 1 < m_ratios.size() ? "," : "");
    }
    std::fprintf(file, "  ]\n}\n");
    return std::fclose(file) == 0;
}
