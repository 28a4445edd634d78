// Kill points of test builds: arm one named point per process, stop there and wait to be killed.
#include "KxKillPoint.h"

#if defined(KXIPC_KILL_POINTS)

#include <cstring>
#include <mutex>
#include <string>

#include "KxWindows.h"

namespace {

// The armed point and its event name; guarded by g_armedLock, which is never held while blocking.
std::mutex g_armedLock;
std::string g_armedName;
std::string g_readyEventName;

}  // namespace

bool KxArmKillPoint(const char* name, const char* readyEventName) {
    if (name == nullptr || *name == '\0' || readyEventName == nullptr || *readyEventName == '\0') {
        return false;
    }
    std::lock_guard<std::mutex> hold(g_armedLock);
    g_armedName = name;
    g_readyEventName = readyEventName;
    return true;
}

void KxKillPoint(const char* name) {
    std::string readyEventName;
    {
        std::lock_guard<std::mutex> hold(g_armedLock);
        if (g_armedName.empty() || std::strcmp(g_armedName.c_str(), name) != 0) return;
        readyEventName = g_readyEventName;
    }
    // Plain kernel calls, not the library's wrappers: the point must not throw, and it may sit
    // inside the wrappers' own callers.
    if (HANDLE ready =
            OpenEventA(EVENT_MODIFY_STATE, FALSE /*bInheritHandle*/, readyEventName.c_str())) {
        SetEvent(ready);
        CloseHandle(ready);
    }
    for (;;) Sleep(INFINITE);
}

#endif
