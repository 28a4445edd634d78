// The benchmark's results: one row per measured line, printed as a table and written as JSON.
#pragma once

#include <string>
#include <vector>

#include "KxBenchStats.h"

// Rows keep the order they were added in. Latencies are in microseconds; throughputs in
// messages (or round trips) per second.
class CKxBenchReport {
public:
    void AddLatency(const std::string& line, const std::string& what, const KxLatencySummary& l);
    void AddThroughput(const std::string& line, const std::string& what, double perSecond,
                       const std::string& note);
    // The ratio printed under the table: numerator's median (or rate) over denominator's.
    void AddRatio(const std::string& name, const std::string& numerator,
                  const std::string& denominator, const std::string& meaning);

    void PrintTable() const;
    // false when the file cannot be written.
    bool WriteJson(const std::string& path) const;

private:
    struct Row {
        std::string line;
        std::string what;
        bool latency;
        KxLatencySummary summary;
        double perSecond;
        std::string note;
    };
    struct Ratio {
        std::string name;
        std::string numerator;
        std::string denominator;
        std::string meaning;
    };
    const Row* Find(const std::string& line) const;
    double Value(const Row& row) const;
    double RatioValue(const Ratio& ratio) const;

    std::vector<Row> m_rows;
    std::vector<Ratio> m_ratios;
};
