// Line output under one lock.
#include "KxCliOutput.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "CKxChannelWatch.h"

namespace {

std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

void KxCliSay(const char* format, ...) {
    std::lock_guard<std::mutex> hold(OutputLock());
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void KxCliError(const std::string& text) {
    std::lock_guard<std::mutex> hold(OutputLock());
    std::fprintf(stderr, "error: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string KxCliMemberText(std::uint32_t id, bool withOrigin) {
    std::string text = std::to_string(id);
    if (!withOrigin) return text;
    std::uint32_t processId = 0;
    std::string executable;
    CKxChannelWatch::Origin(id, &processId, &executable);
    return text + " pid " + std::to_string(processId) + " " +
           (executable.empty() ? std::string("?") : executable);
}

void KxCliSayMembers(const std::vector<std::uint32_t>& ids, bool withOrigin) {
    std::string line = "members";
    for (std::uint32_t id : ids) line += " " + KxCliMemberText(id, withOrigin);
    KxCliSay("%s", line.c_str());
}
