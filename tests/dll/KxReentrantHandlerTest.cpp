// Handlers that send, leave, rejoin and close while their own participant keeps dispatching: the
// announcements stay true, and no combination of stops made from handlers waits for ever.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "KxCountingParticipant.h"
#include "KxMemberProcess.h"
#include "kxipc.h"
#include "kxipc_c.h"

namespace {

using Participants = std::vector<std::unique_ptr<CKxCountingParticipant>>;

// Every identifier is announced at most once by OnJoin, and OnQuit only follows its OnJoin.
::testing::AssertionResult AnnouncedInOrder(const std::vector<std::string>& lines) {
    std::map<unsigned int, std::string> state;  // id -> "join" or "quit"
    for (const std::string& line : lines) {
        std::istringstream words(line);
        std::string kind;
        unsigned int id = 0;
        words >> kind >> id;
        const std::string before = state[id];
        if ((kind == "join" && !before.empty()) || (kind == "quit" && before != "join")) {
            std::string all;
            for (const std::string& each : lines) all += each + "; ";
            return ::testing::AssertionFailure() << line << " after '" << before << "': " << all;
        }
        state[id] = kind;
    }
    return ::testing::AssertionSuccess();
}

// True once done() holds, within the suite's deadline.
bool Eventually(const std::function<bool()>& done) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kKxDeadlineMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return done();
}

long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

const unsigned int kStopNext = 77;
const kxipc_callbacks kNone = {};

}  // namespace

// B greets A from OnJoin(A, false) with a synchronous send that A holds; D joins meanwhile and is
// announced inside that send. The start's own announcements must not announce D again.
TEST(KxReentrantHandlers, MemberJoiningWhileTheStartGreetsIsAnnouncedOnce) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant a(channel.c_str()), b(channel.c_str()), d(channel.c_str());
    a.InitializeParticipant();
    const unsigned int aId = a.GetParticipantID();
    a.Hold();
    b.onJoin = [&](unsigned int id, bool) {
        if (id == aId) b.SendIPMessage(1, &aId, 9, 0);
    };
    std::future<void> bStart = std::async(std::launch::async, [&] { b.InitializeParticipant(); });
    ASSERT_TRUE(a.WaitHeld(kKxDeadlineMs));
    std::future<void> dStart = std::async(std::launch::async, [&] { d.InitializeParticipant(); });
    ASSERT_TRUE(Eventually([&] { return b.Announcements().size() == 2; }));
    a.Release();
    bStart.get();
    dStart.get();
    EXPECT_TRUE(AnnouncedInOrder(b.Announcements()));
    EXPECT_EQ(2u, b.joins.load());
}

// D and E register while B is held; B greets D from OnJoin(D, true) with a send that A holds, and
// E dies meanwhile. B must not hear of E's end before (or without) E's arrival.
TEST(KxReentrantHandlers, MemberEndingWhileAnArrivalIsGreetedIsNeverAnnouncedOutOfOrder) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant a(channel.c_str()), b(channel.c_str()), c(channel.c_str()),
        d(channel.c_str());
    a.InitializeParticipant();
    b.InitializeParticipant();
    c.InitializeParticipant();
    const unsigned int aId = a.GetParticipantID(), bId = b.GetParticipantID();
    b.Hold();
    std::future<bool> held =
        std::async(std::launch::async, [&] { return c.SendIPMessage(1, &bId, 9, 0); });
    ASSERT_TRUE(b.WaitHeld(kKxDeadlineMs));
    std::future<void> dStart = std::async(std::launch::async, [&] { d.InitializeParticipant(); });
    ASSERT_TRUE(Eventually([&] { return a.joins == 3; }));
    CKxMemberProcess e(channel);
    e.StartJoin();
    ASSERT_TRUE(Eventually([&] { return a.joins == 4 && c.joins == 4; }));
    std::atomic<bool> greeted{false};
    b.onJoin = [&](unsigned int, bool later) {
        if (later && !greeted.exchange(true)) b.SendIPMessage(1, &aId, 9, 0);
    };
    a.Hold();
    b.Release();
    ASSERT_TRUE(a.WaitHeld(kKxDeadlineMs));
    e.Kill();
    ASSERT_TRUE(Eventually([&] { return c.quits == 1; }));
    a.Release();
    dStart.get();
    EXPECT_TRUE(held.get());
    EXPECT_TRUE(AnnouncedInOrder(b.Announcements()));
}

