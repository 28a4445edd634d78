// Test harness shared by every test executable: unique object names, and child processes that run
// a named role of the same test binary (or another program) with piped stdin/stdout.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KxWindows.h"

// A role is a function that runs as the whole body of a child process; its result is the exit code.
using KxChildRole = int (*)(const std::vector<std::string>& args);

class KxChildRoleRegistrar {
public:
    KxChildRoleRegistrar(const char* name, KxChildRole role);
};

// Defines a child role callable as CKxChildProcess::Role("Name", {...}).
#define KX_CHILD_ROLE(Name)                                           \
    static int Name(const std::vector<std::string>& args);            \
    static const KxChildRoleRegistrar Name##Registrar_(#Name, &Name); \
    static int Name([[maybe_unused]] const std::vector<std::string>& args)

// A kernel object name unique to this process and the running test:
// "kx_<pid>_<Suite>_<Test>_<suffix>". Outside a test only the pid and suffix are used.
std::string KxUniqueName(const std::string& suffix);

// Prints one line to stdout and flushes it at once, so a parent waiting for it sees it.
void KxSay(const char* format, ...);

// Reads a line from stdin (without its end of line); false at end of input.
bool KxReadLine(std::string* line);

// Runs the child role named on the command line ("--kx-child=Role args...") or else the tests.
int KxTestMain(int argc, char** argv);

// One child process with its stdin and stdout piped to the test; stderr goes to the test's stderr.
// The destructor kills a child that is still running, so a failing test leaves nothing behind.
// Role and Program never return null. A child that cannot be started fails the running test there
// and then, with the failed call and its Windows error (code and text); the object then stands for
// a child whose output has ended empty: the waits for output return at once, WaitForExit is false,
// ExitCode is STILL_ACTIVE, and input and Kill do nothing.
class CKxChildProcess {
public:
    static std::unique_ptr<CKxChildProcess> Role(const std::string& role,
                                                 const std::vector<std::string>& args = {});
    static std::unique_ptr<CKxChildProcess> Program(const std::string& path,
                                                    const std::vector<std::string>& args = {});
    ~CKxChildProcess();
    CKxChildProcess(const CKxChildProcess&) = delete;
    CKxChildProcess& operator=(const CKxChildProcess&) = delete;

    DWORD ProcessId() const { return m_processId; }
    HANDLE ProcessHandle() const { return m_process; }

    // True once the process has ended (within the time limit); its output up to its end is then
    // in Output(), unless a process it started still holds the pipe open past the limit.
    bool WaitForExit(DWORD timeoutMs);
    // The exit code; STILL_ACTIVE (259) while running.
    DWORD ExitCode() const;
    // TerminateProcess with exit code 9, then waits for the end: an abrupt death, as in a crash.
    void Kill();

    // Waits until a whole output line starting with prefix has arrived, searching from the first
    // line not yet consumed by an earlier WaitForLine; consumes it and everything before it.
    bool WaitForLine(const std::string& prefix, DWORD timeoutMs, std::string* line = nullptr);
    // Waits until done(everything printed so far, consumed or not) holds; false when timeoutMs
    // pass or the output ends first.
    bool WaitForOutput(const std::function<bool(const std::string&)>& done, DWORD timeoutMs);
    // Everything the child printed so far.
    std::string Output();
    // Writes one line to the child's stdin; CloseInput() ends it.
    void WriteLine(const std::string& line);
    void CloseInput();

private:
    CKxChildProcess() = default;
    void Start(const std::string& commandLine);
    void ReadOutput();

    HANDLE m_process = nullptr;
    DWORD m_processId = 0;
    HANDLE m_stdinWrite = nullptr;
    HANDLE m_stdoutRead = nullptr;
    std::thread m_reader;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::string m_output;         // guarded by m_lock
    size_t m_consumed = 0;        // offset of the first line WaitForLine has not consumed
    bool m_outputClosed = false;  // guarded by m_lock
};

// Path of the running test executable's folder (with a trailing backslash), where kxipc.dll and
// kxipc.exe are built too.
std::string KxBinaryDir();
