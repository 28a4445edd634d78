// A participant whose handlers do no work of their own beyond counting and an optional hook.
#pragma once

#include <atomic>
#include <functional>

#include "kxipc.h"

// The hooks are set before InitializeParticipant and then run on the waiting thread: onReceive for
// every OnReceive (after the count went up), onJoin and onQuit for those events. Hooks must not
// uninitialise this participant.
class CKxBenchParticipant : public CkxIPCParticipant {
public:
    explicit CKxBenchParticipant(const char* channelName);
    ~CKxBenchParticipant() override;

    std::function<void(unsigned int sender, unsigned int code, unsigned long long param)> onReceive;
    std::function<void(unsigned int id)> onJoin;
    std::function<void(unsigned int id)> onQuit;
    std::atomic<unsigned long long> received;

protected:
    void OnJoin(unsigned int participantId, bool joinedLater) override;
    void OnQuit(unsigned int participantId) override;
    void OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                       unsigned long long param) override;
    void OnReceive(unsigned int senderId, unsigned int messageCode,
                   unsigned long long param) override;
};
