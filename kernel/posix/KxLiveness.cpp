// Threads and processes by identifier on Linux: gettid and getpid; another thread's end through
// its life lock; what /proc tells of processes and of threads without one.
#include "KxLiveness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <string>

#include "CKxHandleSyncObject.h"
#include "CKxPosixLifeLock.h"
#include "KxExceptions.h"
#include "KxPosixHandle.h"

namespace {

// Whether /proc shows the task (a process, or any thread by its identifier): true when it exists,
// false when it certainly does not, unknown otherwise.
enum class KxTask { Present, Absent, Unknown };

KxTask TaskInProc(std::uint32_t id) {
    struct stat status;
    if (stat(("/proc/" + std::to_string(id)).c_str(), &status) == 0) return KxTask::Present;
    return errno == ENOENT ? KxTask::Absent : KxTask::Unknown;
}

// The state letter of /proc/ID/stat (after the parenthesised command), or 0.
char TaskState(std::uint32_t id) {
    std::ifstream stat("/proc/" + std::to_string(id) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return 0;
    const std::size_t end = line.rfind(')');
    return end == std::string::npos || end + 2 >= line.size() ? 0 : line[end + 2];
}

}  // namespace

KxThreadId KxCurrentThreadId() { return KxPosixCurrentThreadId(); }

KxProcessId KxCurrentProcessId() { return static_cast<KxProcessId>(getpid()); }

namespace {
thread_local std::unique_ptr<CKxPosixLifeLock> t_ownLifeLock;
}  // namespace

CKxHandleSyncObject* KxOpenThreadWaitable(KxThreadId threadId) {
    // A thread holds a life lock when CKxThread started it or it opened itself; for any other the
    // wrapper's constructor throws on the null handle, as for an identifier Windows cannot open.
    int error = 0;
    std::shared_ptr<CKxPosixLifeLock> watch = CKxPosixLifeLock::Watch(threadId, &error);
    if (!watch && threadId == KxPosixCurrentThreadId() && !t_ownLifeLock) {
        // A thread that CKxThread did not start (the application's own) takes its life lock when
        // it first opens itself, so that it can be a member as any thread can on Windows; it holds
        // it until it ends.
        t_ownLifeLock = CKxPosixLifeLock::Hold(&error);
        if (t_ownLifeLock) watch = CKxPosixLifeLock::Watch(threadId, &error);
    }
    KxUniqueWaitable handle(watch ? KxPosixNewHandle(*watch->Waitable(), watch) : nullptr);
    CKxHandleSyncObject* object = new CKxHandleSyncObject(handle.Get(), KxAdoptHandle());
    handle.Release();
    return object;
}

bool KxThreadHasEnded(KxThreadId threadId) {
    int error = 0;
    if (const auto watch = CKxPosixLifeLock::Watch(threadId, &error)) return watch->HasEnded();
    // No life lock. A member's thread holds one from before its registration (a thread opens
    // itself to register) until its end, so the identifier names no member's live thread: the
    // thread ended, maybe microseconds ago (the kernel may still list it while it exits, and a
    // wait for its end has returned already), or it never took part.
    return error == ENOENT;
}

bool KxProcessHasEnded(KxProcessId processId) {
    const KxTask task = TaskInProc(processId);
    return task == KxTask::Absent || (task == KxTask::Present && TaskState(processId) == 'Z');
}

void KxThreadOrigin(KxThreadId threadId, KxProcessId* processId, std::string* executable) {
    *processId = 0;
    executable->clear();
    std::ifstream status("/proc/" + std::to_string(threadId) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 5, "Tgid:") == 0) {
            *processId = static_cast<KxProcessId>(std::stoul(line.substr(5)));
            break;
        }
    }
    if (*processId == 0) return;
    char path[PATH_MAX];
    const ssize_t length =
        readlink(("/proc/" + std::to_string(*processId) + "/exe").c_str(), path, sizeof(path));
    if (length <= 0) return;
    const char* const end = path + length;
    const char* name = end;
    while (name != path && name[-1] != '/') --name;
    executable->assign(name, end);
}
