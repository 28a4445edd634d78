// Process usage on Linux, read from /proc.
#include <dirent.h>

#include <fstream>
#include <string>

#include "KxProcessUsage.h"

namespace {

// Entries of a /proc folder, without "." and ".."; 0 when it cannot be read.
std::uint32_t CountEntries(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return 0;
    std::uint32_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace

std::uint32_t KxOpenHandleCount() {
    // The listing's own descriptor is among those counted.
    const std::uint32_t count = CountEntries("/proc/self/fd");
    return count > 0 ? count - 1 : 0;
}

std::uint64_t KxPrivateBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        std::uint64_t kilobytes = 0;
        if (key == "RssAnon:" && status >> kilobytes) return kilobytes * 1024;
        status.ignore(4096, '\n');
    }
    return 0;
}

std::uint32_t KxThreadCount(KxProcessId processId) {
    return CountEntries("/proc/" + std::to_string(processId) + "/task");
}
