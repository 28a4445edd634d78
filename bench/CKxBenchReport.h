// The benchmark's results: rows per round, their spread over the rounds, the ratios and their
// targets, printed as a table and written as JSON.
#pragma once

#include <string>
#include <vector>

#include "KxBenchStats.h"

// Each round measures every line once; a line is named by its identifier ("1", "6b", ...), unique
// within a round. Latencies are in microseconds; throughputs in messages (or round trips) per
// second. A round's ratio compares that round's own medians (or rates), so that a slow moment of
// the machine weighs on both sides; the table gives each line's and each ratio's median over the
// rounds with the smallest and largest round. One thread.
class CKxBenchReport {
public:
    // Starts the next round; rows added from now on belong to it.
    void BeginRound();
    void AddLatency(const std::string& line, const std::string& what, const KxLatencySummary& l);
    void AddThroughput(const std::string& line, const std::string& what, double perSecond,
                       const std::string& note);
    // A ratio of two lines' medians (or rates): numerator over denominator, within each round.
    void AddRatio(const std::string& name, const std::string& numerator,
                  const std::string& denominator, const std::string& meaning,
                  const KxBenchTarget& target = KxBenchTarget());

    // The lines and ratios over the rounds, then one figure line (KxPrintFigure) per ratio.
    void PrintTable() const;
    // Every round's rows and ratios, and the summary over the rounds. False when the file cannot
    // be written.
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
        KxBenchTarget target;
    };
    typedef std::vector<Row> Round;

    static const Row* Find(const Round& round, const std::string& line);
    static double Value(const Row& row);
    // The ratio in one round; 0 when a line is missing or its denominator is 0.
    static double RatioValue(const Round& round, const Ratio& ratio);
    // One value per round (rounds without the line are left out).
    std::vector<double> LineOverRounds(const std::string& line, bool p99) const;
    std::vector<double> RatioOverRounds(const Ratio& ratio) const;

    std::vector<Round> m_rounds;
    std::vector<Ratio> m_ratios;
};
