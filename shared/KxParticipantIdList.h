// The channel's participant-identifier array, as logic over its 51 elements.
//
// Windows-free on purpose (standard headers only), like the message ring.
//
// Layout of the 51 elements (unsigned 32-bit; the segment's header word lies before them and
// belongs to the channel). Written only by a participant that holds the channel mutex.
//
//   element 0      count of participants, 0 to 50
//   elements 1-50  participant identifiers in join order; only elements 1 to count mean anything
//
// A zero-filled segment is an empty list. Invariants every writer keeps: no identifier stands twice
// among elements 1 to count; a new identifier is written at element count + 1 before the count is
// raised; a removal moves the successors down one element and lowers the count, and the element
// that was last keeps its old value.
//
// Defensive reading: the segment can be written by any process of any user. A count above 50
// makes the list invalid: it then reads as empty and refuses every change, and no access ever
// leaves the 51 elements.
#pragma once

#include <cstdint>

#include "KxChannelLayout.h"

class CKxParticipantIdList {
public:
    // elements: the array's first 51 elements (not its header word); must stay valid while the
    // list is used. The list owns nothing; the caller holds the channel mutex for every call.
    explicit CKxParticipantIdList(std::uint32_t* elements);

    // Makes an empty list: count and every identifier 0.
    void Initialize();

    // True when the count is at most 50.
    bool IsValid() const;

    // Number of participants; 0 when the list is invalid.
    std::uint32_t Count() const;

    // True when id stands among the first Count() identifiers; *position (may be null) gets its
    // 0-based place.
    bool Find(std::uint32_t id, std::uint32_t* position) const;

    // Identifier at 0-based place i; 0 when i is not below Count().
    std::uint32_t At(std::uint32_t i) const;

    // Appends id. False, with nothing written, when id is present already, the list holds 50, or
    // the list is invalid.
    bool Add(std::uint32_t id);

    // Removes id, keeping the order of the others. False, with nothing written, when id is absent
    // or the list is invalid.
    bool Remove(std::uint32_t id);

private:
    std::uint32_t Load(std::uint32_t element) const;
    void Store(std::uint32_t element, std::uint32_t value);

    std::uint32_t* m_elements;
};

static_assert(sizeof(std::uint32_t) * (1 + kKxIdArrayElements) == 208,
              "the participant-identifier segment: header word, count and 50 identifiers");
