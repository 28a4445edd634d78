// Scoped hold of a channel's lock: taken at construction, given back on every path out.
#pragma once

#include "CIPCCommunicationChannel.h"

class CIPCChannelLock {
public:
    explicit CIPCChannelLock(CIPCCommunicationChannel* channel)
        : m_channel(channel), m_held(channel->Lock()) {}
    ~CIPCChannelLock() {
        if (m_held) m_channel->Unlock();
    }
    CIPCChannelLock(const CIPCChannelLock&) = delete;
    CIPCChannelLock& operator=(const CIPCChannelLock&) = delete;

    bool IsHeld() const { return m_held; }

private:
    CIPCCommunicationChannel* m_channel;
    bool m_held;
};
