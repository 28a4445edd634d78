// Opening a channel's objects read-only and copying its segments under the channel mutex.
#include "CKxChannelSnapshot.h"

#include <memory>

#include "CKxAutoLock.h"
#include "CKxMutex.h"
#include "CKxSharedMemory.h"
#include "KxParticipantIdList.h"
#include "KxScopeGuard.h"

namespace {

// Long enough for any single channel operation of a live member; a mutex held longer belongs to
// a stuck process, and an inspection gives up rather than hang.
const KxTimeout kMutexWaitMs = 10000;

}  // namespace

CKxChannelSnapshot::CKxChannelSnapshot() : m_ids(), m_queue() {}

bool CKxChannelSnapshot::Take(const std::string& channelName, std::string* error) {
    bool exists = false;
    if (!TakeIfExists(channelName, &exists, error)) return false;
    if (!exists) *error = "no such channel " + channelName;
    return exists;
}

bool CKxChannelSnapshot::TakeIfExists(const std::string& channelName, bool* exists,
                                      std::string* error) {
    *exists = false;
    m_ids[0] = 0;
    m_queue[0] = 0;
    // Checked first: the platform reports such a name as a path error, which the kernel wrappers
    // throw rather than read as "no such object".
    const std::string problem = KxChannelNameProblem(channelName);
    if (!problem.empty()) {
        *error = "bad channel name " + channelName + ": " + problem;
        return false;
    }
    std::unique_ptr<CKxMutex> mutex(CKxMutex::OpenExisting(KxChannelMutexName(channelName)));
    if (!mutex) return true;
    // A member that died inside a channel operation left the mutex abandoned: the defensive
    // readers cope with whatever it left half-written.
    bool abandoned = false;
    if (!KxWaitTakingAbandoned(mutex.get(), kMutexWaitMs, &abandoned)) {
        *error = "channel " + channelName + " stays locked";
        return false;
    }
    bool idsExist = false, queueExists = false, idsCopied = false, queueCopied = false;
    {
        // Given back on every path: a watch looks again and again from one thread, and a mutex
        // it kept after a failed copy would stop every member.
        TKxScopeGuard release([&mutex] { KxReleaseIgnoringErrors(mutex.get()); });
        idsCopied = CKxSharedMemory::CopyExisting(KxIdArraySegmentName(channelName), m_ids,
                                                  sizeof(m_ids), &idsExist);
        queueCopied = CKxSharedMemory::CopyExisting(KxQueueSegmentName(channelName), m_queue,
                                                    sizeof(m_queue), &queueExists);
    }

    // A channel mutex without its segments is not a channel (yet): nothing to look at.
    if (!idsExist || !queueExists) {
        m_ids[0] = 0;
        m_queue[0] = 0;
        return true;
    }
    if (!idsCopied || !queueCopied) {
        *error = "channel " + channelName + " has a segment smaller than its layout";
        return false;
    }
    *exists = true;
    return true;
}

std::vector<std::uint32_t> CKxChannelSnapshot::ParticipantIds() const {
    std::vector<std::uint32_t> ids;
    if (m_ids[0] == 0) return ids;
    const CKxParticipantIdList list(const_cast<std::uint32_t*>(m_ids + 1));
    for (std::uint32_t i = 0; i < list.Count(); ++i) ids.push_back(list.At(i));
    return ids;
}
