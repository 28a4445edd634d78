// Whether the thread or process behind an identifier has ended, asked of the platform.
#pragma once

#include "KxWindows.h"

// True when the thread of that identifier has ended: no thread of that identifier exists any more
// (the platform rejects the identifier), or its object is still held open somewhere and is
// signalled. False while it runs, and whenever the platform gives no certain answer (access denied,
// no handle left): callers remove what is found ended, and must never remove a live one on a local
// failure. An identifier the platform has given to a new thread since counts as running.
bool KxThreadHasEnded(DWORD threadId);

// The same for the process of that identifier.
bool KxProcessHasEnded(DWORD processId);
