// Process usage on Windows, with fallbacks for Wine.
#include "KxProcessUsage.h"

#include "KxWindows.h"

#include <psapi.h>
#include <tlhelp32.h>

namespace {

// Handle values are multiples of 4 handed out lowest-free-first, so the table is dense: a run of
// this many unused values means that none follows.
const ULONG_PTR kUnusedRunEnd = 4096;

}  // namespace

std::uint32_t KxOpenHandleCount() {
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles != 0) return handles;
    std::uint32_t count = 0;
    ULONG_PTR lastOpen = 0;
    for (ULONG_PTR value = 4; value - lastOpen <= 4 * kUnusedRunEnd; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            lastOpen = value;
        }
    }
    return count;
}

std::uint64_t KxPrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters))) {
        return 0;
    }
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

std::uint32_t KxThreadCount(KxProcessId processId) {
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    std::uint32_t threads = 0;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == processId) threads = entry.cntThreads;
    }
    CloseHandle(snapshot);
    return threads;
}
