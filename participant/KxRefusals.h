// Why a send or post queued nothing, in words: one table for the C interface and the CLI.
#pragma once

#include <cstdint>

#include "kxipc_c.h"

// One reason of kxipc_send_report.refusal: the word the CLI prints after "refused", and the text
// the C interface gives kxipc_last_error after "refused: ".
struct KxRefusal {
    std::uint32_t refusal;
    const char* word;
    const char* text;
};

// The entry of refusal; null for KXIPC_QUEUED and for a value no refusal has.
inline const KxRefusal* KxFindRefusal(std::uint32_t refusal) {
    static const KxRefusal kRefusals[] = {
        {KXIPC_REFUSED_NOT_RUNNING, "not-running", "the participant is not joined, or is leaving"},
        {KXIPC_REFUSED_RESERVED_CODE, "reserved-code", "codes 0xFFFF0000 and above are reserved"},
        {KXIPC_REFUSED_ABSENT, "absent", "a target is not a member of the channel"},
        {KXIPC_REFUSED_NO_ROOM, "no-room", "the channel's queue has no room now"},
        {KXIPC_REFUSED_NO_TARGETS, "no-targets", "there is no target"},
        {KXIPC_REFUSED_TOO_MANY_TARGETS, "too-many-targets",
         "more targets than one message can have (195)"},
    };
    for (const KxRefusal& entry : kRefusals) {
        if (entry.refusal == refusal) return &entry;
    }
    return nullptr;
}
