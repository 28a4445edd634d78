// A read-only copy of a channel's shared state, for the tools that look at a channel from outside.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KxChannelLayout.h"
#include "KxExport.h"
#include "KxMessageRing.h"

// Take() opens the channel's existing kernel objects only (never creates one, so looking at a
// channel cannot bring it into being or keep a half-made one), takes the channel mutex (a mutex
// abandoned by a member that died holding it counts as taken), copies the participant-identifier
// and queue segments, and gives the mutex back. The words are then read from the copy with the
// library's own defensive logic: the live channel is never written and never touched beyond that
// one locked copy.
//
// Exported from kxipc.dll for the tools built with it (kxipc.exe, the soak driver); not part of the
// installed interface. One object per thread.
class KXIPC_API CKxChannelSnapshot {
public:
    CKxChannelSnapshot();

    // False, with *error set, when the channel does not exist ("no such channel NAME"), the name is
    // one the platform refuses (KxChannelNameProblem), its mutex stays held by another process for
    // 10 s, or a segment is smaller than its layout. Throws the CKxBaseException family when a
    // kernel call fails otherwise.
    bool Take(const std::string& channelName, std::string* error);
    // Take, except that a channel that does not exist is no failure: true with *exists false and
    // nothing registered (ParticipantIds empty, QueueInitialized false).
    bool TakeIfExists(const std::string& channelName, bool* exists, std::string* error);

    // Registered identifiers in join order; empty for an uninitialised or invalid segment.
    std::vector<std::uint32_t> ParticipantIds() const;

    bool QueueInitialized() const { return m_queue[0] != 0; }
    // The queue's ring over the copy (valid while this snapshot lives and is not taken again).
    CKxMessageRing Ring() { return CKxMessageRing(m_queue + 1); }

private:
    std::uint32_t m_ids[1 + kKxIdArrayElements];  // header + elements
    std::uint32_t m_queue[1 + kKxQueueElements];  // header + elements
};