// Each participant's handler stops the next one while that one's handler stops the one after it:
// a ring of two and of three. Every handler call returns, and every stopped participant has left.
TEST(KxReentrantHandlers, HandlersStoppingEachOtherInARingAllReturn) {
    for (size_t ring : {2u, 3u}) {
        const std::string channel = KxUniqueName("channel" + std::to_string(ring));
        Participants members;
        for (size_t i = 0; i <= ring; ++i)
            members.emplace_back(new CKxCountingParticipant(channel.c_str()));
        std::atomic<size_t> entered{0}, returned{0};
        for (size_t i = 0; i < ring; ++i) {
            CKxCountingParticipant* next = members[(i + 1) % ring].get();
            members[i]->onReceive = [&, next](unsigned int, unsigned int code) {
                if (code != kStopNext) return;
                ++entered;
                Eventually([&] { return entered == ring; });
                next->UninitializeParticipant();
                ++returned;
            };
        }
        for (auto& member : members) member->InitializeParticipant();
        ASSERT_TRUE(members[ring]->PostIPMessage(0, nullptr, kStopNext, 0));
        EXPECT_TRUE(Eventually([&] { return returned == ring; })) << ring << " in the ring";
        // Stops made in handlers do not wait for the leaving threads; destroying does.
        members.clear();
        // Gone from the channel: a fresh member meets nobody.
        CKxCountingParticipant fresh(channel.c_str());
        fresh.InitializeParticipant();
        EXPECT_EQ(0u, fresh.joins.load()) << ring << " in the ring";
    }
}

// A handler that leaves and rejoins its own participant: the participant comes back under a new
// identifier, at once, and serves.
TEST(KxReentrantHandlers, HandlerRejoiningItsOwnParticipantComesBackUnderANewId) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant self(channel.c_str()), peer(channel.c_str());
    self.InitializeParticipant();
    peer.InitializeParticipant();
    const unsigned int first = self.GetParticipantID();
    std::atomic<long long> tookMs{-1};
    self.onReceive = [&](unsigned int, unsigned int code) {
        if (code != kStopNext) return;
        const auto start = std::chrono::steady_clock::now();
        self.UninitializeParticipant();
        self.InitializeParticipant();
        tookMs = MsSince(start);
    };
    ASSERT_TRUE(peer.PostIPMessage(1, &first, kStopNext, 0));
    ASSERT_TRUE(Eventually([&] { return tookMs >= 0; }));
    EXPECT_LT(tookMs.load(), static_cast<long long>(kKxPromptMs));
    const unsigned int second = self.GetParticipantID();
    EXPECT_NE(first, second);
    EXPECT_TRUE(peer.WaitAnnounced("quit " + std::to_string(first), kKxDeadlineMs));
    EXPECT_TRUE(peer.WaitAnnounced("join " + std::to_string(second) + " 1", kKxDeadlineMs));
    EXPECT_TRUE(peer.SendIPMessage(1, &second, 1, 5));
    EXPECT_EQ(5u, self.lastParam.load());
}

