// Child processes, unique names and the test main shared by every test executable.
#include "KxTestHarness.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <map>

#include <gtest/gtest.h>

#include "KxScopeGuard.h"

namespace {

std::map<std::string, KxChildRole>& Roles() {
    static std::map<std::string, KxChildRole> roles;
    return roles;
}

const char kChildFlag[] = "--kx-child=";

std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// "error N (text)": a Windows error code and the system's wording of it.
std::string ErrorText(DWORD error) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof(text), nullptr);
    while (length > 0 && std::isspace(static_cast<unsigned char>(text[length - 1]))) --length;
    return "error " + std::to_string(error) + " (" + std::string(text, length) + ")";
}

std::string OwnPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

}  // namespace

KxChildRoleRegistrar::KxChildRoleRegistrar(const char* name, KxChildRole role) {
    Roles()[name] = role;
}

std::string KxUniqueName(const std::string& suffix) {
    std::string name = "kx_" + std::to_string(GetCurrentProcessId());
    if (const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info()) {
        name += std::string("_") + test->test_suite_name() + "_" + test->name();
    }
    return name + "_" + suffix;
}

void KxSay(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool KxReadLine(std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

std::string KxBinaryDir() {
    std::string path = OwnPath();
    return path.substr(0, path.find_last_of("\\/") + 1);
}

int KxTestMain(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]).rfind(kChildFlag, 0) == 0) {
        const std::string role = argv[1] + sizeof(kChildFlag) - 1;
        auto found = Roles().find(role);
        if (found == Roles().end()) {
            std::fprintf(stderr, "unknown child role %s\n", role.c_str());
            return 125;
        }
        return found->second(std::vector<std::string>(argv + 2, argv + argc));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

std::unique_ptr<CKxChildProcess> CKxChildProcess::Role(const std::string& role,
                                                       const std::vector<std::string>& args) {
    std::vector<std::string> all{kChildFlag + role};
    all.insert(all.end(), args.begin(), args.end());
    return Program(OwnPath(), all);
}

std::unique_ptr<CKxChildProcess> CKxChildProcess::Program(const std::string& path,
                                                          const std::vector<std::string>& args) {
    std::string commandLine = Quote(path);
    for (const std::string& arg : args) commandLine += " " + Quote(arg);
    std::unique_ptr<CKxChildProcess> child(new CKxChildProcess());
    child->Start(commandLine);
    return child;
}

void CKxChildProcess::Start(const std::string& commandLine) {
    // The one place a failed start is reported: the running test fails with the call and the
    // Windows error, and the object stays a child without output.
    auto fail = [&](const char* call) {
        const DWORD error = GetLastError();
        ADD_FAILURE() << "cannot start " << commandLine << ": " << call << ": " << ErrorText(error);
        m_outputClosed = true;
    };
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE /*bInheritHandle*/};
    HANDLE stdinRead = nullptr, stdoutWrite = nullptr, stderrDup = nullptr;
    // The child's ends belong to the child once it runs; this process never uses them.
    TKxScopeGuard closeChildEnds([&] {
        for (HANDLE end : {stdinRead, stdoutWrite, stderrDup}) {
            if (end) CloseHandle(end);
        }
    });
    if (!CreatePipe(&stdinRead, &m_stdinWrite, &inheritable, 0) ||
        !CreatePipe(&m_stdoutRead, &stdoutWrite, &inheritable, 0)) {
        return fail("CreatePipe");
    }
    // The test keeps its ends to itself: a child inheriting them would hold the pipes open.
    if (!SetHandleInformation(m_stdinWrite, HANDLE_FLAG_INHERIT, 0) ||
        !SetHandleInformation(m_stdoutRead, HANDLE_FLAG_INHERIT, 0)) {
        return fail("SetHandleInformation");
    }
    // Without a stderr of its own (none to duplicate) the child runs without one.
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                    &stderrDup, 0, TRUE /*bInheritHandle*/, DUPLICATE_SAME_ACCESS);

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = stdinRead;
    startup.hStdOutput = stdoutWrite;
    startup.hStdError = stderrDup;
    PROCESS_INFORMATION info = {};
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE /*bInheritHandles*/, 0,
                        nullptr, nullptr, &startup, &info)) {
        return fail("CreateProcess");
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_processId = info.dwProcessId;
    m_reader = std::thread([this] { ReadOutput(); });
}

CKxChildProcess::~CKxChildProcess() {
    if (m_process && !WaitForExit(0)) Kill();
    CloseInput();
    if (m_reader.joinable()) m_reader.join();
    if (m_stdoutRead) CloseHandle(m_stdoutRead);
    if (m_process) CloseHandle(m_process);
}

void CKxChildProcess::ReadOutput() {
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

bool CKxChildProcess::WaitForExit(DWORD timeoutMs) {
    if (!m_process || WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return false;
    // The reader may not have taken the child's last lines yet; a grandchild holding the pipe
    // open only delays this up to the same limit.
    std::unique_lock<std::mutex> hold(m_lock);
    m_arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return m_outputClosed; });
    return true;
}

DWORD CKxChildProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_process, &code);
    return code;
}

void CKxChildProcess::Kill() {
    if (!m_process) return;  // never started
    TerminateProcess(m_process, 9);
    WaitForSingleObject(m_process, INFINITE);
}

bool CKxChildProcess::WaitForLine(const std::string& prefix, DWORD timeoutMs, std::string* line) {
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

bool CKxChildProcess::WaitForOutput(const std::function<bool(const std::string&)>& done,
                                    DWORD timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                       [&] { return m_outputClosed || done(m_output); });
    return done(m_output);
}

std::string CKxChildProcess::Output() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_output;
}

void CKxChildProcess::WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    if (m_stdinWrite)
        WriteFile(m_stdinWrite, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void CKxChildProcess::CloseInput() {
    if (m_stdinWrite) CloseHandle(m_stdinWrite);
    m_stdinWrite = nullptr;
}
