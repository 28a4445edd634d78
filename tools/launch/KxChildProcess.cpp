// Starting child processes, collecting their output and waiting on it with deadlines.
#include "KxChildProcess.h"

#include <cctype>
#include <chrono>

#include "KxScopeGuard.h"

namespace {

std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// "call: error N (text)": the failed call, the Windows error code and the system's wording of it.
std::string ErrorText(const char* call, DWORD error) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof(text), nullptr);
    while (length > 0 && std::isspace(static_cast<unsigned char>(text[length - 1]))) --length;
    return std::string(call) + ": error " + std::to_string(error) + " (" +
           std::string(text, length) + ")";
}

}  // namespace

std::string KxProgramPath() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

std::string KxProgramDir() {
    const std::string path = KxProgramPath();
    return path.substr(0, path.find_last_of("\\/") + 1);
}

bool CKxLaunchedChild::Start(const std::string& path, const std::vector<std::string>& args,
                             Stdio stdio, std::string* error) {
    std::string commandLine = Quote(path);
    for (const std::string& arg : args) commandLine += " " + Quote(arg);
    auto fail = [&](const char* call) {
        *error = ErrorText(call, GetLastError());
        return false;
    };
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE /*bInheritHandle*/};
    HANDLE stdinRead = nullptr, stdoutWrite = nullptr, stderrDup = nullptr;
    // The child's ends belong to the child once it runs; this process never uses them.
    TKxScopeGuard closeChildEnds([&] {
        for (HANDLE end : {stdinRead, stdoutWrite, stderrDup}) {
            if (end) CloseHandle(end);
        }
    });
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    const bool piped = stdio == Stdio::kPiped;
    if (piped) {
        if (!CreatePipe(&stdinRead, &m_stdinWrite, &inheritable, 0) ||
            !CreatePipe(&m_stdoutRead, &stdoutWrite, &inheritable, 0)) {
            return fail("CreatePipe");
        }
        // The parent keeps its ends to itself: a child inheriting them would hold the pipes open.
        if (!SetHandleInformation(m_stdinWrite, HANDLE_FLAG_INHERIT, 0) ||
            !SetHandleInformation(m_stdoutRead, HANDLE_FLAG_INHERIT, 0)) {
            return fail("SetHandleInformation");
        }
        // Without a stderr of its own (none to duplicate) the child runs without one.
        DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                        &stderrDup, 0, TRUE /*bInheritHandle*/, DUPLICATE_SAME_ACCESS);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = stdinRead;
        startup.hStdOutput = stdoutWrite;
        startup.hStdError = stderrDup;
    }
    PROCESS_INFORMATION info = {};
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, piped /*bInheritHandles*/, 0,
                        nullptr, nullptr, &startup, &info)) {
        return fail("CreateProcess");
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_processId = info.dwProcessId;
    if (piped) {
        m_outputClosed = false;
        m_reader = std::thread([this] { ReadOutput(); });
    }
    return true;
}

CKxLaunchedChild::~CKxLaunchedChild() {
    if (m_process && !WaitForExit(0)) Kill();
    CloseInput();
    if (m_reader.joinable()) m_reader.join();
    if (m_stdoutRead) CloseHandle(m_stdoutRead);
    if (m_process) CloseHandle(m_process);
}

void CKxLaunchedChild::ReadOutput() {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(m_stdoutRead, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        std::lock_guard<std::mutex> hold(m_lock);
        for (DWORD i = 0; i < read; ++i) {
            if (buffer[i] != '\r') m_output += buffer[i];
        }
        m_arrived.notify_all();
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_outputClosed = true;
    m_arrived.notify_all();
}

bool CKxLaunchedChild::WaitForExit(DWORD timeoutMs) {
    if (!m_process || WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return false;
    // The reader may not have taken the child's last lines yet; a grandchild holding the pipe
    // open only delays this up to the same limit.
    std::unique_lock<std::mutex> hold(m_lock);
    m_arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return m_outputClosed; });
    return true;
}

DWORD CKxLaunchedChild::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (m_process) GetExitCodeProcess(m_process, &code);
    return code;
}

void CKxLaunchedChild::Kill() {
    if (!m_process) return;
    TerminateProcess(m_process, 9);
    WaitForSingleObject(m_process, INFINITE);
}

bool CKxLaunchedChild::WaitForLine(const std::string& prefix, DWORD timeoutMs, std::string* line) {
    std::unique_lock<std::mutex> hold(m_lock);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t start = m_consumed;
        for (size_t end; (end = m_output.find('\n', start)) != std::string::npos; start = end + 1) {
            if (m_output.compare(start, prefix.size(), prefix) == 0) {
                if (line) *line = m_output.substr(start, end - start);
                m_consumed = end + 1;
                return true;
            }
        }
        if (m_outputClosed) return false;
        if (m_arrived.wait_until(hold, deadline) == std::cv_status::timeout) return false;
    }
}

bool CKxLaunchedChild::WaitForOutput(const std::function<bool(const std::string&)>& done,
                                     DWORD timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                       [&] { return m_outputClosed || done(m_output); });
    return done(m_output);
}

std::string CKxLaunchedChild::Output() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_output;
}

bool CKxLaunchedChild::WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    return m_stdinWrite &&
           WriteFile(m_stdinWrite, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void CKxLaunchedChild::CloseInput() {
    if (m_stdinWrite) CloseHandle(m_stdinWrite);
    m_stdinWrite = nullptr;
}
