// Starting, driving and ending benchmark peer processes.
#include "CKxBenchChild.h"

#include <stdexcept>

namespace {

// Far longer than any block a peer measures before it answers.
const KxTimeout kLineTimeoutMs = 120000;

}  // namespace

CKxBenchChild::CKxBenchChild(const std::vector<std::string>& args) {
    std::string error;
    if (!m_child.Start(KxProgramPath(), args, CKxLaunchedChild::Stdio::kPiped, &error)) {
        throw std::runtime_error("cannot start a peer: " + error);
    }
}

CKxBenchChild::~CKxBenchChild() {
    m_child.CloseInput();
    m_child.WaitForExit(30000);  // the launcher kills a child still running after that
}

void CKxBenchChild::WriteLine(const std::string& line) {
    if (!m_child.WriteLine(line)) throw std::runtime_error("a peer's stdin is closed");
}

std::string CKxBenchChild::Expect(const std::string& prefix) {
    std::string line;
    if (!m_child.WaitForLine(prefix, kLineTimeoutMs, &line)) {
        throw std::runtime_error("a peer ended before saying '" + prefix + "'");
    }
    return line;
}
