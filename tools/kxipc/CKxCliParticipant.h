// The participant behind kxipc.exe: prints every handler call as a protocol event line.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "KxCliCommand.h"
#include "kxipc.h"

// Events printed by the handlers, on the waiting thread:
//   join ID 0|1          OnJoin (1: joined after this participant)
//   quit ID              OnQuit
//   sync SENDER CODE PARAM   OnSyncMessage (then sleeps the sync delay, if any)
//   recv SENDER CODE PARAM   OnReceive
//   handler-send ok|refused, handler-post ok|refused   an armed message, sent inside the handler
//
// Threads: Join, Leave, Members and Arm are called by the main thread, Deliver by the main thread
// and by the handlers (armed messages); the handlers run on the waiting thread. The member list
// messages are guarded by a lock, never held across a call into the library.
class CKxCliParticipant : public CkxIPCParticipant {
public:
    // syncDelayMs: how long OnSyncMessage sleeps after printing, keeping its sender waiting.
    CKxCliParticipant(const char* channelName, std::uint32_t syncDelayMs);
    // Leaves first: the handlers must not run once this class is gone.
    ~CKxCliParticipant() override;

    // Initialises; OnJoin(id, false) events are printed before it returns. Throws what
    // InitializeParticipant throws (the CKxBaseException family).
    void Join();
    // Uninitialises and forgets the member list.
    void Leave();
    bool IsJoined() const { return m_joined; }

    const std::string& Channel() const { return m_channel; }

    // Sends or posts; the library's result (false: refused). report (null for a post): what became
    // of each target of a send, or why it was refused (kxipc_c.h). Throws the CKxBaseException
    // family.
    bool Deliver(const KxCliMessage& message, kxipc_send_report* report = nullptr);

    // The members announced and not gone since, in the order they were announced.
    std::vector<std::uint32_t> Members() const;

    // Arms message to be delivered once, inside the next call of handler, replacing one armed
    // earlier for the same handler.
    void Arm(KxCliCommand::Handler handler, const KxCliMessage& message);

protected:
    void OnJoin(unsigned int participantId, bool joinedLater) override;
    void OnQuit(unsigned int participantId) override;
    void OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                       unsigned long long param) override;
    void OnReceive(unsigned int senderId, unsigned int messageCode,
                   unsigned long long param) override;

private:
    // A message waiting for the next call of one handler.
    struct ArmedMessage {
        bool armed = false;
        KxCliMessage message;
    };

    // Disarms and delivers the message armed for that handler, if any, printing the result; on
    // the waiting thread.
    void DeliverArmed(KxCliCommand::Handler handler);

    const std::string m_channel;
    const std::uint32_t m_syncDelayMs;
    bool m_joined;  // main thread only
    std::mutex m_lock;
    ArmedMessage m_armed[4];  // by KxCliCommand::Handler, guarded by m_lock
};
