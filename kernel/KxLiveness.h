// Threads and processes by identifier: the caller's own, whether another has ended, where a thread
// lives, and a thread as an object to wait on.
#pragma once

#include <string>

#include "KxPlatformTypes.h"

class CKxHandleSyncObject;

// The calling thread's identifier. Never fails.
KxThreadId KxCurrentThreadId();
// The calling process's identifier. Never fails.
KxProcessId KxCurrentProcessId();

// A new object, owned by the caller, whose wait succeeds once the thread of that identifier (of
// any process) has ended. Throws CKxHandleSyncObjectException when no thread of that identifier
// can be opened (it has ended and is gone, or access is denied).
CKxHandleSyncObject* KxOpenThreadWaitable(KxThreadId threadId);

// True when the thread of that identifier has ended: no thread of that identifier exists any more
// (the platform rejects the identifier), or its object is still held open somewhere and is
// signalled. False while it runs, and whenever the platform gives no certain answer (access denied,
// no handle left): callers remove what is found ended, and must never remove a live one on a local
// failure. An identifier the platform has given to a new thread since counts as running.
bool KxThreadHasEnded(KxThreadId threadId);

// The same for the process of that identifier.
bool KxProcessHasEnded(KxProcessId processId);

// The process of the thread of that identifier in *processId, and that process's executable file
// name without its folder in *executable; 0 and "" where the platform does not tell (no thread of
// that identifier is left, access is denied, the process has ended since). An identifier the
// platform has given to a new thread since names that thread's process. Never throws but for
// memory.
void KxThreadOrigin(KxThreadId threadId, KxProcessId* processId, std::string* executable);
