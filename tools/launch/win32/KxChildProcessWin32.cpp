// The Windows half of the child launcher: CreateProcess with inherited pipe ends.
#include <cctype>

#include "KxChildProcess.h"
#include "KxScopeGuard.h"
#include "KxWindows.h"

static_assert(kKxStillActive == STILL_ACTIVE, "the neutral constant is Windows' own");

struct CKxLaunchedChild::Native {
    HANDLE process = nullptr;
    HANDLE stdinWrite = nullptr;
    HANDLE stdoutRead = nullptr;
};

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

const char kKxStartCall[] = "CreateProcess";

KxProcessId KxThisProcessId() { return GetCurrentProcessId(); }

CKxLaunchedChild::CKxLaunchedChild() : m_native(new Native()) {}

bool CKxLaunchedChild::Start(const std::string& path, const std::vector<std::string>& args,
                             Stdio stdio, std::string* error) {
    std::string commandLine = Quote(path);
    for (const std::string& arg : args) commandLine += " " + Quote(arg);
    auto fail = [&](const char* call) {
        *error = ErrorText(call, GetLastError());
        return false;
    };
    Native& native = *m_native;
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
    const bool piped = stdio != Stdio::kUnpiped;
    if (piped) {
        if (!CreatePipe(&stdinRead, &native.stdinWrite, &inheritable, 0) ||
            !CreatePipe(&native.stdoutRead, &stdoutWrite, &inheritable, 0)) {
            return fail("CreatePipe");
        }
        // The parent keeps its ends to itself: a child inheriting them would hold the pipes open.
        if (!SetHandleInformation(native.stdinWrite, HANDLE_FLAG_INHERIT, 0) ||
            !SetHandleInformation(native.stdoutRead, HANDLE_FLAG_INHERIT, 0)) {
            return fail("SetHandleInformation");
        }
        // Without a stderr of its own (none to duplicate) the child runs without one.
        const HANDLE stderrSource =
            stdio == Stdio::kPipedWithErrors ? stdoutWrite : GetStdHandle(STD_ERROR_HANDLE);
        DuplicateHandle(GetCurrentProcess(), stderrSource, GetCurrentProcess(), &stderrDup, 0,
                        TRUE /*bInheritHandle*/, DUPLICATE_SAME_ACCESS);
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
        return fail(kKxStartCall);
    }
    CloseHandle(info.hThread);
    native.process = info.hProcess;
    m_processId = info.dwProcessId;
    if (piped) {
        m_outputClosed = false;
        m_reader = std::thread([this] { ReadOutput(); });
    }
    return true;
}

CKxLaunchedChild::~CKxLaunchedChild() {
    if (m_native->process && !WaitForExit(0)) Kill();
    CloseInput();
    if (m_reader.joinable()) m_reader.join();
    if (m_native->stdoutRead) CloseHandle(m_native->stdoutRead);
    if (m_native->process) CloseHandle(m_native->process);
}

void CKxLaunchedChild::ReadOutput() {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(m_native->stdoutRead, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        Append(buffer, read);
    }
    EndOutput();
}

bool CKxLaunchedChild::WaitForProcess(KxTimeout timeoutMs) {
    return m_native->process && WaitForSingleObject(m_native->process, timeoutMs) == WAIT_OBJECT_0;
}

KxExitCode CKxLaunchedChild::ExitCode() const {
    DWORD code = kKxStillActive;
    if (m_native->process) GetExitCodeProcess(m_native->process, &code);
    return code;
}

void CKxLaunchedChild::Kill() {
    if (!m_native->process) return;
    TerminateProcess(m_native->process, kKxKilledExitCode);
    WaitForSingleObject(m_native->process, INFINITE);
}

bool CKxLaunchedChild::WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    return m_native->stdinWrite && WriteFile(m_native->stdinWrite, text.data(),
                                             static_cast<DWORD>(text.size()), &written, nullptr);
}

void CKxLaunchedChild::CloseInput() {
    if (m_native->stdinWrite) CloseHandle(m_native->stdinWrite);
    m_native->stdinWrite = nullptr;
}
