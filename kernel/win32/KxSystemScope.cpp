// Windows: named objects are made open to every user, and the last error is GetLastError's.
#include "KxSystemScope.h"

#include "KxWindows.h"

std::string KxUserScopedName(const std::string& name) { return name; }

std::string KxLastSystemErrorText() {
    const DWORD error = GetLastError();
    if (error == 0) return "";
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    return "error " + std::to_string(error) + (reason.empty() ? "" : " (" + reason + ")");
}

int KxLastSystemError() { return static_cast<int>(GetLastError()); }

void KxSetLastSystemError(int error) { SetLastError(static_cast<DWORD>(error)); }
