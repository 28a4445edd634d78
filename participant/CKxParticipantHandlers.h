// What a run of the waiting thread calls: the four handlers of the participant it serves.
#pragma once

// The participant hands its run one of these (the run owns it); the run calls it on its own
// thread only. Whatever a handler throws leaves through these calls.
class CKxParticipantHandlers {
public:
    virtual ~CKxParticipantHandlers() = default;
    virtual void OnJoin(unsigned int participantId, bool joinedLater) = 0;
    virtual void OnQuit(unsigned int participantId) = 0;
    virtual void OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                               unsigned long long param) = 0;
    virtual void OnReceive(unsigned int senderId, unsigned int messageCode,
                           unsigned long long param) = 0;
};
