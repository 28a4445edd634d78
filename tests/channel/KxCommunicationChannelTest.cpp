// Communication channel seen through its segments: the departure drain that releases senders, and
// a member list rewritten under a reader. The channel opens every member's thread by its
// identifier, so every identifier here belongs to a thread that is alive for as long as the test
// needs it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CIPCChannelLock.h"
#include "CIPCCommunicationChannel.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxHandleSyncObject.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CKxThread.h"
#include "KxSharedWord.h"
#include "CkxIPCMessage.h"
#include "KxChannelLayout.h"
#include "KxLiveness.h"
#include "KxTestHarness.h"
#include "TKxInterProcessArray.h"
#include "TKxInterProcessGrowArray.h"

namespace {

std::uint32_t Self() { return KxCurrentThreadId(); }

// Threads that do nothing but stay alive until ended, so that their identifiers can be members.
class CKxParkedThreads {
public:
    // Starts one more thread and gives its identifier.
    std::uint32_t Start() {
        std::unique_ptr<Parked> parked(new Parked());
        parked->thread.Create(
            [](void* release) -> unsigned {
                return static_cast<CKxEvent*>(release)->Wait(kKxWaitForever);
            },
            &parked->release, false /*suspended*/, 0 /*stackSize*/, false /*secure*/);
        const std::uint32_t id = parked->thread.GetThreadId();
        m_threads[id] = std::move(parked);
        return id;
    }

    // Ends the thread and waits for it, then closes this process's last handles on it.
    void End(std::uint32_t id) { m_threads.erase(id); }

private:
    // Ending sets release; the thread object, destroyed first, then waits for its thread.
    struct Parked {
        ~Parked() { release.Set(); }
        CKxEvent release{true /*manualReset*/};
        CKxThread thread;
    };
    std::map<std::uint32_t, std::unique_ptr<Parked>> m_threads;
};

// An acknowledge element lent by this process's pool for as long as the object lives.
class CKxLentElement {
public:
    CKxLentElement()
        : m_element(CIPCServiceFactorySingleton::GetInstance()->AcquireAcknowledgeElement()) {}
    ~CKxLentElement() {
        CIPCServiceFactorySingleton::GetInstance()->ReleaseAcknowledgeElement(m_element);
    }
    CKxLentElement(const CKxLentElement&) = delete;
    CKxLentElement& operator=(const CKxLentElement&) = delete;

    std::uint64_t Key() const { return m_element->GetAcknowledgeKey(); }
    CKxEvent* Event() const { return m_element->GetEvent(); }

private:
    CKxIPCAcknowledgeEventPoolElement* m_element;
};

// The channel's two segments seen directly, without the channel's code, and writable: one test
// rewrites the member list under a reader, which the library's read-only snapshot cannot. Opened
// after the channel exists; used while no other process is inside the channel.
struct CKxRawChannel {
    explicit CKxRawChannel(const std::string& name)
        : ids(name + kKxIdArraySuffix, kKxIdArrayElements, kKxIdArrayGrowthStep),
          queue(name + kKxQueueSuffix, kKxQueueElements) {}

    bool Empty() { return queue[0] == queue[1]; }  // R == W

    TKxInterProcessGrowArray<std::uint32_t> ids;
    TKxInterProcessArray<std::uint32_t> queue;
};

CkxIPCMessage Message(std::uint32_t sender, std::uint32_t code, std::uint64_t param,
                      std::uint64_t key) {
    CkxIPCMessage message;
    message.SetSenderID(sender);
    message.SetMessageCode(code);
    message.SetParam(param);
    message.SetAcknowledgeKey(key);
    return message;
}

bool Send(CIPCCommunicationChannel* channel, std::vector<std::uint32_t> recipients,
          const CkxIPCMessage& message) {
    CIPCChannelLock lock(channel);
    return channel->AddMessage(static_cast<std::uint32_t>(recipients.size()), recipients.data(),
                               &message);
}

bool Take(CIPCCommunicationChannel* channel, std::uint32_t id, CkxIPCMessage* message) {
    CIPCChannelLock lock(channel);
    return channel->GetMessage(id, message);
}

// Takes and acknowledges id's oldest message; its code, or 0 when there was none.
std::uint32_t TakeAndAcknowledge(CIPCCommunicationChannel* channel, std::uint32_t id) {
    CIPCChannelLock lock(channel);
    CkxIPCMessage message;
    if (!channel->GetMessage(id, &message)) return 0;
    EXPECT_TRUE(channel->AcknowledgeMessage(id));
    return message.GetMessageCode();
}

bool Remove(CIPCCommunicationChannel* channel, std::uint32_t id) {
    CIPCChannelLock lock(channel);
    return channel->RemoveParticipant(id);
}

std::vector<std::uint32_t> Members(CIPCCommunicationChannel* channel) {
    CIPCChannelLock lock(channel);
    std::uint32_t count = 50;
    std::uint32_t ids[50];
    CKxHandleSyncObject* objects[50];
    if (!channel->GetParticipants(&count, ids, objects)) return {};
    return std::vector<std::uint32_t>(ids, ids + count);
}

// Takes and acknowledges everything queued for every member, on their behalf (lock held), so
// that a run of joins does not fill the ring with notices.
void DrainEveryMember(CIPCCommunicationChannel* channel) {
    std::uint32_t count = 50;
    std::uint32_t ids[50];
    CKxHandleSyncObject* objects[50];
    ASSERT_TRUE(channel->GetParticipants(&count, ids, objects));
    CkxIPCMessage message;
    for (std::uint32_t i = 0; i < count; ++i) {
        while (channel->GetMessage(ids[i], &message)) channel->AcknowledgeMessage(ids[i]);
    }
}

bool IsSet(CKxEvent* event) { return event->Wait(0); }

// One channel of a unique name, its raw segments, an element to join with and parked threads.
class KxCommunicationChannel : public ::testing::Test {
protected:
    // Joins every id with the test's element, in order, the lock held.
    void JoinAll(std::vector<std::uint32_t> ids) {
        CIPCChannelLock lock(&channel);
        for (std::uint32_t id : ids) {
            ASSERT_TRUE(channel.AddParticipant(id, element.Key(), element.Event())) << id;
        }
    }

