// kxipc.exe processes driven by a test: one-shot commands, and peers of one channel driven through
// their line protocol by scenario steps.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KxTestHarness.h"

// Starts `kxipc ARGS...`. withErrors: with stderr joined to stdout in the pipe, to see the error
// lines too.
std::unique_ptr<CKxChildProcess> KxCliStart(const std::vector<std::string>& args,
                                            bool withErrors = false);

// Runs `kxipc ARGS...` to its end; its stdout (without '\r') in *output, the exit code returned
// (kKxStillActive when it did not end in time); withErrors as for KxCliStart.
KxExitCode KxCliRun(const std::vector<std::string>& args, std::string* output,
                    bool withErrors = false);

// Named kxipc peers of one channel and the identifiers their $names stand for, driven by steps
// (one a string; KxCliScenarios.txt explains them). Peers are killed at destruction.
class CKxCliScenario {
public:
    explicit CKxCliScenario(const std::string& channel = KxUniqueName("cli"))
        : m_channel(channel) {}

    // Runs the steps in order; false at the first that fails, which also fails the test, naming
    // the step and showing its peer's output.
    bool Run(const std::vector<std::string>& steps);
    const std::string& Channel() const { return m_channel; }
    // The text with each $X replaced by X's id.
    std::string Substitute(const std::string& text) const;
    // The peer a step started (null when none was).
    CKxChildProcess* Peer(const std::string& name);

private:
    bool Step(const std::string& step);
    void Start(const std::string& verb, const std::string& name, bool withErrors);
    bool Join(const std::string& name);
    bool Expect(std::string pattern);

    const std::string m_channel;
    std::map<std::string, std::vector<std::string>> m_args;
    std::map<std::string, std::unique_ptr<CKxChildProcess>> m_peers;
    std::vector<std::string> m_order;          // of the peers' joins
    std::map<std::string, std::string> m_ids;  // $name -> id
    CKxChildProcess* m_peer = nullptr;         // the peer of the running step
};
