// A benchmark peer: this program started again in another role, driven over its stdin and stdout.
#pragma once

#include <string>
#include <vector>

#include "KxWindows.h"

// Starts the running executable with the given arguments; the child's stdin and stdout are pipes
// owned by this object, its stderr is this process's own (so that a server trace of every process
// lands in one stream). One thread drives a child. The destructor closes the child's stdin (which
// ends every role) and waits for the child, killing it after 30 s.
class CKxBenchChild {
public:
    explicit CKxBenchChild(const std::vector<std::string>& args);
    ~CKxBenchChild();

    CKxBenchChild(const CKxBenchChild&) = delete;
    CKxBenchChild& operator=(const CKxBenchChild&) = delete;

    void WriteLine(const std::string& line);
    // Blocks until a whole line (without its end) has come; false once the child closed stdout.
    bool ReadLine(std::string* line);
    // Reads lines until one starts with prefix; throws std::runtime_error when stdout ends first.
    std::string Expect(const std::string& prefix);
    // Ends the child at once, as a crash would.
    void Kill();
    HANDLE ProcessHandle() const;

private:
    HANDLE m_process;
    HANDLE m_stdinWrite;
    HANDLE m_stdoutRead;
    std::string m_pending;  // bytes read past the last line handed out
};
