/* kxipc's C interface: take part in a channel from C, from any Windows compiler and language. */
/*
 * Plain C (C99 and C++), fixed-width types, no <windows.h>, exported with C linkage from kxipc.dll
 * beside the C++ classes. MSVC-built programs link kxipc.lib, MinGW-built ones libkxipc.dll.a;
 * other languages call the same functions through their foreign-function interface.
 *
 * Every function returns a kxipc_status. On a failure, and on a refused send or post, the
 * library's own message text (for a kernel failure, the exact text of the exception the C++
 * interface would throw) can be read with kxipc_last_error() on the same thread, until that
 * thread's next call. No C++ exception ever leaves a function of this interface, and a failing
 * call loses no handle and no memory.
 *
 * Calling convention: every function and every callback is KXIPC_CALL, which is __cdecl on
 * Windows. Declare the callbacks with it too, so that a program compiled with another default
 * convention (MSVC's /Gv) still calls and is called as the library expects.
 *
 * Threads: any thread may call any function, except that a callback must not leave, rejoin or
 * close its own participant, nor close any participant (KXIPC_E_STATE: a close waits until the
 * closed participant's callbacks are over). The callbacks of a participant run on its waiting
 * thread, one at a time; they may send, post, join, and leave or rejoin other participants. A
 * synchronous send, a join or a rejoin made inside a callback goes on dispatching the callback's
 * participant while it waits, so callbacks can be entered again; a leave made there does not wait
 * for the other participant's callbacks to end.
 */
#ifndef KXIPC_C_H
#define KXIPC_C_H

#include <stdint.h>

#include "KxExport.h"

/** The functions' import (or export) decoration. */
#define KXIPC_C_API KXIPC_API

/** The calling convention of the functions and the callbacks: __cdecl on Windows (on x64 the
    platform's standard convention, which code compiled with /Gv does not use by default),
    nothing elsewhere. */
#if defined(_WIN32)
#define KXIPC_CALL __cdecl
#else
#define KXIPC_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** The result of every function: 0 for success, 1 for a refused send or post, negative for an
    error (read the text with kxipc_last_error). */
typedef int32_t kxipc_status;

/** The call did what it was asked. */
#define KXIPC_OK 0
/** A send or post was refused and nothing was queued; the report says why. */
#define KXIPC_REFUSED 1
/** A required pointer was null, a count too large, or a name empty. */
#define KXIPC_E_ARGUMENT (-1)
/** The participant handle is not one this process holds open: null, closed (also when a newer
    participant took its place in the library's table), or never made. */
#define KXIPC_E_HANDLE (-2)
/** Not possible in the participant's state: leave when not joined, rejoin when joined, or leave,
    rejoin or close from one of its own callbacks. */
#define KXIPC_E_STATE (-3)
/** The channel already has its 50 members: nothing was registered. */
#define KXIPC_E_CHANNEL_FULL (-4)
/** The platform refused a kernel object or a wait (a name held by an object of another kind, a
    name the platform rejects, no handle left, ...). */
#define KXIPC_E_KERNEL (-5)
/** Memory ran out. */
#define KXIPC_E_MEMORY (-6)

/** The most targets one message can have: the largest record the channel's queue holds. */
#define KXIPC_MAX_TARGETS 195

/** Why a send or post queued nothing (kxipc_send_report.refusal); KXIPC_QUEUED when it was
    queued. */
#define KXIPC_QUEUED 0
/** The participant is not joined, or is leaving. */
#define KXIPC_REFUSED_NOT_RUNNING 1
/** The code is 0xFFFF0000 or above, a range the library keeps for itself. */
#define KXIPC_REFUSED_RESERVED_CODE 2
/** A target is not a member of the channel (its outcome is KXIPC_TARGET_ABSENT). */
#define KXIPC_REFUSED_ABSENT 3
/** The channel's queue has no room for the message now. */
#define KXIPC_REFUSED_NO_ROOM 4
/** There is no target: an empty list, or "every other member" while alone. */
#define KXIPC_REFUSED_NO_TARGETS 5
/** More targets than one message can have (KXIPC_MAX_TARGETS); the report lists none. */
#define KXIPC_REFUSED_TOO_MANY_TARGETS 6

/** What became of one target of a synchronous send (kxipc_send_report.outcomes). */
#define KXIPC_TARGET_NOT_QUEUED 0
/** It handled the message up to its OnSyncMessage and acknowledged it. */
#define KXIPC_TARGET_ACKNOWLEDGED 1
/** It left or died before the send returned; it may have handled the message before it went. */
#define KXIPC_TARGET_DEPARTED 2
/** It had not acknowledged the message when the send stopped waiting (after 25 000 ms). */
#define KXIPC_TARGET_PENDING 3
/** It was not a member when the message was to be queued (the send was refused). */
#define KXIPC_TARGET_ABSENT 4

