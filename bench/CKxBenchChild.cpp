// Starting, driving and ending benchmark peer processes.
#include "CKxBenchChild.h"

#include <stdexcept>

namespace {

std::string OwnPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

CKxBenchChild::CKxBenchChild(const std::vector<std::string>& args)
    : m_process(nullptr), m_stdinWrite(nullptr), m_stdoutRead(nullptr) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE /*bInheritHandle*/};
    HANDLE stdinRead = nullptr;
    HANDLE stdoutWrite = nullptr;
    if (!CreatePipe(&stdinRead, &m_stdinWrite, &inheritable, 0 /*nSize*/) ||
        !CreatePipe(&m_stdoutRead, &stdoutWrite, &inheritable, 0 /*nSize*/)) {
        throw std::runtime_error("CreatePipe failed");
    }
    // Only the child's ends are inherited.
    SetHandleInformation(m_stdinWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(m_stdoutRead, HANDLE_FLAG_INHERIT, 0);

    std::string command = Quote(OwnPath());
    for (const std::string& arg : args) command += " " + Quote(arg);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = stdinRead;
    startup.hStdOutput = stdoutWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    const BOOL created =
        CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE /*bInheritHandles*/,
                       0 /*dwCreationFlags*/, nullptr, nullptr, &startup, &info);
    CloseHandle(stdinRead);
    CloseHandle(stdoutWrite);
    if (!created) throw std::runtime_error("CreateProcess failed: " + command);
    CloseHandle(info.hThread);
    m_process = info.hProcess;
}

CKxBenchChild::~CKxBenchChild() {
    CloseHandle(m_stdinWrite);
    if (WaitForSingleObject(m_process, 30000) != WAIT_OBJECT_0) TerminateProcess(m_process, 99);
    WaitForSingleObject(m_process, INFINITE);
    CloseHandle(m_stdoutRead);
    CloseHandle(m_process);
}

void CKxBenchChild::WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    if (!WriteFile(m_stdinWrite, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        throw std::runtime_error("a peer's stdin is closed");
    }
}

bool CKxBenchChild::ReadLine(std::string* line) {
    for (;;) {
        const size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            *line = m_pending.substr(0, end);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            m_pending.erase(0, end + 1);
            return true;
        }
        char buffer[512];
        DWORD got = 0;
        if (!ReadFile(m_stdoutRead, buffer, sizeof(buffer), &got, nullptr) || got == 0) {
            return false;
        }
        m_pending.append(buffer, got);
    }
}

std::string CKxBenchChild::Expect(const std::string& prefix) {
    std::string line;
    while (ReadLine(&line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return line;
    }
    throw std::runtime_error("a peer ended before saying '" + prefix + "'");
}

void CKxBenchChild::Kill() {
    TerminateProcess(m_process, 9);
    WaitForSingleObject(m_process, INFINITE);
}

HANDLE CKxBenchChild::ProcessHandle() const { return m_process; }
