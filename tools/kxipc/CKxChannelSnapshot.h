// A read-only copy of a channel's shared state, for `kxipc members` and `kxipc stat`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KxMessageRing.h"
#include "KxParticipantIdList.h"

// Take() opens the channel's existing kernel objects only (never creates one, so looking at a
// channel cannot bring it into being or keep a half-made one), takes the channel mutex, copies the
// participant-identifier segment and the message-queue segment, and gives the mutex back. The
// words are then read from the copy with the same defensive logic the library uses, so the live
// channel is never touched beyond that one locked copy and never written.
//
// Segments, as the channel lays them out (every word unsigned 32-bit, little-endian):
//   "TKxInterProcessGrowArray" + name + "_Participant_IDs_Array": header, count, 50 identifiers
//   "TKxInterProcessArray" + name + "_Message_Queue":            header, R, W, 398 ring words
// A header word of 0 means the segment's creator has not initialised it yet.
class CKxChannelSnapshot {
public:
    CKxChannelSnapshot();

    // False, with *error set, when the channel does not exist ("no such channel NAME"), its
    // mutex stays held by another process for 10 s, or a segment is smaller than its layout.
    bool Take(const std::string& channelName, std::string* error);

    // Registered identifiers in join order; empty for an uninitialised or invalid segment.
    std::vector<std::uint32_t> ParticipantIds();

    bool QueueInitialized() const { return m_queue[0] != 0; }
    // The queue's ring over the copy (valid while this snapshot lives).
    CKxMessageRing Ring() { return CKxMessageRing(m_queue + 1); }

private:
    std::uint32_t m_ids[1 + CKxParticipantIdList::kElementCount];  // header + elements
    std::uint32_t m_queue[1 + CKxMessageRing::kElementCount];      // header + elements
};
