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

// "[a, b, c]" with three decimals.
std::string JsonNumbers(const std::vector<double>& values) {
    std::string text = "[";
    char number[32];
    for (size_t i = 0; i < values.size(); ++i) {
        std::snprintf(number, sizeof(number), "%s%.3f", i ? ", " : "", values[i]);
        text += number;
    }
    return text + "]";
}

}  // namespace

void CKxBenchReport::BeginRound() { m_rounds.emplace_back(); }

void CKxBenchReport::AddLatency(const std::string& line, const std::string& what,
                                const KxLatencySummary& l) {
    if (m_rounds.empty()) BeginRound();
    m_rounds.back().push_back({line, what, true, l, 0, ""});
}

void CKxBenchReport::AddThroughput(const std::string& line, const std::string& what,
                                   double perSecond, const std::string& note) {
    if (m_rounds.empty()) BeginRound();
    m_rounds.back().push_back({line, what, false, KxLatencySummary(), perSecond, note});
}

void CKxBenchReport::AddRatio(const std::string& name, const std::string& numerator,
                              const std::string& denominator, const std::string& meaning,
                              const KxBenchTarget& target) {
    m_ratios.push_back({name, numerator, denominator, meaning, target});
}

const CKxBenchReport::Row* CKxBenchReport::Find(const Round& round, const std::string& line) {
    for (const Row& row : round) {
        if (row.line == line) return &row;
    }
    return nullptr;
}

double CKxBenchReport::Value(const Row& row) {
    return row.latency ? row.summary.median : row.perSecond;
}

double CKxBenchReport::RatioValue(const Round& round, const Ratio& ratio) {
    const Row* numerator = Find(round, ratio.numerator);
    const Row* denominator = Find(round, ratio.denominator);
    if (!numerator || !denominator || Value(*denominator) == 0) return 0;
    return Value(*numerator) / Value(*denominator);
}

std::vector<double> CKxBenchReport::LineOverRounds(const std::string& line, bool p99) const {
    std::vector<double> values;
    for (const Round& round : m_rounds) {
        if (const Row* row = Find(round, line))
            values.push_back(p99 ? row->summary.p99 : Value(*row));
    }
    return values;
}

std::vector<double> CKxBenchReport::RatioOverRounds(const Ratio& ratio) const {
    std::vector<double> values;
    for (const Round& round : m_rounds) values.push_back(RatioValue(round, ratio));
    return values;
}

void CKxBenchReport::PrintTable() const {
    if (m_rounds.empty()) return;
    const size_t rounds = m_rounds.size();
    std::printf(
        "median, min and max over %zu round%s of each round's median (rate for /s);\n"
        "p99: median over the rounds of each round's 99th percentile\n",
        rounds, rounds == 1 ? "" : "s");
    std::printf("%-5s %-54s %10s %10s %10s %10s %6s\n", "line", "measurement", "median", "min",
                "max", "p99", "n");
    for (const Row& row : m_rounds.front()) {
        const KxLatencySummary spread = KxSummarize(LineOverRounds(row.line, false));
        if (row.latency) {
            std::printf("%-5s %-54s %10.1f %10.1f %10.1f %10.1f %6u\n", row.line.c_str(),
                        row.what.c_str(), spread.median, spread.min, spread.max,
                        KxSummarize(LineOverRounds(row.line, true)).median, row.summary.samples);
        } else {
            std::printf("%-5s %-54s %8.0f/s %8.0f/s %8.0f/s   %s\n", row.line.c_str(),
                        row.what.c_str(), spread.median, spread.min, spread.max, row.note.c_str());
        }
    }
    std::printf("\n%-6s %7s %7s %7s  %-30s %s\n", "ratio", "median", "min", "max", "per round",
                "meaning");
    for (const Ratio& ratio : m_ratios) {
        const std::vector<double> values = RatioOverRounds(ratio);
        const KxLatencySummary spread = KxSummarize(values);
        std::string perRound;
        char number[16];
        for (double value : values) {
            std::snprintf(number, sizeof(number), "%s%.2f", perRound.empty() ? "" : " ", value);
            perRound += number;
        }
        std::printf("%-6s %7.2f %7.2f %7.2f  %-30s %s\n", ratio.name.c_str(), spread.median,
                    spread.min, spread.max, perRound.c_str(), ratio.meaning.c_str());
    }
    std::printf("\n");
    for (const Ratio& ratio : m_ratios) {
        if (ratio.target.kind == KxBenchTarget::kNone) continue;
        const KxLatencySummary spread = KxSummarize(RatioOverRounds(ratio));
        KxPrintFigure(
            "ratio " + ratio.name + " (" + ratio.meaning + "), median of " + std::to_string(rounds),
            spread.median, ratio.target);
    }
    std::fflush(stdout);
}

bool CKxBenchReport::WriteJson(const std::string& path) const {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    std::fprintf(file, "{\n  \"rounds\": [\n");
    for (size_t r = 0; r < m_rounds.size(); ++r) {
        const Round& round = m_rounds[r];
        std::fprintf(file, "    {\"lines\": [\n");
        for (size_t i = 0; i < round.size(); ++i) {
            const Row& row = round[i];
            std::fprintf(file, "      {\"line\": %s, \"what\": %s, ", JsonString(row.line).c_str(),
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
            std::fprintf(file, "%s\n", i + 1 < round.size() ? "," : "");
        }
        std::fprintf(file, "    ], \"ratios\": {");
        for (size_t i = 0; i < m_ratios.size(); ++i) {
            std::fprintf(file, "%s%s: %.3f", i ? ", " : "", JsonString(m_ratios[i].name).c_str(),
                         RatioValue(round, m_ratios[i]));
        }
        std::fprintf(file, "}}%s\n", r + 1 < m_rounds.size() ? "," : "");
    }
    std::fprintf(file, "  ],\n  \"ratios\": [\n");
    for (size_t i = 0; i < m_ratios.size(); ++i) {
        const Ratio& ratio = m_ratios[i];
        const std::vector<double> values = RatioOverRounds(ratio);
        const KxLatencySummary spread = KxSummarize(values);
        std::fprintf(file,
                     "    {\"name\": %s, \"meaning\": %s, \"median\": %.3f, \"min\": %.3f, "
                     "\"max\": %.3f, \"per_round\": %s, \"target\": %s, \"verdict\": %s}%s\n",
                     JsonString(ratio.name).c_str(), JsonString(ratio.meaning).c_str(),
                     spread.median, spread.min, spread.max, JsonNumbers(values).c_str(),
                     JsonString(ratio.target.Text()).c_str(),
                     JsonString(ratio.target.Verdict(spread.median)).c_str(),
                     i + 1 < m_ratios.size() ? "," : "");
    }
    std::fprintf(file, "  ]\n}\n");
    return std::fclose(file) == 0;
}
