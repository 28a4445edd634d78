// Test harness shared by every test executable: unique object names, and child processes that run
// a named role of the same test binary (or another program) with piped stdin/stdout.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KxChildProcess.h"

// Deadline of every wait for what a test checks (a line, an event, a process's end): well past
// the library's 25 000 ms waits and a cold Wine prefix's slow process starts, so only a hang
// misses it.
const KxTimeout kKxDeadlineMs = 60000;

// Checks done() every 10 ms until it holds (true) or timeoutMs pass (false): for what a test can
// only observe by looking again, such as a channel's state read from outside.
bool KxWaitUntil(const std::function<bool()>& done, KxTimeout timeoutMs = kKxDeadlineMs);

// Milliseconds since an arbitrary start (a steady clock), for the durations tests report.
unsigned long long KxNowMs();

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
// and then, with the failed call and the platform's error; the object then answers as a child whose
// output has ended empty (see CKxLaunchedChild).
class CKxChildProcess : public CKxLaunchedChild {
public:
    static std::unique_ptr<CKxChildProcess> Role(const std::string& role,
                                                 const std::vector<std::string>& args = {});
    static std::unique_ptr<CKxChildProcess> Program(const std::string& path,
                                                    const std::vector<std::string>& args = {},
                                                    Stdio stdio = Stdio::kPiped);
};

// Path of the running test executable's folder (with a trailing separator), where the library and
// the kxipc program are built too.
inline std::string KxBinaryDir() { return KxProgramDir(); }
