// One message in process memory.
#include "CkxIPCMessage.h"

CkxIPCMessage::CkxIPCMessage() : m_senderId(0), m_messageCode(0), m_param(0), m_acknowledgeKey(0) {}

CkxIPCMessage::~CkxIPCMessage() = default;

bool CkxIPCMessage::SetSenderID(std::uint32_t senderId) {
    m_senderId = senderId;
    return true;
}

std::uint32_t CkxIPCMessage::GetSenderID() const { return m_senderId; }

bool CkxIPCMessage::SetMessageCode(std::uint32_t messageCode) {
    m_messageCode = messageCode;
    return true;
}

std::uint32_t CkxIPCMessage::GetMessageCode() const { return m_messageCode; }

bool CkxIPCMessage::SetParam(std::uint64_t param) {
    m_param = param;
    return true;
}

std::uint64_t CkxIPCMessage::GetParam() const { return m_param; }

bool CkxIPCMessage::SetAcknowledgeKey(std::uint64_t acknowledgeKey) {
    m_acknowledgeKey = acknowledgeKey;
    return true;
}

std::uint64_t CkxIPCMessage::GetAcknowledgeKey() const { return m_acknowledgeKey; }
