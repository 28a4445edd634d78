// The channel's single message queue: one ring of records in a named 1604-byte segment, shared by
// every participant of the channel.
#pragma once

#include <cstdint>
#include <string>

#include "CkxIPCMessage.h"
#include "KxMessageRing.h"
#include "TKxInterProcessArray.h"

// Segment "TKxInterProcessArray" + name (the channel passes its name + "_Message_Queue"):
//   offset 0   header word: 0 in a fresh segment, 1 once the first queue object has initialised
//              R = W = 2 and the ring to zeros
//   offset 4   the ring's 400 elements: R, W and 398 ring words (layout in KxMessageRing.h)
// Each record lists all its recipients with a state of their own; a record's room is given back
// once every recipient has acknowledged it and every older record has been given back.
//
// The queue takes no lock: the caller holds the channel mutex for every call, the constructor
// included. The operations return false for a missing argument, an empty or full ring, no entry in
// the needed state, or a segment found inconsistent; they throw nothing of their own.
class CkxIPCMessageQueue {
public:
    // Creates or opens the segment and initialises it when its header word is 0. Throws what
    // TKxInterProcessArray throws.
    explicit CkxIPCMessageQueue(const std::string& name);
    virtual ~CkxIPCMessageQueue();

    CkxIPCMessageQueue(const CkxIPCMessageQueue&) = delete;
    CkxIPCMessageQueue& operator=(const CkxIPCMessageQueue&) = delete;

    // Writes one record for count recipients (1 to 195; identifiers not checked), all pending.
    // False, with nothing written, when an argument is missing or the record does not fit.
    // *position (when given) gets the record's position, for RecipientStates.
    bool AddMessage(std::uint32_t count, const std::uint32_t* recipients,
                    const CkxIPCMessage* message, std::uint32_t* position = nullptr);

    // The states of the count entries of the record at position, if a record reached from the
    // oldest starts there with count recipients and acknowledge key key; false otherwise (it was
    // given back, or the ring is inconsistent).
    bool RecipientStates(std::uint32_t position, std::uint64_t key, std::uint32_t count,
                         std::uint32_t* states) const;

    // Takes id's oldest pending message into *message; the entry becomes received.
    bool GetMessage(std::uint32_t id, CkxIPCMessage* message);

    // Whether id has a pending message, that is whether GetMessage would give one; changes nothing.
    bool HasMessage(std::uint32_t id);

    // Acknowledges id's oldest received entry and gives back the room of every done record from
    // the oldest on. *senderOut and *keyOut get the record's sender and key when this
    // acknowledgement completed a record whose key is not 0, and 0 otherwise.
    bool AcknowledgeMessage(std::uint32_t id, std::uint32_t* senderOut, std::uint64_t* keyOut);

    // Drains id's pending messages in one pass (CKxMessageRing::TakeAll): up to capacity of them,
    // oldest first, into taken[0 .. *takenCount - 1] with their record positions. Posted messages
    // (key 0) are acknowledged at once and their room given back; each other one is received and
    // must be acknowledged with AcknowledgeMessageAt(id, its position). Allocation-free.
    bool TakeMessages(std::uint32_t id, KxRingTakenMessage* taken, std::uint32_t capacity,
                      std::uint32_t* takenCount);

    // As AcknowledgeMessage, for id's first received entry in the record at position (one that
    // TakeMessages gave); false also when no record reached from the oldest starts there.
    bool AcknowledgeMessageAt(std::uint32_t id, std::uint32_t position, std::uint32_t* senderOut,
                              std::uint64_t* keyOut);

    // Finishes an acknowledgement that a holder of the channel mutex died in before its give-back
    // (CKxMessageRing::SweepAbandonedAcknowledgement), with the same outputs; a no-op between
    // complete operations.
    bool SweepAbandonedAcknowledgement(std::uint32_t* senderOut, std::uint64_t* keyOut);

    // The ring, for readers that only look (the diagnostic tool).
    const CKxMessageRing& GetRing() const;

private:
    TKxInterProcessArray<std::uint32_t>* m_array;  // owned
    CKxMessageRing m_ring;                         // over m_array's elements
};

static_assert(sizeof(std::uint32_t) * (1 + kKxQueueElements) == 1604,
              "the queue segment: header word, R, W and 398 ring words");
