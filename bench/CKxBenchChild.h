// A benchmark peer: this program started again in another role, driven over its stdin and stdout.
#pragma once

#include <string>
#include <vector>

#include "KxChildProcess.h"

// Starts the running executable with the given arguments (throws std::runtime_error with the
// platform error when it cannot); the child's stderr is this process's own, so that a server trace
// of every process lands in one stream. One thread drives a child. The destructor closes the
// child's stdin (which ends every role) and waits for the child, killing it after 30 s.
class CKxBenchChild {
public:
    explicit CKxBenchChild(const std::vector<std::string>& args);
    ~CKxBenchChild();

    CKxBenchChild(const CKxBenchChild&) = delete;
    CKxBenchChild& operator=(const CKxBenchChild&) = delete;

    void WriteLine(const std::string& line);
    // Reads lines until one starts with prefix; throws std::runtime_error when stdout ends first
    // or no such line comes within two minutes.
    std::string Expect(const std::string& prefix);
    // Ends the child at once, as a crash would.
    void Kill() { m_child.Kill(); }

private:
    CKxLaunchedChild m_child;
};
