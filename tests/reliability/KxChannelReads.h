// What the reliability tests read of a channel from outside: the library's read-only snapshot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CKxChannelSnapshot.h"

// The snapshot copies under the channel mutex: neither call may come while a member stopped at a
// kill point holds it (the copy would give up after 10 s).
// Registered identifiers in join order; empty when the channel cannot be read.
inline std::vector<std::uint32_t> KxChannelMembers(const std::string& channel) {
    CKxChannelSnapshot snapshot;
    std::string error;
    return snapshot.Take(channel, &error) ? snapshot.ParticipantIds()
                                          : std::vector<std::uint32_t>();
}

// Records from R to W; -1 when the channel cannot be read or its ring is inconsistent.
inline int KxQueuedRecords(const std::string& channel) {
    CKxChannelSnapshot snapshot;
    std::string error;
    int records = 0;
    if (!snapshot.Take(channel, &error) || !snapshot.QueueInitialized()) return -1;
    return snapshot.Ring().ForEachRecord([&records](const KxRingRecord&) { ++records; }) ? records
                                                                                         : -1;
}

// The acknowledge key of the first join notice in the queue; false while there is none.
inline bool KxQueuedNoticeKey(const std::string& channel, std::uint64_t* key) {
    CKxChannelSnapshot snapshot;
    std::string error;
    bool found = false;
    if (!snapshot.Take(channel, &error) || !snapshot.QueueInitialized()) return false;
    snapshot.Ring().ForEachRecord([&](const KxRingRecord& record) {
        if (found || record.message.messageCode != kKxJoinNoticeCode) return;
        *key = record.message.acknowledgeKey;
        found = true;
    });
    return found;
}