    const std::string name = KxUniqueName("chan");
    CIPCCommunicationChannel channel{name.c_str()};
    CKxRawChannel raw{name};
    CKxLentElement element;
    CKxParkedThreads threads;
};

}  // namespace

TEST_F(KxCommunicationChannel, RemovalAcknowledgesPendingAndTakenEntriesAndReleasesLiveSenders) {
    const std::uint32_t leaver = threads.Start();
    const std::uint32_t peer = threads.Start();
    const std::uint32_t gone = threads.Start();
    JoinAll({Self(), leaver, peer, gone});
    {
        CIPCChannelLock lock(&channel);
        DrainEveryMember(&channel);
    }
    CKxLentElement fromSelf, fromPeerTaken, fromPeerShared, fromGone;
    ASSERT_TRUE(Send(&channel, {leaver}, Message(Self(), 1, 0, fromSelf.Key())));
    ASSERT_TRUE(Send(&channel, {leaver}, Message(peer, 2, 0, fromPeerTaken.Key())));
    ASSERT_TRUE(Send(&channel, {leaver, Self()}, Message(peer, 3, 0, fromPeerShared.Key())));
    ASSERT_TRUE(Send(&channel, {leaver}, Message(gone, 4, 0, fromGone.Key())));
    // The leaver took its oldest two and acknowledged neither, as if it died in a handler.
    CkxIPCMessage message;
    ASSERT_TRUE(Take(&channel, leaver, &message));
    ASSERT_TRUE(Take(&channel, leaver, &message));
    ASSERT_TRUE(Remove(&channel, gone));

    ASSERT_TRUE(Remove(&channel, leaver));
    EXPECT_TRUE(IsSet(fromSelf.Event())) << "taken entry acknowledged";
    EXPECT_TRUE(IsSet(fromPeerTaken.Event())) << "the second taken entry too";
    EXPECT_FALSE(IsSet(fromPeerShared.Event())) << "Self has not acknowledged its entry yet";
    EXPECT_FALSE(IsSet(fromGone.Event())) << "its sender is no longer registered";
    EXPECT_FALSE(Take(&channel, leaver, &message));

    EXPECT_EQ(3u, TakeAndAcknowledge(&channel, Self()));
    EXPECT_TRUE(IsSet(fromPeerShared.Event()));
    EXPECT_TRUE(raw.Empty()) << "every record was given back";
}

// The member list is writable by any process, whatever the mutex says. Rewritten while
// GetParticipants reads it, the answer is a refusal or members with thread objects, never a crash.
TEST_F(KxCommunicationChannel, GetParticipantsOverAListRewrittenMeanwhileRefusesInsteadOfCrashing) {
    const std::uint32_t member = threads.Start();
    const std::uint32_t ended = threads.Start();
    threads.End(ended);
    JoinAll({Self(), member});
    std::atomic<bool> stop{false};
    // Word by word, as another process writes: each word whole (a store of shared memory).
    std::thread writer([&] {
        for (std::uint32_t n = 0; !stop; ++n) {
            KxStoreShared(&raw.ids[0], 2u);
            KxStoreShared(&raw.ids[2], n % 2 ? member : ended);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        for (std::uint32_t id : Members(&channel)) EXPECT_TRUE(id == Self() || id == member) << id;
    }
    stop = true;
    writer.join();
    raw.ids[0] = 2;
    raw.ids[2] = member;
    EXPECT_EQ((std::vector<std::uint32_t>{Self(), member}), Members(&channel));
}
