// Test seams of test builds: one armed point per process, where a thread stops until it is killed
// or let go, and kernel object names this process cannot create.
#include "KxKillPoint.h"

#if defined(KXIPC_KILL_POINTS)

#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

// Guarded by g_armedLock, which is never held while blocking.
std::mutex g_armedLock;
std::string g_armedName;
std::string g_readyEventName;
std::string g_resumeEventName;  // empty: a kill point
std::set<std::string> g_failingNames;

bool IsGiven(const char* text) { return text != nullptr && *text != '\0'; }

}  // namespace

bool KxArmPausePoint(const char* name, const char* readyEventName, const char* resumeEventName) {
    if (!IsGiven(name) || !IsGiven(readyEventName) || !IsGiven(resumeEventName)) return false;
    std::lock_guard<std::mutex> hold(g_armedLock);
    g_armedName = name;
    g_readyEventName = readyEventName;
    g_resumeEventName = resumeEventName;
    return true;
}

bool KxArmKillPoint(const char* name, const char* readyEventName) {
    if (!IsGiven(name) || !IsGiven(readyEventName)) return false;
    std::lock_guard<std::mutex> hold(g_armedLock);
    g_armedName = name;
    g_readyEventName = readyEventName;
    g_resumeEventName.clear();
    return true;
}

bool KxArmFailingName(const char* objectName) {
    if (!IsGiven(objectName)) return false;
    std::lock_guard<std::mutex> hold(g_armedLock);
    g_failingNames.insert(objectName);
    return true;
}

bool KxFailsName(const char* objectName) {
    if (objectName == nullptr) return false;
    std::lock_guard<std::mutex> hold(g_armedLock);
    return g_failingNames.count(objectName) != 0;
}

void KxKillPoint(const char* name) {
    std::string readyEventName, resumeEventName;
    {
        std::lock_guard<std::mutex> hold(g_armedLock);
        if (g_armedName.empty() || std::strcmp(g_armedName.c_str(), name) != 0) return;
        readyEventName = g_readyEventName;
        resumeEventName = g_resumeEventName;
        // A pause point stops one thread once; a kill point stops every thread that reaches it.
        if (!resumeEventName.empty()) g_armedName.clear();
    }
    KxKillPointSignal(readyEventName.c_str());
    if (!resumeEventName.empty() && KxKillPointAwait(resumeEventName.c_str())) return;
    KxKillPointBlock();
}

#endif
