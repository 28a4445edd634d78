// One message in process memory, as senders fill it and receivers get it back from the queue.
#pragma once

#include <cstdint>

// Sender ID, message code, parameter and acknowledge key, all 0 after construction. Codes
// 0xFFFF0000 and above are the library's own (0xFFFF0000: join notice); an acknowledge key of 0
// means that the sender waits for nobody. Each setter stores its value and returns true.
class CkxIPCMessage {
public:
    CkxIPCMessage();
    virtual ~CkxIPCMessage();

    bool SetSenderID(std::uint32_t senderId);
    std::uint32_t GetSenderID() const;
    bool SetMessageCode(std::uint32_t messageCode);
    std::uint32_t GetMessageCode() const;
    bool SetParam(std::uint64_t param);
    std::uint64_t GetParam() const;
    bool SetAcknowledgeKey(std::uint64_t acknowledgeKey);
    std::uint64_t GetAcknowledgeKey() const;

private:
    std::uint32_t m_senderId;
    std::uint32_t m_messageCode;
    std::uint64_t m_param;
    std::uint64_t m_acknowledgeKey;
};
