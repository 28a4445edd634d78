// One way to start a child process for the tests, the benchmark and the soak: its stdin and stdout
// piped to the parent or left alone, every read of its output bounded by a deadline, and a failed
// start told with the platform call and error that refused it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KxPlatformTypes.h"

// A child's exit code: what it returned or passed to exit, or, on POSIX, the number of the signal
// that ended it (so a Kill gives kKxKilledExitCode on both platforms).
using KxExitCode = std::uint32_t;
// The exit code of a child that is still running, or was never started (Windows' STILL_ACTIVE).
constexpr KxExitCode kKxStillActive = 259;
// The exit code of a child ended by Kill (SIGKILL's number; TerminateProcess is given the same).
constexpr KxExitCode kKxKilledExitCode = 9;

// Path of the running executable's folder, with a trailing separator.
std::string KxProgramDir();
// Path of the running executable.
std::string KxProgramPath();
// The running process's identifier, as ProcessId() gives a child's (for the programs that do not
// link the kernel's objects, which have KxCurrentProcessId).
KxProcessId KxThisProcessId();
// Path of the program called name (no extension) built beside the running executable: ".exe" is
// appended on Windows.
std::string KxSiblingProgram(const std::string& name);

// The platform call that starts a child, as a failed Start names it: "CreateProcess" on Windows,
// "posix_spawn" on POSIX.
extern const char kKxStartCall[];

// A child process started by this process. Start may be called once. With piped stdio a reader
// thread collects the child's stdout; the child's stderr is this process's own, so traces of every
// process land in one stream, or (kPipedWithErrors) joins its stdout in the pipe. Without pipes the
// child gets no pipe of this process and uses the default standard streams. The destructor kills a
// child that is still running and joins the reader. Start, input and the process calls belong to
// one thread; the output calls (the waits, Output) may be made from any thread. On POSIX the first
// Start makes this process ignore SIGPIPE, so that a write to a child that has ended returns false
// instead of ending this process.
//
// A child that was never started, or whose start failed, answers as one whose output has ended
// empty: the reads return false at once, WaitForExit is false, ExitCode is kKxStillActive, and
// input and Kill do nothing.
class CKxLaunchedChild {
public:
    enum class Stdio { kPiped, kPipedWithErrors, kUnpiped };

    CKxLaunchedChild();
    ~CKxLaunchedChild();
    CKxLaunchedChild(const CKxLaunchedChild&) = delete;
    CKxLaunchedChild& operator=(const CKxLaunchedChild&) = delete;

    // Starts `path args...` (each argument passed as one, quoted where the platform needs it).
    // False when it could not start; *error then names the failed call and the platform's error:
    // "CreateProcess: error 2 (text)" on Windows, "posix_spawn: error 2 (text)" on POSIX.
    bool Start(const std::string& path, const std::vector<std::string>& args, Stdio stdio,
               std::string* error);

    KxProcessId ProcessId() const { return m_processId; }
    // True once the process has ended (within the time limit); its output up to its end is then
    // in Output(), unless a process it started still holds the pipe open past the limit.
    bool WaitForExit(KxTimeout timeoutMs);
    // The exit code; kKxStillActive while running.
    KxExitCode ExitCode() const;
    // Ends the process at once (TerminateProcess with kKxKilledExitCode, or SIGKILL), then waits
    // for the end: an abrupt death, as in a crash.
    void Kill();

    // Waits until a whole output line starting with prefix has arrived, searching from the first
    // line not yet consumed; consumes it and everything before it. False when timeoutMs pass or
    // the output ends first.
    bool WaitForLine(const std::string& prefix, KxTimeout timeoutMs, std::string* line = nullptr);
    // Waits until done(everything printed so far, consumed or not) holds; false when timeoutMs
    // pass or the output ends first.
    bool WaitForOutput(const std::function<bool(const std::string&)>& done, KxTimeout timeoutMs);
    // Everything the child printed so far, without carriage returns.
    std::string Output();
    // Writes one line to the child's stdin; false when it is closed. CloseInput() ends it.
    bool WriteLine(const std::string& line);
    void CloseInput();

private:
    // The platform's process and pipe handles (KxChildProcess<Platform>.cpp).
    struct Native;

    // Platform: true once the process has ended, within timeoutMs.
    bool WaitForProcess(KxTimeout timeoutMs);
    // Platform: the reader thread's loop; hands every chunk to Append, then calls EndOutput.
    void ReadOutput();
    void Append(const char* data, std::size_t size);
    void EndOutput();

    std::unique_ptr<Native> m_native;
    KxProcessId m_processId = 0;
    std::thread m_reader;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::string m_output;        // guarded by m_lock
    size_t m_consumed = 0;       // offset of the first line WaitForLine has not consumed
    bool m_outputClosed = true;  // guarded by m_lock; false while a reader runs
};
