// Handler calls printed as event lines; sends made on behalf of the main thread or a handler.
#include "CKxCliParticipant.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "KxChannelLayout.h"
#include "KxCliOutput.h"

CKxCliParticipant::CKxCliParticipant(const char* channelName, std::uint32_t syncDelayMs)
    : CkxIPCParticipant(channelName),
      m_channel(channelName),
      m_syncDelayMs(syncDelayMs),
      m_joined(false) {}

CKxCliParticipant::~CKxCliParticipant() { Leave(); }

void CKxCliParticipant::Join() {
    InitializeParticipant();
    m_joined = true;
}

void CKxCliParticipant::Leave() {
    UninitializeParticipant();
    m_joined = false;
}

bool CKxCliParticipant::Deliver(const KxCliMessage& message, kxipc_send_report* report) {
    const unsigned int count = static_cast<unsigned int>(message.targets.size());
    const unsigned int* ids = message.toAllOthers ? nullptr : message.targets.data();
    if (!message.toAllOthers && count == 0) {  // data() of an empty list may be null
        if (report) {
            report->refusal = KXIPC_REFUSED_NO_TARGETS;
            report->count = 0;
        }
        return false;
    }
    return message.synchronous ? SendIPMessage(count, ids, message.code, message.param, report)
                               : PostIPMessage(count, ids, message.code, message.param);
}

std::vector<std::uint32_t> CKxCliParticipant::Members() const {
    std::vector<std::uint32_t> members(kKxMaxParticipants);
    members.resize(
        std::min<std::size_t>(GetMembers(members.data(), kKxMaxParticipants), kKxMaxParticipants));
    return members;
}

void CKxCliParticipant::Arm(KxCliCommand::Handler handler, const KxCliMessage& message) {
    std::lock_guard<std::mutex> hold(m_lock);
    ArmedMessage& slot = m_armed[static_cast<int>(handler)];
    slot.armed = true;
    slot.message = message;
}

void CKxCliParticipant::OnJoin(unsigned int participantId, bool joinedLater) {
    KxCliSay("join %u %d", participantId, joinedLater ? 1 : 0);
    DeliverArmed(KxCliCommand::Handler::kJoin);
}

void CKxCliParticipant::OnQuit(unsigned int participantId) {
    KxCliSay("quit %u", participantId);
    DeliverArmed(KxCliCommand::Handler::kQuit);
}

void CKxCliParticipant::OnSyncMessage(unsigned int senderId, unsigned int messageCode,
                                      unsigned long long param) {
    KxCliSay("sync %u %u %llu", senderId, messageCode, param);
    if (m_syncDelayMs != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(m_syncDelayMs));
    }
    DeliverArmed(KxCliCommand::Handler::kSync);
}

void CKxCliParticipant::OnReceive(unsigned int senderId, unsigned int messageCode,
                                  unsigned long long param) {
    KxCliSay("recv %u %u %llu", senderId, messageCode, param);
    DeliverArmed(KxCliCommand::Handler::kRecv);
}

void CKxCliParticipant::DeliverArmed(KxCliCommand::Handler handler) {
    KxCliMessage message;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ArmedMessage* slot = &m_armed[static_cast<int>(handler)];
        if (!slot->armed) return;
        slot->armed = false;
        message = slot->message;
    }
    const char* what = message.synchronous ? "handler-send" : "handler-post";
    // Nothing may leave a handler: an exception would end this participant's membership.
    try {
        KxCliSay("%s %s", what, Deliver(message) ? "ok" : "refused");
    } catch (const CKxBaseException& failure) {
        KxCliError("channel " + m_channel + ": " + what + ": " + failure.GetErrorMessage());
    }
}
