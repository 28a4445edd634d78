// The POSIX half of the child launcher: posix_spawn with pipes, a pidfd to wait with a time-out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "KxChildProcess.h"
#include "KxScopeGuard.h"

extern char** environ;

struct CKxLaunchedChild::Native {
    pid_t pid = 0;
    int pidfd = -1;  // readable once the process has ended
    int stdinWrite = -1;
    int stdoutRead = -1;
    bool reaped = false;
    int status = 0;  // waitpid's, once reaped

    // Reaps the child once (blocking when wait); true once it is reaped.
    bool Reap(bool wait) {
        if (reaped) return true;
        for (;;) {
            const pid_t got = waitpid(pid, &status, wait ? 0 : WNOHANG);
            if (got == pid) return reaped = true;
            if (got < 0 && errno == EINTR) continue;
            return false;
        }
    }
};

namespace {

// "call: error N (text)": the failed call, errno and the system's wording of it.
std::string ErrorText(const char* call, int error) {
    return std::string(call) + ": error " + std::to_string(error) + " (" + std::strerror(error) +
           ")";
}

void CloseFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

}  // namespace

std::string KxProgramPath() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path));
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

const char kKxStartCall[] = "posix_spawn";

KxProcessId KxThisProcessId() { return static_cast<KxProcessId>(getpid()); }

CKxLaunchedChild::CKxLaunchedChild() : m_native(new Native()) {}

bool CKxLaunchedChild::Start(const std::string& path, const std::vector<std::string>& args,
                             Stdio stdio, std::string* error) {
    static const bool sigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)sigpipeIgnored;
    Native& native = *m_native;
    const bool piped = stdio != Stdio::kUnpiped;
    int stdinRead = -1, stdoutWrite = -1;
    // The child's ends belong to the child once it runs; this process never uses them. Every end
    // is close-on-exec: the child keeps only the two it gets as stdin and stdout.
    TKxScopeGuard closeChildEnds([&] {
        CloseFd(&stdinRead);
        CloseFd(&stdoutWrite);
    });
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    TKxScopeGuard destroyActions([&] { posix_spawn_file_actions_destroy(&actions); });
    if (piped) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) {
            *error = ErrorText("pipe2", errno);
            return false;
        }
        stdinRead = in[0];
        native.stdinWrite = in[1];
        if (pipe2(out, O_CLOEXEC) != 0) {
            *error = ErrorText("pipe2", errno);
            return false;
        }
        native.stdoutRead = out[0];
        stdoutWrite = out[1];
        posix_spawn_file_actions_adddup2(&actions, stdinRead, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, stdoutWrite, STDOUT_FILENO);
        if (stdio == Stdio::kPipedWithErrors) {
            posix_spawn_file_actions_adddup2(&actions, stdoutWrite, STDERR_FILENO);
        }
    }
    // Nothing else of this process goes on: a descriptor the parent got without close-on-exec
    // (another test's pipe from the test driver, an object's lock) would stay open in the child
    // and every process it starts.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    if (spawned != 0) {
        *error = ErrorText(kKxStartCall, spawned);
        return false;
    }
    native.pid = pid;
    m_processId = static_cast<KxProcessId>(pid);
    native.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (piped) {
        m_outputClosed = false;
        m_reader = std::thread([this] { ReadOutput(); });
    }
    return true;
}

CKxLaunchedChild::~CKxLaunchedChild() {
    if (m_native->pid && !WaitForExit(0)) Kill();
    CloseInput();
    if (m_reader.joinable()) m_reader.join();
    CloseFd(&m_native->stdoutRead);
    CloseFd(&m_native->pidfd);
}

void CKxLaunchedChild::ReadOutput() {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(m_native->stdoutRead, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        Append(buffer, static_cast<std::size_t>(got));
    }
    EndOutput();
}

bool CKxLaunchedChild::WaitForProcess(KxTimeout timeoutMs) {
    Native& native = *m_native;
    if (!native.pid) return false;
    if (native.Reap(false)) return true;
    if (timeoutMs == 0) return false;
    if (native.pidfd < 0) return timeoutMs == kKxWaitForever && native.Reap(true);
    pollfd ended = {native.pidfd, POLLIN, 0};
    const int limit = timeoutMs == kKxWaitForever ? -1 : static_cast<int>(timeoutMs);
    while (poll(&ended, 1, limit) < 0 && errno == EINTR) {
    }
    return native.Reap(false);
}

KxExitCode CKxLaunchedChild::ExitCode() const {
    Native& native = *m_native;
    if (!native.pid || !native.Reap(false)) return kKxStillActive;
    if (WIFEXITED(native.status)) return static_cast<KxExitCode>(WEXITSTATUS(native.status));
    return static_cast<KxExitCode>(WTERMSIG(native.status));
}

void CKxLaunchedChild::Kill() {
    Native& native = *m_native;
    if (!native.pid || native.reaped) return;
    kill(native.pid, SIGKILL);
    native.Reap(true);
}

bool CKxLaunchedChild::WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    for (std::size_t done = 0; done < text.size();) {
        if (m_native->stdinWrite < 0) return false;
        const ssize_t wrote = write(m_native->stdinWrite, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

void CKxLaunchedChild::CloseInput() { CloseFd(&m_native->stdinWrite); }
