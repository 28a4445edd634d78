// What the platform decides about named objects beyond their names: which user's objects a
// machine-wide name reaches, and why this thread's last kernel call failed.
#pragma once

#include <string>

#include "KxExport.h"

// The name under which an object that every process of the library opens (the pool's, not one
// channel's) is made: the name itself where named objects are open to every user (Windows), the
// name followed by "." and the user's identifier where they belong to their creating user (Linux),
// so that one user's processes never lock another user's out of the library.
std::string KxUserScopedName(const std::string& name);

// The reason for the calling thread's last failed kernel call, in the platform's words. Kernel
// exceptions carry fixed messages; read this right after catching one to tell a person why (for
// instance that a channel's objects belong to another user). Any thread.
KXIPC_API std::string KxLastSystemErrorText();

// The calling thread's last kernel error as the platform's number (GetLastError, errno), and its
// setting: a failure that one thread saw and another reports passes its reason on with them.
int KxLastSystemError();
void KxSetLastSystemError(int error);
