// Opening a channel's objects read-only and copying its segments under the channel mutex.
#include "CKxChannelSnapshot.h"

#include <memory>

#include "CKxAutoLock.h"
#include "CKxMutex.h"
#include "CKxSharedMemory.h"
#include "KxParticipantIdList.h"

namespace {

// Long enough for any single channel operation of a live member; a mutex held longer belongs to
// a stuck process, and an inspection gives up rather than hang.
const DWORD kMutexWaitMs = 10000;

}  // namespace

CKxChannelSnapshot::CKxChannelSnapshot() : m_ids(), m_queue() {}

bool CKxChannelSnapshot::Take(const std::string& channelName, std::string* error) {
    const std::string noSuchChannel = "no such channel " + channelName;
    std::unique_ptr<CKxMutex> mutex(CKxMutex::OpenExisting(KxChannelMutexName(channelName)));
    if (!mutex) {
        *error = noSuchChannel;
        return false;
    }
    // A member that died inside a channel operation left the mutex abandoned: the defensive
    // readers cope with whatever it left half-written.
    bool abandoned = false;
    if (!KxWaitTakingAbandoned(mutex.get(), kMutexWaitMs, &abandoned)) {
        *error = "channel " + channelName + " stays locked";
        return false;
    }
    bool idsExist = false, queueExists = false;
    const bool idsCopied = CKxSharedMemory::CopyExisting(KxIdArraySegmentName(channelName), m_ids,
                                                         sizeof(m_ids), &idsExist);
    const bool queueCopied = CKxSharedMemory::CopyExisting(KxQueueSegmentName(channelName),
                                                           m_queue, sizeof(m_queue), &queueExists);
    KxReleaseIgnoringErrors(mutex.get());

    // A channel mutex without its segments is not a channel (yet): nothing to look at.
    if (!idsExist || !queueExists) {
        *error = noSuchChannel;
        return false;
    }
    if (!idsCopied || !queueCopied) {
        *error = "channel " + channelName + " has a segment smaller than its layout";
        return false;
    }
    return true;
}

std::vector<std::uint32_t> CKxChannelSnapshot::ParticipantIds() const {
    std::vector<std::uint32_t> ids;
    if (m_ids[0] == 0) return ids;
    const CKxParticipantIdList list(const_cast<std::uint32_t*>(m_ids + 1));
    for (std::uint32_t i = 0; i < list.Count(); ++i) ids.push_back(list.At(i));
    return ids;
}
