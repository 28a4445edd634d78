// Kill points: named places inside the library where a test process can be made to stop and wait
// to be killed, so that reliability tests can end a member at the worst moment.
//
// Compiled in only when KXIPC_KILL_POINTS is defined (the library objects the reliability tests
// link); kxipc.dll is built without it, so there KX_KILL_POINT is nothing at all: no code, no
// symbol, no environment variable read. This header includes no Windows header, so the
// Windows-free ring code can mark its points too.
//
// Use: a test's child process calls KxArmKillPoint(name, readyEventName) in-process, then makes
// the library reach that point. The first thread of the process that reaches the armed point sets
// the named event (created by the test and opened here) and blocks for ever, holding whatever
// locks it holds there, until the test terminates the process. Points that are not armed cost a
// look-up and return at once.
#pragma once

#if defined(KXIPC_KILL_POINTS)

// Arms one point of this process (replacing any point armed before); the event of readyEventName
// is set when a thread reaches it. Any thread. False when either name is null or empty.
bool KxArmKillPoint(const char* name, const char* readyEventName);

// Blocks for ever when name is the armed point; returns at once otherwise.
void KxKillPoint(const char* name);

#define KX_KILL_POINT(name) KxKillPoint(name)

#else

#define KX_KILL_POINT(name) ((void)0)

#endif
