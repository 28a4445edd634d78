// Raw reads of a channel's segments through the library's own layout classes.
#include "KxRawChannel.h"

#include "KxExceptions.h"
#include "KxMessageRing.h"
#include "KxParticipantIdList.h"
#include "TKxInterProcessArray.h"
#include "TKxInterProcessGrowArray.h"

bool KxReadQueuePositions(const std::string& channel, std::uint32_t* read, std::uint32_t* write) {
    try {
        TKxInterProcessArray<std::uint32_t> queue(channel + "_Message_Queue",
                                                  kKxQueueElements);
        *read = queue[CKxMessageRing::kReadElement];
        *write = queue[CKxMessageRing::kWriteElement];
        return queue.Header() == 1;  // 0: no member holds the channel, a fresh segment was made
    } catch (const CKxBaseException&) {
        return false;
    }
}

int KxCountQueuedRecords(const std::string& channel) {
    try {
        TKxInterProcessArray<std::uint32_t> queue(channel + "_Message_Queue",
                                                  kKxQueueElements);
        int records = 0;
        if (queue.Header() != 1 ||
            !CKxMessageRing(&queue[0]).ForEachRecord([&](const KxRingRecord&) { ++records; })) {
            return -1;
        }
        return records;
    } catch (const CKxBaseException&) {
        return -1;
    }
}

std::vector<std::uint32_t> KxReadMembers(const std::string& channel) {
    std::vector<std::uint32_t> members;
    try {
        TKxInterProcessGrowArray<std::uint32_t> array(channel + "_Participant_IDs_Array",
                                                      kKxIdArrayElements, 20);
        CKxParticipantIdList list(&array[0]);
        for (std::uint32_t i = 0; i < list.Count(); ++i) members.push_back(list.At(i));
    } catch (const CKxBaseException&) {
    }
    return members;
}
