// Opening a channel's objects read-only and copying its segments under the channel mutex.
#include "CKxChannelSnapshot.h"

#include <cstring>

#include "KxWindows.h"

namespace {

// Long enough for any single channel operation of a live member; a mutex held longer belongs to
// a stuck process, and an inspection tool gives up rather than hang.
const DWORD kMutexWaitMs = 10000;

// Copies bytes from the start of the existing mapping name; false when it does not exist or is
// mapped smaller than bytes.
bool CopySegment(const std::string& name, void* target, SIZE_T bytes, bool* exists) {
    *exists = false;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE /*bInheritHandle*/, name.c_str());
    if (mapping == nullptr) return false;
    *exists = true;
    bool copied = false;
    if (void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0 /*whole mapping*/)) {
        MEMORY_BASIC_INFORMATION region = {};
        if (VirtualQuery(view, &region, sizeof(region)) == sizeof(region) &&
            region.RegionSize >= bytes) {
            std::memcpy(target, view, bytes);
            copied = true;
        }
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return copied;
}

}  // namespace

CKxChannelSnapshot::CKxChannelSnapshot() : m_ids(), m_queue() {}

bool CKxChannelSnapshot::Take(const std::string& channelName, std::string* error) {
    const std::string noSuchChannel = "no such channel " + channelName;
    // SYNCHRONIZE is all that waiting on and releasing a mutex needs.
    HANDLE mutex =
        OpenMutexA(SYNCHRONIZE, FALSE /*bInheritHandle*/, (channelName + "_Mutex").c_str());
    if (mutex == nullptr) {
        *error = noSuchChannel;
        return false;
    }
    // WAIT_ABANDONED also hands the mutex over: a member died inside a channel operation, and
    // the defensive readers below cope with whatever it left half-written.
    const DWORD waited = WaitForSingleObject(mutex, kMutexWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        *error = "channel " + channelName + " stays locked";
        return false;
    }
    bool idsExist = false, queueExists = false;
    const bool idsCopied =
        CopySegment("TKxInterProcessGrowArray" + channelName + "_Participant_IDs_Array", m_ids,
                    sizeof(m_ids), &idsExist);
    const bool queueCopied = CopySegment("TKxInterProcessArray" + channelName + "_Message_Queue",
                                         m_queue, sizeof(m_queue), &queueExists);
    ReleaseMutex(mutex);
    CloseHandle(mutex);

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

std::vector<std::uint32_t> CKxChannelSnapshot::ParticipantIds() {
    std::vector<std::uint32_t> ids;
    if (m_ids[0] == 0) return ids;
    const CKxParticipantIdList list(m_ids + 1);
    for (std::uint32_t i = 0; i < list.Count(); ++i) ids.push_back(list.At(i));
    return ids;
}
