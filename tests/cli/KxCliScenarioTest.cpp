// Runs the kxipc.exe peer scenarios of KxCliScenarios.txt (the table's head explains its steps):
// one test case per scenario, each on a channel of its own.
#include <gtest/gtest.h>

#include <fstream>

#include "KxCliPeer.h"

namespace {

struct KxCliScenarioSteps {
    std::string name;
    std::vector<std::string> steps;
};

std::vector<KxCliScenarioSteps> LoadScenarios() {
    std::vector<KxCliScenarioSteps> scenarios;
    std::ifstream table(KxBinaryDir() + "KxCliScenarios.txt");
    for (std::string line; std::getline(table, line);) {
        line.erase(line.find_last_not_of(" \r") + 1);
        if (line.rfind("== ", 0) == 0) scenarios.push_back({line.substr(3), {}});
        if (!line.empty() && line[0] != '#' && line[0] != '=' && !scenarios.empty()) {
            scenarios.back().steps.push_back(line);
        }
    }
    return scenarios;
}

// Names the scenario in the test's listing (instead of its bytes).
void PrintTo(const KxCliScenarioSteps& scenario, std::ostream* out) { *out << scenario.name; }

class KxCliScenarioTest : public testing::TestWithParam<KxCliScenarioSteps> {};

TEST_P(KxCliScenarioTest, Run) {
    EXPECT_TRUE(!GetParam().steps.empty() && CKxCliScenario().Run(GetParam().steps));
}

INSTANTIATE_TEST_SUITE_P(Table, KxCliScenarioTest, testing::ValuesIn(LoadScenarios()),
                         [](const testing::TestParamInfo<KxCliScenarioSteps>& info) {
                             return info.param.name;
                         });

}  // namespace
