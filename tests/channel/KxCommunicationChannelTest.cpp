// Communication channel: the lock, registration and join notices, the member array's edges,
// message checks and wake-ups, the departure drain, members whose threads ended unwatched, and the
// same across processes, including members killed while holding the mutex or a taken message.
// The channel opens every member's thread by its identifier, so every identifier here belongs to a
// thread that is alive for as long as the test needs it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KxKernelTestSupport.h"
#include "CIPCChannelLock.h"
#include "CIPCCommunicationChannel.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxHandleSyncObject.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CkxIPCMessage.h"
#include "KxMessageRing.h"
#include "KxTestHarness.h"
#include "TKxInterProcessArray.h"
#include "TKxInterProcessGrowArray.h"

namespace {

const std::uint32_t kJoinCode = 0xFFFF0000u;

std::uint32_t Self() { return GetCurrentThreadId(); }

// Threads that do nothing but stay alive until ended, so that their identifiers can be members.
class CKxParkedThreads {
public:
    CKxParkedThreads() = default;
    CKxParkedThreads(const CKxParkedThreads&) = delete;
    CKxParkedThreads& operator=(const CKxParkedThreads&) = delete;
    ~CKxParkedThreads() {
        while (!m_threads.empty()) End(m_threads.front().id);
    }

    // Starts one more thread and gives its identifier.
    std::uint32_t Start() {
        m_threads.emplace_back();
        Parked& parked = m_threads.back();
        std::promise<std::uint32_t> started;
        std::future<std::uint32_t> id = started.get_future();
        std::shared_future<void> release = parked.release.get_future().share();
        parked.thread = std::thread([started = std::move(started), release]() mutable {
            started.set_value(GetCurrentThreadId());
            release.wait();
        });
        parked.id = id.get();
        return parked.id;
    }

    // Ends the thread and joins it, which closes this process's last handle on it.
    void End(std::uint32_t id) {
        for (auto it = m_threads.begin(); it != m_threads.end(); ++it) {
            if (it->id != id) continue;
            it->release.set_value();
            it->thread.join();
            m_threads.erase(it);
            return;
        }
        ADD_FAILURE() << "no parked thread " << id;
    }

private:
    struct Parked {
        std::uint32_t id = 0;
        std::promise<void> release;
        std::thread thread;
    };
    std::list<Parked> m_threads;
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

std::unique_ptr<CKxEvent> ReceiveEventOf(std::uint32_t id) {
    return std::unique_ptr<CKxEvent>(
        CIPCServiceFactorySingleton::GetInstance()->CreateReceiveEvent(id));
}

// The channel's two segments seen directly, without the channel's code. Opened after the channel
// exists (or created zero-filled before it); read while no other process is inside the channel.
struct CKxRawChannel {
    explicit CKxRawChannel(const std::string& name)
        : ids(name + "_Participant_IDs_Array", 51, 20), queue(name + "_Message_Queue", 400) {}

