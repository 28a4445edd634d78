// Following a channel's joins and quits from outside, as they happen, for the tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KxChannelLayout.h"
#include "KxExport.h"

class CKxEvent;
class CKxHandleSyncObject;

// One change of a channel's membership.
struct KxMemberChange {
    std::uint32_t id;
    bool joined;  // true: registered since the previous look; false: quit
};

// Look() takes a CKxChannelSnapshot (existing objects only, one locked copy: watching never joins,
// never creates an object and never writes) and compares its member list with the previous one. For
// every member it also holds that member's waiting thread, opened by identifier with synchronise
// access, so that Wait() wakes as soon as the thread ends, however it ends (the member left, its
// process died), whether or not a member has removed it from the list yet. A member is reported
// joined once, at the first look that lists it, and quit once: at the end of its thread or at its
// leaving the list, whichever a look sees first. A thread that cannot be opened (access denied) is
// followed through the list alone.
//
// Exported from kxipc.dll for the tools built with it; not part of the installed interface. One
// thread looks and waits; any thread may interrupt.
class KXIPC_API CKxChannelWatch {
public:
    // Throws CKxEventException when the interrupt event cannot be made.
    CKxChannelWatch();
    // Closes the members' thread objects and the interrupt event.
    ~CKxChannelWatch();
    CKxChannelWatch(const CKxChannelWatch&) = delete;
    CKxChannelWatch& operator=(const CKxChannelWatch&) = delete;

    // Looks at the channel and appends what changed since the previous look to *changes: first the
    // quits of members seen before, then the joins in join order (the first look reports every
    // member as joined), a join followed by its quit when its thread is gone for good. False,
    // with *error set and nothing appended, when the channel cannot be read (CKxChannelSnapshot::
    // Take), and at the first look when it does not exist; after that, a channel whose last member
    // has gone counts as one without members, and the watch goes on. Throws the CKxBaseException
    // family when a wait on a thread object fails.
    bool Look(const std::string& channelName, std::vector<KxMemberChange>* changes,
              std::string* error);
    // Waits until the thread of a member the last look saw ends, Interrupt is called, or timeoutMs
    // pass; a quit is then reported by the next look. True once interrupted. Throws the
    // CKxBaseException family when the wait fails.
    bool Wait(KxIPCTimeout timeoutMs);
    // Any thread: the current Wait and every later one return true at once.
    void Interrupt();

    // The process of member id's waiting thread and that process's executable file name, without
    // its folder; 0 and "" where the platform does not tell (the thread or its process has gone,
    // access is denied).
    static void Origin(std::uint32_t id, std::uint32_t* processId, std::string* executable);

private:
    // A member the last look listed.
    struct Member {
        std::uint32_t id;
        CKxHandleSyncObject* thread;  // owned; null once its quit is reported or if it cannot open
        bool quit;                    // its quit is reported; it stays until it leaves the list
    };

    // Reports the quit of m_members[index], once, and closes its thread object.
    void Quit(std::uint32_t index, std::vector<KxMemberChange>* changes);
    // Whether a member of that identifier is tracked.
    bool Tracks(std::uint32_t id) const;

    CKxEvent* m_interrupt;                 // manual-reset
    Member m_members[kKxMaxParticipants];  // the last look's list, in join order
    std::uint32_t m_count;
    bool m_looked;  // a look has succeeded
};
