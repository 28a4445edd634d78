// Test seams: named places inside the library where a test process can be made to stop (until it
// is killed, or until the test lets it go on), and kernel object names whose creation a test
// process can make fail, so that reliability tests reach the rare paths on purpose.
//
// Compiled in only when KXIPC_KILL_POINTS is defined (the library objects the reliability tests
// link); kxipc.dll is built without it, so there KX_KILL_POINT is nothing and KX_FAILS_NAME is the
// constant false: no code, no symbol, no environment variable read. This header includes no
// Windows header, so the Windows-free ring code can mark its points too.
//
// Use: a test's child process arms a point or a name in-process, then makes the library reach it.
// The first thread of the process that reaches the armed point sets the named event (created by
// the test and opened here) and blocks, holding whatever locks it holds there: for ever (a kill
// point, until the test terminates the process) or until the test sets the resume event (a pause
// point, which then disarms itself). Points that are not armed cost a look-up and return at once.
#pragma once

#if defined(KXIPC_KILL_POINTS)

// Arms one point of this process (replacing any point armed before); the event of readyEventName
// is set when a thread reaches it, which then blocks for ever. Any thread. False when either name
// is null or empty.
bool KxArmKillPoint(const char* name, const char* readyEventName);

// As KxArmKillPoint, but the thread that reaches the point goes on once the event of
// resumeEventName is set, and the point is disarmed. False when a name is null or empty.
bool KxArmPausePoint(const char* name, const char* readyEventName, const char* resumeEventName);

// From now on this process cannot create or open the named mutex or event objectName: the
// wrapper's constructor fails as the platform's call would (for instance for a name that a kernel
// object of another kind holds). Any thread; any number of names. False for a null or empty name.
bool KxArmFailingName(const char* objectName);

// Blocks when name is the armed point; returns at once otherwise.
void KxKillPoint(const char* name);

// Whether objectName was armed with KxArmFailingName.
bool KxFailsName(const char* objectName);

// The platform's part, used by KxKillPoint alone: plain kernel calls, not the library's wrappers,
// since a point must not throw and may sit inside the wrappers' own callers.
// Sets the named event if it exists.
void KxKillPointSignal(const char* eventName);
// Blocks until the named event is set and returns true; false at once when it does not exist.
bool KxKillPointAwait(const char* eventName);
// Blocks the calling thread for ever.
[[noreturn]] void KxKillPointBlock();

#define KX_KILL_POINT(name) KxKillPoint(name)
#define KX_FAILS_NAME(objectName) KxFailsName(objectName)

#else

#define KX_KILL_POINT(name) ((void)0)
#define KX_FAILS_NAME(objectName) false

#endif
