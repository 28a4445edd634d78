// Counting handlers of the benchmark participants.
#include "CKxBenchParticipant.h"

CKxBenchParticipant::CKxBenchParticipant(const char* channelName)
    : CkxIPCParticipant(channelName), received(0) {}

// Handlers run until the waiting thread ends, and they use the hooks of this derived class.
CKxBenchParticipant::~CKxBenchParticipant() { UninitializeParticipant(); }

void CKxBenchParticipant::OnJoin(unsigned int participantId, bool) {
    if (onJoin) onJoin(participantId);
}

void CKxBenchParticipant::OnQuit(unsigned int participantId) {
    if (onQuit) onQuit(participantId);
}

void CKxBenchParticipant::OnSyncMessage(unsigned int, unsigned int, unsigned long long) {}

void CKxBenchParticipant::OnReceive(unsigned int senderId, unsigned int messageCode,
                                    unsigned long long param) {
    received.fetch_add(1, std::memory_order_relaxed);
    if (onReceive) onReceive(senderId, messageCode, param);
}
