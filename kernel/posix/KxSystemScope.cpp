// Linux: a named object belongs to the user who made it (mode 0600), and the last error is errno,
// which the kernel classes set to the cause before they throw.
#include "KxSystemScope.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string KxUserScopedName(const std::string& name) {
    return name + "." + std::to_string(static_cast<unsigned long>(geteuid()));
}

std::string KxLastSystemErrorText() {
    const int error = errno;
    if (error == 0) return "";
    std::string text = std::strerror(error);
    if (error == EACCES) text += ": the object belongs to another user";
    return text;
}

int KxLastSystemError() { return errno; }

void KxSetLastSystemError(int error) { errno = error; }
