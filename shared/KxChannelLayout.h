// A channel as every process sees it: its kernel object names, segment sizes, limits and codes.
//
// These values are the cross-process contract: a process that disagrees on one of them does not
// meet the others on a channel. Every part of the library, the tools and the tests take them from
// here. Windows-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "KxObjectNames.h"
#include "KxPlatformTypes.h"

// Members of one channel; each has at most 49 others.
constexpr std::uint32_t kKxMaxParticipants = 50;

// The participant-identifier segment "TKxInterProcessGrowArray" + channel +
// "_Participant_IDs_Array": a header word, then the count and 50 identifiers (51 elements), asked
// for with a growth step of 20 that no channel ever uses. 208 bytes.
constexpr char kKxIdArrayPrefix[] = "TKxInterProcessGrowArray";
constexpr char kKxIdArraySuffix[] = "_Participant_IDs_Array";
constexpr std::uint32_t kKxIdArrayElements = kKxMaxParticipants + 1;
constexpr std::uint32_t kKxIdArrayGrowthStep = 20;

// The queue segment "TKxInterProcessArray" + channel + "_Message_Queue": a header word, then R, W
// and a ring of 398 words (400 elements). 1604 bytes. A record for N recipients takes 2N + 7 words
// and one word always stays free, so a record has at most 195 recipients.
constexpr char kKxQueuePrefix[] = "TKxInterProcessArray";
constexpr char kKxQueueSuffix[] = "_Message_Queue";
constexpr std::uint32_t kKxQueueElements = 400;
constexpr std::uint32_t kKxRingWords = 398;
constexpr std::uint32_t kKxMaxRecipients = 195;

// The channel mutex, channel + "_Mutex", guards both segments. (Each segment also has a companion
// mutex, held only while it is opened or closed: CKxSharedMemory::MutexName.)
constexpr char kKxChannelMutexSuffix[] = "_Mutex";

// Message codes from 0xFFFF0000 up belong to the library; 0xFFFF0000 is the join notice.
constexpr std::uint32_t kKxJoinNoticeCode = 0xFFFF0000u;
constexpr std::uint32_t kKxLargestApplicationCode = 0xFFFEFFFFu;

// The longest the library waits on another party (an acknowledgement, a start); a stop is waited
// for in slices of 200 ms.
constexpr KxTimeout kKxPartyWaitMs = 25000;
constexpr KxTimeout kKxStopSliceMs = 200;

// Events named after a number: a participant's receive event, from its identifier, and an
// acknowledge event, from its 64-bit key; and the one mutex name every process's pool creates.
// "KX IPCRcvEv 0x" + 8 and "KX IPCAckEv 0x" + 16 upper-case hexadecimal digits.
constexpr char kKxReceiveEventPrefix[] = "KX IPCRcvEv 0x";
constexpr char kKxAcknowledgeEventPrefix[] = "KX IPCAckEv 0x";
constexpr char kKxPoolMutexName[] = "CKxIPCAcknowledgeEventPoolManagerMutex";

// A backslash separates a kernel object namespace (Global\ or Local\ and the like) from the name
// proper, and names are limited in length. A channel's longest name is the companion mutex of its
// participant-identifier segment: kKxIdArrayPrefix + channel + kKxIdArraySuffix +
// kKxSegmentMutexSuffix, 52 characters beside the channel's own.
constexpr std::size_t kKxLongestChannelName =
    kKxLongestObjectName - (sizeof(kKxIdArrayPrefix) - 1) - (sizeof(kKxIdArraySuffix) - 1) -
    (sizeof(kKxSegmentMutexSuffix) - 1);
static_assert(kKxLongestChannelName == 208, "the longest channel name the documentation gives");

// Why the platform would refuse some object of a channel of that name, in words for a person; ""
// when it takes them all. A participant opens whatever name it is given and reports the platform's
// refusal as the kernel wrapper's exception; callers that owe a reason check here first.
inline std::string KxChannelNameProblem(const std::string& channel) {
    if (channel.find('\\') != std::string::npos) {
        return "a backslash separates a kernel object namespace from a name, so a channel name "
               "holds none";
    }
    if (channel.size() > kKxLongestChannelName) {
        return "a channel name has at most " + std::to_string(kKxLongestChannelName) +
               " characters (kernel object names are limited to " +
               std::to_string(kKxLongestObjectName) + ", and the channel adds up to " +
               std::to_string(kKxLongestObjectName - kKxLongestChannelName) + "); this one has " +
               std::to_string(channel.size());
    }
    return std::string();
}

inline std::string KxChannelMutexName(const std::string& channel) {
    return channel + kKxChannelMutexSuffix;
}
inline std::string KxIdArraySegmentName(const std::string& channel) {
    return kKxIdArrayPrefix + channel + kKxIdArraySuffix;
}
inline std::string KxQueueSegmentName(const std::string& channel) {
    return kKxQueuePrefix + channel + kKxQueueSuffix;
}

// The names every process derives from the number alone (22 and 30 characters).
inline std::string KxReceiveEventName(std::uint32_t participantId) {
    return KxHexObjectName(kKxReceiveEventPrefix, participantId, 8);
}
inline std::string KxAcknowledgeEventName(std::uint64_t key) {
    return KxHexObjectName(kKxAcknowledgeEventPrefix, key, 16);
}
