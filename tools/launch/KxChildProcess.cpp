// The platform-free half of the child launcher: its output, the waits on it and program paths.
#include "KxChildProcess.h"

#include <chrono>

std::string KxProgramDir() {
    const std::string path = KxProgramPath();
    return path.substr(0, path.find_last_of("\\/") + 1);
}

std::string KxSiblingProgram(const std::string& name) {
#if defined(_WIN32)
    return KxProgramDir() + name + ".exe";
#else
    return KxProgramDir() + name;
#endif
}

void CKxLaunchedChild::Append(const char* data, std::size_t size) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != '\r') m_output += data[i];
    }
    m_arrived.notify_all();
}

void CKxLaunchedChild::EndOutput() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_outputClosed = true;
    m_arrived.notify_all();
}

bool CKxLaunchedChild::WaitForExit(KxTimeout timeoutMs) {
    if (!WaitForProcess(timeoutMs)) return false;
    // The reader may not have taken the child's last lines yet; a grandchild holding the pipe
    // open only delays this up to the same limit.
    std::unique_lock<std::mutex> hold(m_lock);
    m_arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return m_outputClosed; });
    return true;
}

bool CKxLaunchedChild::WaitForLine(const std::string& prefix, KxTimeout timeoutMs,
                                   std::string* line) {
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
                                     KxTimeout timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                       [&] { return m_outputClosed || done(m_output); });
    return done(m_output);
}

std::string CKxLaunchedChild::Output() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_output;
}