    std::vector<std::uint32_t> Ids() {
        std::vector<std::uint32_t> list;
        for (std::uint32_t i = 1; i <= ids[0] && i <= 50; ++i) list.push_back(ids[i]);
        return list;
    }
    std::uint32_t ReadPosition() { return queue[0]; }
    bool Empty() { return queue[0] == queue[1]; }
    // Count, the 50 identifier elements, then the queue's 400 elements (R, W, the ring).
    std::vector<std::uint32_t> Snapshot() {
        std::vector<std::uint32_t> words;
        for (std::uint32_t i = 0; i < 51; ++i) words.push_back(ids[i]);
        for (std::uint32_t i = 0; i < 400; ++i) words.push_back(queue[i]);
        return words;
    }
    std::vector<KxRingRecord> Records() {
        std::vector<KxRingRecord> records;
        const bool consistent = CKxMessageRing(&queue[0]).ForEachRecord(
            [&](const KxRingRecord& record) { records.push_back(record); });
        EXPECT_TRUE(consistent);
        return records;
    }

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

bool Acknowledge(CIPCCommunicationChannel* channel, std::uint32_t id) {
    CIPCChannelLock lock(channel);
    return channel->AcknowledgeMessage(id);
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

bool Join(CIPCCommunicationChannel* channel, std::uint32_t id, const CKxLentElement& element) {
    CIPCChannelLock lock(channel);
    return channel->AddParticipant(id, element.Key(), element.Event());
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

// Registers ids through a channel object of its own that is gone on return: nobody in this
// process holds a record (thread handle) of them afterwards.
// When given, message then goes to the last of them, also while it is still watched.
void JoinUnwatched(const std::string& name, std::vector<std::uint32_t> ids,
                   const CKxLentElement& element, const CkxIPCMessage* message = nullptr) {
    CIPCCommunicationChannel registrar(name.c_str());
    CIPCChannelLock lock(&registrar);
    for (std::uint32_t id : ids) {
        ASSERT_TRUE(registrar.AddParticipant(id, element.Key(), element.Event()));
    }
    DrainEveryMember(&registrar);
    if (message) {
        ASSERT_TRUE(registrar.AddMessage(1, &ids.back(), message));
    }
}

bool IsSet(CKxEvent* event) { return event->Wait(0); }

std::string Text(const std::vector<std::uint32_t>& ids) {
    std::string text;
    for (std::uint32_t id : ids) text += " " + std::to_string(id);
    return text;
}

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

TEST_F(KxCommunicationChannel, FirstMemberIsAcknowledgedAtOnceAndBadJoinsAreRefused) {
    EXPECT_EQ(1u, raw.ids.Header());
    EXPECT_EQ(1u, raw.queue.Header());
    CIPCChannelLock lock(&channel);
    EXPECT_FALSE(channel.AddParticipant(Self(), 0 /*key*/, element.Event()));
    EXPECT_FALSE(channel.AddParticipant(Self(), element.Key(), nullptr));
    EXPECT_TRUE(raw.Ids().empty()) << "refused joins register nothing";
    EXPECT_FALSE(IsSet(element.Event()));

    ASSERT_TRUE(channel.AddParticipant(Self(), element.Key(), element.Event()));
    EXPECT_TRUE(IsSet(element.Event())) << "alone: nobody to wait for";
    EXPECT_TRUE(raw.Empty()) << "no join notice for nobody";
    EXPECT_FALSE(channel.AddParticipant(Self(), element.Key(), element.Event()));
    EXPECT_FALSE(IsSet(element.Event()));
    EXPECT_EQ(std::vector<std::uint32_t>{Self()}, raw.Ids());
}

TEST_F(KxCommunicationChannel, EveryOperationBelowUnlockIsRefusedWithoutTheLock) {
    const std::uint32_t member = threads.Start();
    const std::uint32_t outsider = threads.Start();
    JoinAll({Self(), member});
    // Self holds the join notice taken; member has one posted message pending.
    CkxIPCMessage message;
    ASSERT_TRUE(Take(&channel, Self(), &message));
    ASSERT_TRUE(Send(&channel, {member}, Message(Self(), 7, 8, 0)));
    const std::vector<std::uint32_t> before = raw.Snapshot();

    EXPECT_FALSE(channel.Unlock());
    std::uint32_t position = 99;
    EXPECT_FALSE(channel.IsParticipant(Self(), &position));
    EXPECT_EQ(99u, position);
    EXPECT_FALSE(channel.AddParticipant(outsider, element.Key(), element.Event()));
    EXPECT_FALSE(channel.RemoveParticipant(member));
    std::uint32_t count = 50;
    std::uint32_t ids[50] = {};
    CKxHandleSyncObject* objects[50] = {};
    EXPECT_FALSE(channel.GetParticipants(&count, ids, objects));
    const std::uint32_t recipients[] = {Self()};
    const CkxIPCMessage post = Message(member, 9, 10, 0);
    EXPECT_FALSE(channel.AddMessage(1, recipients, &post));
    EXPECT_FALSE(channel.GetMessage(member, &message));
    EXPECT_FALSE(channel.AcknowledgeMessage(Self()));
    EXPECT_EQ(before, raw.Snapshot()) << "nothing was written";

    // The same calls go through with the lock, so the refusals above were about the lock alone.
    CIPCChannelLock lock(&channel);
    EXPECT_TRUE(channel.IsParticipant(member, &position));
    EXPECT_EQ(1u, position);
    EXPECT_TRUE(channel.GetMessage(member, &message));
    EXPECT_EQ(7u, message.GetMessageCode());
    EXPECT_TRUE(channel.AcknowledgeMessage(Self()));
    EXPECT_TRUE(channel.AcknowledgeMessage(member));
    EXPECT_TRUE(raw.Empty());
}

TEST_F(KxCommunicationChannel, LockIsRecursiveAndNeedsAsManyUnlocks) {
    const std::string mutexName = name + "_Mutex";
    ASSERT_TRUE(channel.Lock());
    ASSERT_TRUE(channel.Lock());
    EXPECT_TRUE(channel.Unlock());
    EXPECT_EQ("busy", TryMutexInChild(mutexName)) << "one Lock is still outstanding";
    EXPECT_TRUE(channel.AddParticipant(Self(), element.Key(), element.Event()))
        << "still locked for this thread";
    EXPECT_TRUE(channel.Unlock());
    EXPECT_EQ("took", TryMutexInChild(mutexName));
    EXPECT_FALSE(channel.Unlock());
    EXPECT_FALSE(channel.IsParticipant(Self()));
}

TEST_F(KxCommunicationChannel, GetParticipantsNeedsRoomForEveryMemberAndZeroesTheRest) {
    const std::uint32_t second = threads.Start();
    const std::uint32_t third = threads.Start();
    JoinAll({Self(), second, third});
    CKxHandleSyncObject* const untouched = reinterpret_cast<CKxHandleSyncObject*>(0x1234);
    std::vector<std::uint32_t> ids(50, 0xABCD);
    std::vector<CKxHandleSyncObject*> objects(50, untouched);
    CIPCChannelLock lock(&channel);
    std::uint32_t count = 2;
    EXPECT_FALSE(channel.GetParticipants(&count, ids.data(), objects.data()));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(0xABCDu, ids[0]);
    EXPECT_EQ(untouched, objects[0]);
    EXPECT_FALSE(channel.GetParticipants(nullptr, ids.data(), objects.data()));

    count = 50;
    ASSERT_TRUE(channel.GetParticipants(&count, ids.data(), objects.data()));
    ASSERT_EQ(3u, count);
    EXPECT_EQ((std::vector<std::uint32_t>{Self(), second, third}),
              std::vector<std::uint32_t>(ids.begin(), ids.begin() + 3));
    for (int i = 3; i < 50; ++i) EXPECT_EQ(0u, ids[i]) << i;
    for (int i = 3; i < 50; ++i) EXPECT_EQ(untouched, objects[i]) << i;

    // The objects are the members' threads: signalled when, and only when, the thread ends.
    EXPECT_FALSE(objects[0]->Wait(0));
    EXPECT_FALSE(objects[1]->Wait(0));
    threads.End(second);
    EXPECT_TRUE(objects[1]->Wait(kChildTimeoutMs));
    EXPECT_FALSE(objects[2]->Wait(0));
    count = 3;  // exactly enough room is enough
    EXPECT_TRUE(channel.GetParticipants(&count, ids.data(), objects.data()));
    EXPECT_EQ(3u, count) << "a member with a record stays until somebody removes it";
}

TEST_F(KxCommunicationChannel, RemovingTheMiddleMemberShiftsTheRestAndKeepsTheOldLastElement) {
    const std::uint32_t a = Self();
    const std::uint32_t b = threads.Start();
    const std::uint32_t c = threads.Start();
    const std::uint32_t unknown = threads.Start();
    JoinAll({a, b, c});
    CIPCChannelLock lock(&channel);
    const std::vector<std::uint32_t> before = raw.Snapshot();
    EXPECT_TRUE(channel.RemoveParticipant(unknown));
    EXPECT_EQ(before, raw.Snapshot()) << "an unknown identifier leaves everything alone";

    ASSERT_TRUE(channel.RemoveParticipant(b));
    EXPECT_EQ((std::vector<std::uint32_t>{2, a, c, c}),
              (std::vector<std::uint32_t>{raw.ids[0], raw.ids[1], raw.ids[2], raw.ids[3]}))
        << "the old last element keeps its value";
    std::uint32_t position = 0;
    EXPECT_TRUE(channel.IsParticipant(c, &position));
    EXPECT_EQ(1u, position);
    EXPECT_FALSE(channel.IsParticipant(b));

    // b's entry in c's join notice was acknowledged by the removal: a's two acknowledgements now
    // give the whole ring back.
    CkxIPCMessage message;
    while (channel.GetMessage(a, &message)) ASSERT_TRUE(channel.AcknowledgeMessage(a));
    EXPECT_TRUE(raw.Empty());
}

TEST_F(KxCommunicationChannel, AddMessageWithAnUnregisteredRecipientWritesNothingAndWakesNobody) {
    const std::uint32_t member = threads.Start();
    const std::uint32_t outsider = threads.Start();
    JoinAll({Self(), member});
    ASSERT_EQ(kJoinCode, TakeAndAcknowledge(&channel, Self()));
    auto selfReceive = ReceiveEventOf(Self());
    auto memberReceive = ReceiveEventOf(member);
    selfReceive->Wait(0);  // the join notice's wake-up
    ASSERT_FALSE(IsSet(memberReceive.get()));
    const std::vector<std::uint32_t> before = raw.Snapshot();

    const CkxIPCMessage post = Message(Self(), 1, 2, 0);
    EXPECT_FALSE(Send(&channel, {Self(), member, outsider}, post));
    EXPECT_FALSE(Send(&channel, {outsider, Self()}, post));
    EXPECT_FALSE(Send(&channel, {}, post));
    {
        CIPCChannelLock lock(&channel);
        EXPECT_FALSE(channel.AddMessage(2, nullptr, &post));
    }
    EXPECT_EQ(before, raw.Snapshot());
    EXPECT_FALSE(IsSet(selfReceive.get()));
    EXPECT_FALSE(IsSet(memberReceive.get()));

    // The sender among the recipients and a recipient named twice are taken as they come.
    ASSERT_TRUE(
        Send(&channel, {member, Self(), member}, Message(Self(), 3, 0x1122334455667788ull, 0)));
    EXPECT_TRUE(IsSet(selfReceive.get()));
    EXPECT_TRUE(IsSet(memberReceive.get()));
    CkxIPCMessage message;
    for (std::uint32_t id : {member, member, Self()}) {
        ASSERT_TRUE(Take(&channel, id, &message)) << id;
        EXPECT_EQ(0x1122334455667788ull, message.GetParam());
        EXPECT_EQ(Self(), message.GetSenderID());
        ASSERT_TRUE(Acknowledge(&channel, id));
    }
    EXPECT_FALSE(Take(&channel, member, &message));
    EXPECT_TRUE(raw.Empty());
}

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

// A member whose thread ended while no process held it open ("unwatched") is removed the moment
// the channel needs its record, and its synchronous senders are released.
TEST_F(KxCommunicationChannel, MemberEndedUnwatchedIsRemovedWhenGetParticipantsNeedsItsRecord) {
    const std::uint32_t sender = threads.Start();
    const std::uint32_t vanished = threads.Start();
    CKxLentElement sent;
    const CkxIPCMessage sync = Message(sender, 11, 0, sent.Key());
    JoinUnwatched(name, {sender, vanished}, element, &sync);
    threads.End(vanished);  // its last handle closes with the join
    ASSERT_FALSE(IsSet(sent.Event()));

    EXPECT_EQ(std::vector<std::uint32_t>{sender}, Members(&channel));
    EXPECT_TRUE(IsSet(sent.Event())) << "its pending message was acknowledged on its behalf";
    EXPECT_TRUE(raw.Empty());
    EXPECT_EQ(std::vector<std::uint32_t>{sender}, raw.Ids());
}

// The member list is writable by any process, whatever the mutex says. Rewritten while
// GetParticipants reads it, the answer is a refusal or members with thread objects, never a crash.
TEST_F(KxCommunicationChannel, GetParticipantsOverAListRewrittenMeanwhileRefusesInsteadOfCrashing) {
    const std::uint32_t member = threads.Start();
    const std::uint32_t ended = threads.Start();
    threads.End(ended);
    JoinAll({Self(), member});
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (std::uint32_t n = 0; !stop; ++n) {
            raw.ids[0] = 2;
            raw.ids[2] = n % 2 ? member : ended;
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

TEST_F(KxCommunicationChannel, RecipientEndedUnwatchedIsRemovedAndTheMessageRefused) {
    const std::uint32_t vanished = threads.Start();
    JoinAll({Self()});
    JoinUnwatched(name, {vanished}, element);
    threads.End(vanished);
    auto selfReceive = ReceiveEventOf(Self());
    selfReceive->Wait(0);

    EXPECT_FALSE(Send(&channel, {Self(), vanished}, Message(Self(), 1, 0, 0)));
    EXPECT_FALSE(IsSet(selfReceive.get())) << "a refused message wakes nobody";
    EXPECT_TRUE(raw.Empty());
    EXPECT_EQ(std::vector<std::uint32_t>{Self()}, raw.Ids());
    EXPECT_TRUE(Send(&channel, {Self()}, Message(Self(), 1, 0, 0)));
}

TEST(KxCommunicationChannelConstruction, LaterConstructionLeavesContentsAndRecordsMembersPresent) {
    const std::string name = KxUniqueName("chan");
    CKxParkedThreads threads;
    const std::uint32_t member = threads.Start();
    CKxLentElement element;
    auto first = std::make_unique<CIPCCommunicationChannel>(name.c_str());
    ASSERT_TRUE(Join(first.get(), Self(), element));
    ASSERT_TRUE(Join(first.get(), member, element));
    CKxRawChannel raw(name);
    const std::vector<std::uint32_t> before = raw.Snapshot();
    ASSERT_FALSE(raw.Empty()) << "the join notice is queued";

    // The first object goes; the segments live on in the raw views.
    first.reset();
    CIPCCommunicationChannel later(name.c_str());
    EXPECT_EQ(before, raw.Snapshot()) << "opened, not initialised again";

    // Its record of the member was made at construction, while the thread could still be
    // opened: the member's end is then seen through it instead of dropping the member.
    threads.End(member);
    CIPCChannelLock lock(&later);
    std::uint32_t count = 2;
    std::uint32_t ids[2];
    CKxHandleSyncObject* objects[2];
    ASSERT_TRUE(later.GetParticipants(&count, ids, objects));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(member, ids[1]);
    EXPECT_TRUE(objects[1]->Wait(kChildTimeoutMs));
    CkxIPCMessage notice;
    ASSERT_TRUE(later.GetMessage(Self(), &notice));
    EXPECT_EQ(member, notice.GetSenderID());
}

TEST(KxCommunicationChannelConstruction, FirstConstructionInitialisesSegmentsThatHoldGarbage) {
    const std::string name = KxUniqueName("chan");
    {
        // Segments made (zero header) and scribbled on by someone before any channel existed.
        CKxRawChannel raw(name);
        for (std::uint32_t i = 0; i < 51; ++i) raw.ids[i] = 0xDEAD0000u + i;
        for (std::uint32_t i = 0; i < 400; ++i) raw.queue[i] = 0xBEEF0000u + i;
        CIPCCommunicationChannel channel(name.c_str());
        EXPECT_EQ(1u, raw.ids.Header());
        EXPECT_EQ(1u, raw.queue.Header());
        for (std::uint32_t i = 0; i < 51; ++i) EXPECT_EQ(0u, raw.ids[i]) << i;
        EXPECT_EQ(2u, raw.queue[0]);
        EXPECT_EQ(2u, raw.queue[1]);
        CKxLentElement element;
        EXPECT_TRUE(Join(&channel, Self(), element));
    }
    // Everything closed: the next first construction starts from fresh segments.
    CIPCCommunicationChannel again(name.c_str());
    CKxRawChannel raw(name);
    EXPECT_TRUE(raw.Ids().empty());
}

// ---- Across processes -------------------------------------------------------------------------

// A child process with its own channel object, driven line by line from the test. Its members are
// its main thread (the identifier it reports as "ready <id>") and the threads "threads N" starts.
// Every command answers one line starting with "= ". Identifiers are decimal.
//   threads N                     start N parked threads        = ids <id>...
//   join ID                       AddParticipant with the join element   = joined <0|1> <key>
//   joinall ID...                 join each, draining everyone after each = joinall <successes>
//   send FROM CODE PARAM TO...    AddMessage with a new element's key     = sent <0|1> <key>
//   post FROM CODE PARAM TO...    AddMessage with key 0                   = posted <0|1>
//   waitjoin MS / waitsend MS     wait on the join / last send element    = ack <0|1>
//   recv ID MS                    wait on ID's receive event              = recv <0|1>
//   take ID                       GetMessage     = msg 1 <sender> <code> <param> <key> | msg 0
//   ack ID                        AcknowledgeMessage                      = acked <0|1>
//   list                          GetParticipants                         = list <0|1> <id>...
//   lock / unlock                 Lock / Unlock, left as they stand      = locked / unlocked <0|1>
//   close                         delete the channel object (members stay registered) = closed
//   exit                          leave, the channel object deleted                    (no answer)
class CKxChannelPeer {
public:
    explicit CKxChannelPeer(const std::string& name)
        : m_channel(new CIPCCommunicationChannel(name.c_str())) {}
    ~CKxChannelPeer() { delete m_channel; }

    int Run() {
        KxSay("ready %lu", GetCurrentThreadId());
        std::string line;
        while (KxReadLine(&line)) {
            std::istringstream in(line);
            std::string command;
            in >> command;
            if (command == "exit") return 0;
            KxSay("= %s", Do(command, in).c_str());
        }
        return 0;
    }

private:
    static std::vector<std::uint32_t> ReadIds(std::istringstream& in) {
        std::vector<std::uint32_t> ids;
        std::uint32_t id = 0;
        while (in >> id) ids.push_back(id);
        return ids;
    }

    std::string Do(const std::string& command, std::istringstream& in) {
        std::uint32_t id = 0;
        DWORD timeout = 0;
        if (command == "threads") {
            std::uint32_t count = 0;
            in >> count;
            std::vector<std::uint32_t> started;
            for (std::uint32_t i = 0; i < count; ++i) started.push_back(m_threads.Start());
            return "ids" + Text(started);
        }
        if (command == "join") {
            in >> id;
            return "joined " + std::to_string(Join(m_channel, id, m_join)) + " " +
                   std::to_string(m_join.Key());
        }
        if (command == "joinall") {
            int joined = 0;
            for (std::uint32_t member : ReadIds(in)) {
                CIPCChannelLock lock(m_channel);
                if (m_channel->AddParticipant(member, m_join.Key(), m_join.Event())) ++joined;
                DrainEveryMember(m_channel);
            }
            return "joinall " + std::to_string(joined);
        }
        if (command == "send" || command == "post") {
            std::uint32_t from = 0, code = 0;
            std::uint64_t param = 0, key = 0;
            in >> from >> code >> param;
            if (command == "send") {
                m_sends.emplace_back(new CKxLentElement);
                key = m_sends.back()->Key();
            }
            const bool queued = Send(m_channel, ReadIds(in), Message(from, code, param, key));
            return command == "send" ? "sent " + std::to_string(queued) + " " + std::to_string(key)
                                     : "posted " + std::to_string(queued);
        }
        if (command == "waitjoin" || command == "waitsend") {
            in >> timeout;
            CKxEvent* event =
                command == "waitjoin" || m_sends.empty() ? m_join.Event() : m_sends.back()->Event();
            return "ack " + std::to_string(event->Wait(timeout));
        }
        if (command == "recv") {
            in >> id >> timeout;
            return "recv " + std::to_string(ReceiveEventOf(id)->Wait(timeout));
        }
        if (command == "take") {
            in >> id;
            CkxIPCMessage message;
            if (!Take(m_channel, id, &message)) return "msg 0";
            std::ostringstream out;
            out << "msg 1 " << message.GetSenderID() << " " << message.GetMessageCode() << " "
                << message.GetParam() << " " << message.GetAcknowledgeKey();
            return out.str();
        }
        if (command == "ack") {
            in >> id;
            return "acked " + std::to_string(Acknowledge(m_channel, id));
        }
        if (command == "list") {
            const std::vector<std::uint32_t> members = Members(m_channel);
            return "list " + std::to_string(!members.empty()) + Text(members);
        }
        if (command == "lock") return "locked " + std::to_string(m_channel->Lock());
        if (command == "unlock") return "unlocked " + std::to_string(m_channel->Unlock());
        if (command == "close") {
            delete m_channel;
            m_channel = nullptr;
            return "closed";
        }
        return "unknown " + command;
    }

    CIPCCommunicationChannel* m_channel;
    CKxLentElement m_join;
    std::vector<std::unique_ptr<CKxLentElement>> m_sends;
    CKxParkedThreads m_threads;
};

KX_CHILD_ROLE(ChannelPeer) {
    CKxChannelPeer peer(args.at(0));
    return peer.Run();
}

namespace {

// A ChannelPeer child on channel name, with its reported main-thread identifier.
struct CKxPeer {
    std::unique_ptr<CKxChildProcess> process;
    std::uint32_t id = 0;

    // Sends the command and its arguments, space separated, and gives the answer without the
    // "= ", or "" (a failure) when none came.
    template <class... Args>
    std::string Ask(const std::string& command, const Args&... args) {
        std::ostringstream line;
        line << command;
        ((line << " " << args), ...);
        process->WriteLine(line.str());
        std::string answer;
        if (!process->WaitForLine("= ", kChildTimeoutMs, &answer)) {
            ADD_FAILURE() << "no answer to \"" << line.str() << "\"; output:\n"
                          << process->Output();
            return "";
        }
        return answer.substr(2);
    }
};

// Starts count ChannelPeer children at once (so their channel constructions overlap), then waits
// until each reports its identifier.
std::vector<CKxPeer> StartPeers(const std::string& name, int count) {
    std::vector<CKxPeer> peers(count);
    for (CKxPeer& peer : peers) peer.process = CKxChildProcess::Role("ChannelPeer", {name});
    for (CKxPeer& peer : peers) {
        std::string line;
        if (peer.process->WaitForLine("ready ", kChildTimeoutMs, &line)) {
            peer.id = static_cast<std::uint32_t>(std::stoul(line.substr(6)));
        } else {
            ADD_FAILURE() << "a peer did not start";
        }
    }
    return peers;
}

CKxPeer StartPeer(const std::string& name) { return std::move(StartPeers(name, 1).front()); }

// Starts a peer whose main thread joins alone (joinall of its own identifier).
CKxPeer StartMember(const std::string& name) {
    CKxPeer peer = StartPeer(name);
    EXPECT_EQ("joinall 1", peer.Ask("joinall", peer.id));
    return peer;
}

// Words of an answer after its first.
std::vector<std::string> Words(const std::string& answer) {
    std::istringstream in(answer);
    std::vector<std::string> words;
    std::string word;
    in >> word;
    while (in >> word) words.push_back(word);
    return words;
}

// The key in "joined 1 <key>" or "sent 1 <key>"; 0 when the first word after is not 1.
std::uint64_t KeyOf(const std::string& answer) {
    const std::vector<std::string> words = Words(answer);
    return words.size() == 2 && words[0] == "1" ? std::stoull(words[1]) : 0;
}

std::vector<std::uint32_t> IdsOf(const std::string& answer) {
    std::vector<std::uint32_t> ids;
    for (const std::string& word : Words(answer)) ids.push_back(std::stoul(word));
    return ids;
}

std::string Ids(const std::vector<std::uint32_t>& ids) { return Text(ids).substr(1); }

}  // namespace

TEST_F(KxCommunicationChannel, JoinsAcrossThreeProcessesAreAnnouncedOnceToEveryMemberPresent) {
    ASSERT_TRUE(Join(&channel, Self(), element));
    auto selfReceive = ReceiveEventOf(Self());

    CKxPeer a = StartPeer(name);
    const std::uint64_t keyA = KeyOf(a.Ask("join", a.id));
    ASSERT_NE(0u, keyA);
    EXPECT_EQ(static_cast<std::uint64_t>(a.process->ProcessId()), keyA >> 32);

    // One notice, to this process's member, with A's key; this member woken.
    std::vector<KxRingRecord> records = raw.Records();
    ASSERT_EQ(1u, records.size());
    ASSERT_EQ(1u, records[0].recipientCount);
    EXPECT_EQ(Self(), records[0].recipients[0].id);
    EXPECT_EQ(a.id, records[0].message.senderId);
    EXPECT_EQ(kJoinCode, records[0].message.messageCode);
    EXPECT_EQ(0u, records[0].message.param);
    EXPECT_EQ(keyA, records[0].message.acknowledgeKey);
    EXPECT_TRUE(IsSet(selfReceive.get()));
    EXPECT_EQ("ack 0", a.Ask("waitjoin 0"));

    CkxIPCMessage notice;
    ASSERT_TRUE(Take(&channel, Self(), &notice));
    EXPECT_EQ("ack 0", a.Ask("waitjoin 0")) << "taken, not yet acknowledged";
    ASSERT_TRUE(Acknowledge(&channel, Self()));
    EXPECT_EQ("ack 1", a.Ask("waitjoin", kChildTimeoutMs));
    EXPECT_TRUE(raw.Empty());

    // The third process was built after both joined: its records were made for them, and its
    // notice goes to both, in join order, waking each in its own process.
    CKxPeer b = StartPeer(name);
    const std::uint64_t keyB = KeyOf(b.Ask("join", b.id));
    ASSERT_NE(0u, keyB);
    records = raw.Records();
    ASSERT_EQ(1u, records.size());
    ASSERT_EQ(2u, records[0].recipientCount);
    EXPECT_EQ(Self(), records[0].recipients[0].id);
    EXPECT_EQ(a.id, records[0].recipients[1].id);
    EXPECT_EQ(b.id, records[0].message.senderId);
    EXPECT_EQ(keyB, records[0].message.acknowledgeKey);
    EXPECT_TRUE(IsSet(selfReceive.get()));
    EXPECT_EQ("recv 1", a.Ask("recv", a.id, kChildTimeoutMs));
    EXPECT_EQ("recv 0", b.Ask("recv", b.id, 0)) << "the joiner is not told";
    const std::vector<std::uint32_t> order = {Self(), a.id, b.id};
    EXPECT_EQ("list 1 " + Ids(order), b.Ask("list"));
    EXPECT_EQ(order, Members(&channel));
    EXPECT_EQ(order, raw.Ids());

    // A takes and acknowledges its entry in its own process; B waits for this member too.
    EXPECT_EQ("msg 1 " + std::to_string(b.id) + " " + std::to_string(kJoinCode) + " 0 " +
                  std::to_string(keyB),
              a.Ask("take", a.id));
    EXPECT_EQ("acked 1", a.Ask("ack", a.id));
    EXPECT_EQ("ack 0", b.Ask("waitjoin 0")) << "one recipient has not acknowledged";
    EXPECT_EQ(kJoinCode, TakeAndAcknowledge(&channel, Self()));
    EXPECT_EQ("ack 1", b.Ask("waitjoin", kChildTimeoutMs));
    EXPECT_TRUE(raw.Empty());
}

TEST_F(KxCommunicationChannel, SyncSenderIsReleasedInItsProcessByTheLastRecipientOnly) {
    CKxPeer sender = StartPeer(name);
    CKxPeer recipient = StartPeer(name);
    ASSERT_TRUE(Join(&channel, Self(), element));
    ASSERT_EQ("joinall 1", sender.Ask("joinall", sender.id));
    ASSERT_EQ("joinall 1", recipient.Ask("joinall", recipient.id));
    auto selfReceive = ReceiveEventOf(Self());
    selfReceive->Wait(0);

    // Queued by one process, taken and acknowledged by the two others.
    const std::uint64_t key =
        KeyOf(sender.Ask("send", sender.id, 77, "18446744073709551615", recipient.id, Self()));
    ASSERT_NE(0u, key);
    EXPECT_TRUE(IsSet(selfReceive.get()));
    EXPECT_EQ("recv 1", recipient.Ask("recv", recipient.id, kChildTimeoutMs));
    EXPECT_EQ(
        "msg 1 " + std::to_string(sender.id) + " 77 18446744073709551615 " + std::to_string(key),
        recipient.Ask("take", recipient.id));
    EXPECT_EQ("acked 1", recipient.Ask("ack", recipient.id));
    EXPECT_EQ("ack 0", sender.Ask("waitsend 0")) << "this member has not acknowledged";
    CkxIPCMessage message;
    ASSERT_TRUE(Take(&channel, Self(), &message));
    EXPECT_EQ(key, message.GetAcknowledgeKey());
    ASSERT_TRUE(Acknowledge(&channel, Self()));
    EXPECT_EQ("ack 1", sender.Ask("waitsend", kChildTimeoutMs));

    // A posted message carries no key.
    ASSERT_EQ("posted 1", sender.Ask("post", sender.id, 5, 6, Self()));
    ASSERT_TRUE(Take(&channel, Self(), &message));
    EXPECT_EQ(0u, message.GetAcknowledgeKey());
    ASSERT_TRUE(Acknowledge(&channel, Self()));

    // A sender removed while its message is out is not released by the last acknowledgement.
    ASSERT_NE(0u, KeyOf(sender.Ask("send", sender.id, 78, 0, Self())));
    ASSERT_TRUE(Remove(&channel, sender.id));
    EXPECT_EQ(78u, TakeAndAcknowledge(&channel, Self()));
    EXPECT_EQ("ack 0", sender.Ask("waitsend 0"));
    EXPECT_TRUE(raw.Empty());
}

TEST_F(KxCommunicationChannel, FiftyMembersInTwoProcessesRefuseTheFiftyFirst) {
    std::vector<std::uint32_t> expected;
    std::vector<CKxPeer> peers;
    for (int p = 0; p < 2; ++p) {
        peers.push_back(StartPeer(name));
        CKxPeer& peer = peers.back();
        std::vector<std::uint32_t> members = IdsOf(peer.Ask("threads 24"));
        members.insert(members.begin(), peer.id);
        ASSERT_EQ(25u, members.size());
        EXPECT_EQ("joinall 25", peer.Ask("joinall", Ids(members)));
        expected.insert(expected.end(), members.begin(), members.end());
    }
    ASSERT_EQ(expected, raw.Ids());
    ASSERT_EQ(expected, Members(&channel));
    ASSERT_EQ("list 1 " + Ids(expected), peers[0].Ask("list"));

    // The 51st, from this process and from a child: refused, and nothing moves.
    const std::uint32_t extra = threads.Start();
    const std::vector<std::uint32_t> before = raw.Snapshot();
    EXPECT_FALSE(Join(&channel, extra, element));
    EXPECT_FALSE(IsSet(element.Event()));
    const std::uint32_t childExtra = IdsOf(peers[1].Ask("threads 1")).at(0);
    EXPECT_EQ("joined 0", peers[1].Ask("join", childExtra).substr(0, 8));
    EXPECT_EQ(before, raw.Snapshot()) << "count, identifiers, R and W";

    // Room again after one leaves: the newcomer is announced to the 49 present.
    ASSERT_TRUE(Remove(&channel, expected[10]));
    ASSERT_TRUE(Join(&channel, extra, element));
    const std::vector<KxRingRecord> records = raw.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(49u, records[0].recipientCount);
    EXPECT_EQ(extra, records[0].message.senderId);
}

TEST_F(KxCommunicationChannel, ProcessKilledHoldingTheMutexLeavesTheChannelUsable) {
    ASSERT_TRUE(Join(&channel, Self(), element));
    CKxPeer member = StartMember(name);
    CKxPeer holder = StartPeer(name);
    ASSERT_EQ("locked 1", holder.Ask("lock"));
    ASSERT_EQ("busy", TryMutexInChild(name + "_Mutex"));
    holder.process->Kill();

    ASSERT_TRUE(channel.Lock()) << "the abandoned mutex counts as taken";
    const CkxIPCMessage post = Message(Self(), 21, 22, 0);
    EXPECT_TRUE(channel.AddMessage(1, &member.id, &post));
    EXPECT_TRUE(channel.Unlock());
    EXPECT_FALSE(channel.Unlock()) << "one Lock, one Unlock";

    // Released for every other process: a third one takes the mutex and the message.
    EXPECT_EQ("took", TryMutexInChild(name + "_Mutex"));
    EXPECT_EQ("recv 1", member.Ask("recv", member.id, kChildTimeoutMs));
    EXPECT_EQ("msg 1 " + std::to_string(Self()) + " 21 22 0", member.Ask("take", member.id));
    EXPECT_EQ("acked 1", member.Ask("ack", member.id));
    EXPECT_EQ("locked 1", member.Ask("lock"));
    EXPECT_EQ("busy", TryMutexInChild(name + "_Mutex"));
    EXPECT_EQ("unlocked 1", member.Ask("unlock"));
    EXPECT_TRUE(raw.Empty());
}

TEST_F(KxCommunicationChannel, MemberKilledHoldingATakenSyncMessageIsAcknowledgedByItsRemoval) {
    ASSERT_TRUE(Join(&channel, Self(), element));
    CKxPeer sender = StartMember(name);
    CKxPeer victim = StartMember(name);
    ASSERT_NE(0u, KeyOf(sender.Ask("send", sender.id, 31, 32, victim.id)));
    ASSERT_EQ(0u, victim.Ask("take", victim.id).find("msg 1 "));
    victim.process->Kill();
    EXPECT_EQ("ack 0", sender.Ask("waitsend 0"));
    EXPECT_FALSE(raw.Empty());

    ASSERT_TRUE(Remove(&channel, victim.id));
    EXPECT_EQ("ack 1", sender.Ask("waitsend", kChildTimeoutMs));
    EXPECT_TRUE(raw.Empty()) << "the record's room came back";
    EXPECT_EQ((std::vector<std::uint32_t>{Self(), sender.id}), raw.Ids());
}

TEST(KxCommunicationChannelConstruction, AfterAMemberDiedUnwatchedRemovesItAndReleasesItsSender) {
    const std::string name = KxUniqueName("chan");
    CKxRawChannel raw(name);  // keeps the segments alive between the children
    CKxPeer sender = StartMember(name);
    CKxPeer victim = StartMember(name);
    ASSERT_NE(0u, KeyOf(sender.Ask("send", sender.id, 41, 0, victim.id)));
    // The sender's channel object (its record of the victim's thread) goes; it stays a member
    // and keeps waiting. Nobody watches the victim any more when it dies.
    ASSERT_EQ("closed", sender.Ask("close"));
    victim.process->Kill();
    EXPECT_EQ("ack 0", sender.Ask("waitsend 0"));
    ASSERT_EQ((std::vector<std::uint32_t>{sender.id, victim.id}), raw.Ids());

    CIPCCommunicationChannel channel(name.c_str());
    EXPECT_EQ(std::vector<std::uint32_t>{sender.id}, raw.Ids());
    EXPECT_EQ("ack 1", sender.Ask("waitsend", kChildTimeoutMs));
    EXPECT_TRUE(raw.Empty());
}

TEST(KxCommunicationChannelConstruction, ConcurrentFirstConstructionsKeepEveryRegistration) {
    const std::string name = KxUniqueName("chan");
    // Each peer builds its channel as it starts, racing the others for the first construction.
    std::vector<CKxPeer> peers = StartPeers(name, 3);
    std::vector<std::uint32_t> joined;
    for (CKxPeer& peer : peers) {
        EXPECT_EQ("joinall 1", peer.Ask("joinall", peer.id));
        joined.push_back(peer.id);
    }
    CIPCCommunicationChannel channel(name.c_str());
    EXPECT_EQ(joined, Members(&channel));
    for (CKxPeer& peer : peers) EXPECT_EQ("list 1 " + Ids(joined), peer.Ask("list"));
}