// A handler that throws in OnJoin(id, false) ends the membership; the start must not then wait
// for an acknowledgement of its join that nobody can deliver any more (the member present, held,
// takes the join notice only after the joiner has left).
TEST(KxReentrantHandlers, StartWhoseFirstOnJoinThrowsReturnsPromptly) {
    const std::string channel = KxUniqueName("channel");
    CKxCountingParticipant present(channel.c_str()), holder(channel.c_str()),
        thrower(channel.c_str());
    present.InitializeParticipant();
    holder.InitializeParticipant();
    const unsigned int presentId = present.GetParticipantID();
    present.Hold();
    std::future<bool> held =
        std::async(std::launch::async, [&] { return holder.SendIPMessage(1, &presentId, 9, 0); });
    ASSERT_TRUE(present.WaitHeld(kKxDeadlineMs));
    std::atomic<bool> threw{false};
    thrower.onJoin = [&](unsigned int, bool) {
        threw = true;
        throw 1;
    };
    const auto start = std::chrono::steady_clock::now();
    std::future<void> started =
        std::async(std::launch::async, [&] { thrower.InitializeParticipant(); });
    ASSERT_TRUE(Eventually([&] { return threw.load(); }));
    // Gone from the channel once a post to it is refused.
    const unsigned int throwerId = thrower.GetParticipantID();
    ASSERT_TRUE(Eventually([&] { return !holder.PostIPMessage(1, &throwerId, 1, 1); }));
    present.Release();
    started.get();
    EXPECT_LT(MsSince(start), static_cast<long long>(kKxPromptMs));
    EXPECT_FALSE(thrower.PostIPMessage(0, nullptr, 1, 1));
    EXPECT_TRUE(held.get());
}

namespace {

// The C side of a callback that joins the same channel, or rejoins or closes another participant.
struct CallbackCalls {
    std::string channel;
    kxipc_participant* other = nullptr;
    kxipc_participant* joined = nullptr;
    kxipc_status join = 99, leave = 99, rejoin = 99, close = 99;
    std::atomic<long long> tookMs{-1};

    static void OnReceive(void* user, uint32_t, uint32_t code, uint64_t) {
        CallbackCalls* calls = static_cast<CallbackCalls*>(user);
        if (code != kStopNext) return;
        const auto start = std::chrono::steady_clock::now();
        calls->join = kxipc_join(calls->channel.c_str(), &kNone, nullptr, &calls->joined);
        calls->leave = kxipc_leave(calls->other);
        calls->rejoin = kxipc_rejoin(calls->other);
        calls->close = kxipc_close(calls->other);
        calls->tookMs = MsSince(start);
    }
};

}  // namespace

// From a callback: joining the callback's own channel and rejoining another participant dispatch
// the callback's participant while they wait (it must acknowledge those joins); closing another
// participant is refused (a close waits for the closed one's callbacks to end).
TEST(KxReentrantHandlers, CallbackJoinsAndRejoinsOnItsOwnChannelWithoutStalling) {
    CallbackCalls calls;
    calls.channel = KxUniqueName("channel");
    const kxipc_callbacks callbacks = {nullptr, nullptr, nullptr, &CallbackCalls::OnReceive};
    kxipc_participant *caller = nullptr, *poster = nullptr;
    ASSERT_EQ(KXIPC_OK, kxipc_join(calls.channel.c_str(), &callbacks, &calls, &caller));
    ASSERT_EQ(KXIPC_OK, kxipc_join(calls.channel.c_str(), &kNone, nullptr, &calls.other));
    ASSERT_EQ(KXIPC_OK, kxipc_join(calls.channel.c_str(), &kNone, nullptr, &poster));
    uint32_t callerId = 0;
    ASSERT_EQ(KXIPC_OK, kxipc_id(caller, &callerId));
    ASSERT_EQ(KXIPC_OK, kxipc_post(poster, &callerId, 1, kStopNext, 0));
    ASSERT_TRUE(Eventually([&] { return calls.tookMs >= 0; }));
    EXPECT_LT(calls.tookMs.load(), static_cast<long long>(kKxPromptMs));
    EXPECT_EQ(KXIPC_OK, calls.join);
    EXPECT_EQ(KXIPC_OK, calls.leave);
    EXPECT_EQ(KXIPC_OK, calls.rejoin);
    EXPECT_EQ(KXIPC_E_STATE, calls.close);
    for (kxipc_participant* each : {calls.joined, calls.other, poster, caller}) {
        EXPECT_EQ(KXIPC_OK, kxipc_close(each)) << kxipc_last_error();
    }
}
