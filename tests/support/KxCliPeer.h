// A kxipc.exe process driven by a test through the line protocol.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "KxTestHarness.h"

// Time any one expected line may take; generous, since a cold Wine process starts slowly.
const DWORD kCliLineTimeoutMs = 30000;

// Path of kxipc.exe beside the test binary.
std::string KxCliExe();

// Runs `kxipc ARGS...` to its end; its stdout (without '\r') in *output, the exit code returned
// (STILL_ACTIVE when it did not end in time). withErrors: through cmd.exe with stderr joined to
// stdout (the harness pipes stdout only), to see the error lines too.
DWORD KxCliRun(const std::vector<std::string>& args, std::string* output, bool withErrors = false);

class CKxCliPeer {
public:
    // Starts `kxipc join channel extraArgs...`; Id() stays 0 until WaitForId succeeds.
    CKxCliPeer(const std::string& channel, const std::vector<std::string>& extraArgs = {});

    // Waits for "id ID" and records ID; false when it does not come.
    bool WaitForId();
    unsigned int Id() const { return m_id; }
    std::string IdText() const { return std::to_string(m_id); }

    void Tell(const std::string& command) { m_child->WriteLine(command); }
    // Waits for the next line starting with `line` and checks that it is exactly `line`.
    bool Expect(const std::string& line);
    // Waits until every one of lines has come, in any order (events of different threads);
    // other lines in between are skipped.
    bool ExpectAll(std::vector<std::string> lines);
    // Tell, then Expect.
    bool Ask(const std::string& command, const std::string& reply);

    std::string Output() { return m_child->Output(); }
    CKxChildProcess& Process() { return *m_child; }

private:
    std::unique_ptr<CKxChildProcess> m_child;
    unsigned int m_id = 0;
};
