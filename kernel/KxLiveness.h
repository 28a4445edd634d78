// What the platform tells of the thread or process behind an identifier: whether it has ended,
// and where a thread lives.
#pragma once

#include <string>

#include "KxWindows.h"

// True when the thread of that identifier has ended: no thread of that identifier exists any more
// (the platform rejects the identifier), or its object is still held open somewhere and is
// signalled. False while it runs, and whenever the platform gives no certain answer (access denied,
// no handle left): callers remove what is found ended, and must never remove a live one on a local
// failure. An identifier the platform has given to a new thread since counts as running.
bool KxThreadHasEnded(DWORD threadId);

// The same for the process of that identifier.
bool KxProcessHasEnded(DWORD processId);

// The process of the thread of that identifier in *processId, and that process's executable file
// name without its folder in *executable; 0 and "" where the platform does not tell (no thread of
// that identifier is left, access is denied, the process has ended since). An identifier the
// platform has given to a new thread since names that thread's process. Never throws but for
// memory.
void KxThreadOrigin(DWORD threadId, DWORD* processId, std::string* executable);
