// One way to start a child process for the tests, the benchmark and the soak: its stdin and stdout
// piped to the parent or left alone, every read of its output bounded by a deadline, and a failed
// start told with the Windows call and error that refused it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KxWindows.h"

// Path of the running executable's folder, with a trailing backslash.
std::string KxProgramDir();
// Path of the running executable.
std::string KxProgramPath();

// A child process started by this process. Start may be called once. With piped stdio a reader
// thread collects the child's stdout; the child's stderr is this process's own, so traces of every
// process land in one stream. Without pipes the child inherits no handle and uses the default
// standard handles. The destructor kills a child that is still running (exit code 9) and joins the
// reader. Start, input and the process calls belong to one thread; the output calls (the waits,
// Output) may be made from any thread.
//
// A child that was never started, or whose start failed, answers as one whose output has ended
// empty: the reads return false at once, WaitForExit is false, ExitCode is STILL_ACTIVE, and
// input and Kill do nothing.
class CKxLaunchedChild {
public:
    enum class Stdio { kPiped, kUnpiped };

    CKxLaunchedChild() = default;
    ~CKxLaunchedChild();
    CKxLaunchedChild(const CKxLaunchedChild&) = delete;
    CKxLaunchedChild& operator=(const CKxLaunchedChild&) = delete;

    // Starts `path args...` (each argument quoted as needed). False when it could not start;
    // *error then names the failed call and the Windows error: "CreateProcess: error 2 (text)".
    bool Start(const std::string& path, const std::vector<std::string>& args, Stdio stdio,
               std::string* error);

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
    // line not yet consumed; consumes it and everything before it. False when timeoutMs pass or
    // the output ends first.
    bool WaitForLine(const std::string& prefix, DWORD timeoutMs, std::string* line = nullptr);
    // Waits until done(everything printed so far, consumed or not) holds; false when timeoutMs
    // pass or the output ends first.
    bool WaitForOutput(const std::function<bool(const std::string&)>& done, DWORD timeoutMs);
    // Everything the child printed so far, without carriage returns.
    std::string Output();
    // Writes one line to the child's stdin; false when it is closed. CloseInput() ends it.
    bool WriteLine(const std::string& line);
    void CloseInput();

private:
    void ReadOutput();

    HANDLE m_process = nullptr;
    DWORD m_processId = 0;
    HANDLE m_stdinWrite = nullptr;
    HANDLE m_stdoutRead = nullptr;
    std::thread m_reader;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::string m_output;        // guarded by m_lock
    size_t m_consumed = 0;       // offset of the first line WaitForLine has not consumed
    bool m_outputClosed = true;  // guarded by m_lock; false while a reader runs
};
