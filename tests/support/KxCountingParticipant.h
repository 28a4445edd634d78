// An in-process participant for tests that counts its handler calls and can hold its
// OnSyncMessage.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "KxPlatformTypes.h"
#include "kxipc.h"

// The counters may be read on any thread. The channel name's text must outlive the participant;
// the destructor uninitialises first, so no handler runs on a half-destroyed object.
class CKxCountingParticipant : public CkxIPCParticipant {
public:
    explicit CKxCountingParticipant(const char* channel);
    // A copy is a new participant of the same channel, with counters of its own.
    CKxCountingParticipant(const CKxCountingParticipant& other);
    ~CKxCountingParticipant() override;

    // From now on OnSyncMessage signals that it holds and waits until Release().
    void Hold();
    // True once OnSyncMessage holds, within timeoutMs.
    bool WaitHeld(KxTimeout timeoutMs);
    void Release();

    std::atomic<unsigned> joins{0}, quits{0}, syncs{0}, receives{0};
    std::atomic<unsigned long long> lastParam{0};  // of the last OnSyncMessage

    // Run on the waiting thread after the counting; set them before the participant starts.
    std::function<void(unsigned int id, bool joinedLater)> onJoin;
    std::function<void(unsigned int id)> onQuit;
    std::function<void(unsigned int sender, unsigned int code)> onReceive;
    // "join ID 0|1" and "quit ID", in the order the handlers were entered.
    std::vector<std::string> Announcements();
    // True once line is among the announcements, within timeoutMs.
    bool WaitAnnounced(const std::string& line, KxTimeout timeoutMs);

protected:
    void OnJoin(unsigned int, bool) override;
    void OnQuit(unsigned int) override;
    void OnSyncMessage(unsigned int, unsigned int, unsigned long long param) override;
    void OnReceive(unsigned int, unsigned int, unsigned long long) override;

private:
    void Announce(const std::string& line);

    std::atomic<bool> m_hold{false};
    std::mutex m_lock;
    std::condition_variable m_changed;         // an announcement, the hold or the release
    std::vector<std::string> m_announcements;  // guarded by m_lock
    bool m_held = false, m_released = false;   // guarded by m_lock; once true, true for good
};