/** Who a synchronous send reached, filled by the library (C: kxipc_send; C++:
    CkxIPCParticipant::SendIPMessage with a report). 1 568 bytes, no padding: two 32-bit words,
    then two arrays of KXIPC_MAX_TARGETS 32-bit words. The library writes refusal, count and the
    first count entries of each array; the entries from count on keep what they held. */
typedef struct kxipc_send_report {
    /** KXIPC_QUEUED, or why nothing was queued (KXIPC_REFUSED_...). */
    uint32_t refusal;
    /** How many entries targets and outcomes hold: one per listed target, in list order (an
        identifier listed twice has two), or the other members at that moment for a send to every
        other member. */
    uint32_t count;
    /** The targets. */
    uint32_t targets[KXIPC_MAX_TARGETS];
    /** Each target's outcome (KXIPC_TARGET_...). */
    uint32_t outcomes[KXIPC_MAX_TARGETS];
} kxipc_send_report;

/** A participant of this process, made by kxipc_join and valid until kxipc_close. */
typedef struct kxipc_participant kxipc_participant;

/** The four handlers, KXIPC_CALL functions. Each runs on the participant's waiting thread with
    the user pointer given to kxipc_join; a null function pointer ignores that event. */
typedef struct kxipc_callbacks {
    /** A member present at the join (joined_later 0) or one that joined later (1). */
    void(KXIPC_CALL* on_join)(void* user, uint32_t id, int32_t joined_later);
    /** A member left or died. */
    void(KXIPC_CALL* on_quit)(void* user, uint32_t id);
    /** A synchronous message, before it is acknowledged: its sender is still waiting. */
    void(KXIPC_CALL* on_sync_message)(void* user, uint32_t sender, uint32_t code, uint64_t param);
    /** Every message, sent or posted, after it was acknowledged. */
    void(KXIPC_CALL* on_receive)(void* user, uint32_t sender, uint32_t code, uint64_t param);
} kxipc_callbacks;

/** Joins channel: a new participant whose handle goes to *participant (null on failure).
    callbacks is copied; null for none (a participant that only sends). Returns once every member
    present acknowledged the join, or after 25 000 ms. KXIPC_E_CHANNEL_FULL at once when the
    channel has 50 members. */
KXIPC_C_API kxipc_status KXIPC_CALL kxipc_join(const char* channel,
                                               const kxipc_callbacks* callbacks, void* user,
                                               kxipc_participant** participant);
/** The participant's identifier: its waiting thread's identifier, kept after it left. */
KXIPC_C_API kxipc_status KXIPC_CALL kxipc_id(kxipc_participant* participant, uint32_t* id);
/** The other members, in the order they were announced, into ids (room for capacity; null when
    capacity is 0); *count gets their number, also when it exceeds capacity (then only capacity
    are written). count is required (KXIPC_E_ARGUMENT). */
KXIPC_C_API kxipc_status KXIPC_CALL kxipc_members(kxipc_participant* participant, uint32_t* ids,
                                                  uint32_t capacity, uint32_t* count);
/** Sends code and param to count targets (targets null: every other member, count ignored) and
    waits until each acknowledged it, at most 25 000 ms (inside a callback: dispatching meanwhile).
    KXIPC_OK when it was queued, acknowledged or not; KXIPC_REFUSED when nothing was queued, with
    the reason in the report and in kxipc_last_error's text. report (may be null) gets what became
    of each target; after an error (a negative status) its content is undefined. */
KXIPC_C_API kxipc_status KXIPC_CALL kxipc_send(kxipc_participant* participant,
                                               const uint32_t* targets, uint32_t count,
                                               uint32_t code, uint64_t param,
                                               kxipc_send_report* report);
/** As kxipc_send, but returns once the message is queued; a refusal's reason is in
    kxipc_last_error's text. */
KXIPC_C_API kxipc_status KXIPC_CALL kxipc_post(kxipc_participant* participant,
                                               const uint32_t* targets, uint32_t count,
                                               uint32_t code, uint64_t param);
/** Leaves the channel; the handle stays valid for kxipc_rejoin and kxipc_close. */
KXIPC_C_API kxipc_status KXIPC_CALL kxipc_leave(kxipc_participant* participant);
/** Joins the same channel again, under a new identifier. */
KXIPC_C_API kxipc_status KXIPC_CALL kxipc_rejoin(kxipc_participant* participant);
/** Leaves if joined and frees the participant: no callback runs once it returns, and the handle
    is invalid from then on (a second close gives KXIPC_E_HANDLE). */
KXIPC_C_API kxipc_status KXIPC_CALL kxipc_close(kxipc_participant* participant);
/** The message of the calling thread's last failed or refused call ("" after a success); valid
    until the thread's next call of this interface. */
KXIPC_C_API const char* KXIPC_CALL kxipc_last_error(void);
/** The library's version, "MAJOR.MINOR.PATCH". */
KXIPC_C_API const char* KXIPC_CALL kxipc_version(void);

#ifdef __cplusplus
}
#endif

#endif /* KXIPC_C_H */
