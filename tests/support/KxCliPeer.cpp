// Starting kxipc.exe peers and matching their output lines.
#include "KxCliPeer.h"

#include <algorithm>
#include <cstdlib>

std::string KxCliExe() { return KxBinaryDir() + "kxipc.exe"; }

DWORD KxCliRun(const std::vector<std::string>& args, std::string* output, bool withErrors) {
    std::string commandLine = KxCliExe();
    for (const std::string& arg : args) commandLine += " " + arg;
    std::unique_ptr<CKxChildProcess> child =
        withErrors ? CKxChildProcess::Program("cmd.exe", {"/c", commandLine + " 2>&1"})
                   : CKxChildProcess::Program(KxCliExe(), args);
    child->CloseInput();
    if (!child->WaitForExit(kCliLineTimeoutMs)) return STILL_ACTIVE;
    // The output pipe closes with the process; reading until then gives every line.
    child->WaitForLine("\x01never", kCliLineTimeoutMs);
    *output = child->Output();
    return child->ExitCode();
}

CKxCliPeer::CKxCliPeer(const std::string& channel, const std::vector<std::string>& extraArgs) {
    std::vector<std::string> args{"join", channel};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    m_child = CKxChildProcess::Program(KxCliExe(), args);
}

bool CKxCliPeer::WaitForId() {
    std::string line;
    if (!m_child->WaitForLine("id ", kCliLineTimeoutMs, &line)) return false;
    m_id = static_cast<unsigned int>(std::strtoul(line.c_str() + 3, nullptr, 10));
    return m_id != 0;
}

bool CKxCliPeer::Expect(const std::string& line) {
    std::string got;
    return m_child->WaitForLine(line, kCliLineTimeoutMs, &got) && got == line;
}

bool CKxCliPeer::ExpectAll(std::vector<std::string> lines) {
    std::string got;
    while (!lines.empty()) {
        if (!m_child->WaitForLine("", kCliLineTimeoutMs, &got)) return false;
        const auto found = std::find(lines.begin(), lines.end(), got);
        if (found != lines.end()) lines.erase(found);
    }
    return true;
}

bool CKxCliPeer::Ask(const std::string& command, const std::string& reply) {
    Tell(command);
    return Expect(reply);
}
