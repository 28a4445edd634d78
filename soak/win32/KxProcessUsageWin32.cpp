// The calling process's open handles and private bytes, with fallbacks for Wine.
#include "KxProcessUsage.h"

#include "KxWindows.h"

#include <psapi.h>

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
