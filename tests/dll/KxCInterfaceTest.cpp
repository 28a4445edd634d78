// The C interface through kxipc.dll: each bad input or misuse gets its status and a text, a full
// channel its own status, and nothing is left open afterwards; callbacks run on the waiting thread.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "CKxEvent.h"
#include "KxLiveness.h"
#include "KxProcessUsage.h"
#include "KxTestHarness.h"
#include "kxipc_c.h"

namespace {

const kxipc_callbacks kNoCallbacks = {};

kxipc_participant* Join(const std::string& channel, const kxipc_callbacks& callbacks = kNoCallbacks,
                        void* user = nullptr) {
    kxipc_participant* participant = nullptr;
    EXPECT_EQ(KXIPC_OK, kxipc_join(channel.c_str(), &callbacks, user, &participant))
        << kxipc_last_error();
    return participant;
}

uint32_t Id(kxipc_participant* participant) {
    uint32_t id = 0;
    EXPECT_EQ(KXIPC_OK, kxipc_id(participant, &id));
    return id;
}

const uint32_t kNoRefusal = ~0u;

// One call and what it must return; for a send, the refusal its report must name; where it
// matters, the exact text.
struct Row {
    const char* call;
    std::function<kxipc_status()> run;
    kxipc_status status;
    uint32_t refusal = kNoRefusal;
    const char* text = nullptr;
};

// Runs every row on fresh participants; each failing row must leave a text, each success none.
void RunBadInputTable(const std::string& channel, const std::string& full) {
    const std::string takenByAnEvent = channel + "_taken";
    CKxEvent squatter(takenByAnEvent + "_Mutex", true /*manualReset*/);
    kxipc_participant *a = Join(channel), *b = Join(channel), *gone = Join(channel),
                      *left = Join(channel), *out = nullptr, *quiet = nullptr, *heir = nullptr;
    const uint32_t to[KXIPC_MAX_TARGETS + 1] = {Id(b)};
    const uint32_t stranger = KxCurrentThreadId();  // a thread, not a member
    uint32_t id = 0, count = 0;
    kxipc_send_report report;
    kxipc_participant* const forged = reinterpret_cast<kxipc_participant*>(0x1234);
    const Row rows[] = {
        {"join null channel", [&] { return kxipc_join(nullptr, &kNoCallbacks, nullptr, &out); },
         KXIPC_E_ARGUMENT},
        {"null callbacks: a participant that only sends",
         [&] { return kxipc_join(channel.c_str(), nullptr, nullptr, &quiet); }, KXIPC_OK},
        {"null callbacks: send", [&] { return kxipc_send(quiet, to, 1, 1, 1, &report); }, KXIPC_OK,
         KXIPC_QUEUED},
        {"null callbacks: post", [&] { return kxipc_post(quiet, nullptr, 0, 1, 1); }, KXIPC_OK},
        {"join name of an event",
         [&] { return kxipc_join(takenByAnEvent.c_str(), &kNoCallbacks, nullptr, &out); },
         KXIPC_E_KERNEL, kNoRefusal, "CKxMutex::CKxMutex -> could not create mutex"},
        {"join a full channel",
         [&] { return kxipc_join(full.c_str(), &kNoCallbacks, nullptr, &out); },
         KXIPC_E_CHANNEL_FULL, kNoRefusal,
         "CIPCCommunicationChannel::AddParticipant -> the channel is full (50 members)"},
        {"id forged handle", [&] { return kxipc_id(forged, &id); }, KXIPC_E_HANDLE},
        {"members null ids with room", [&] { return kxipc_members(a, nullptr, 4, &count); },
         KXIPC_E_ARGUMENT},
        {"send too many targets",
         [&] { return kxipc_send(a, to, KXIPC_MAX_TARGETS + 1, 1, 1, &report); }, KXIPC_E_ARGUMENT},
        {"send reserved code", [&] { return kxipc_send(a, to, 1, 0xFFFF0000u, 1, &report); },
         KXIPC_REFUSED, KXIPC_REFUSED_RESERVED_CODE},
        {"post reserved code", [&] { return kxipc_post(a, nullptr, 0, 0xFFFFFFFFu, 1); },
         KXIPC_REFUSED, kNoRefusal,
         "kxipc_post -> refused: codes 0xFFFF0000 and above are reserved"},
        {"post to a stranger", [&] { return kxipc_post(a, &stranger, 1, 1, 1); }, KXIPC_REFUSED,
         kNoRefusal, "kxipc_post -> refused: a target is not a member of the channel"},
        {"send to a stranger", [&] { return kxipc_send(a, &stranger, 1, 1, 1, &report); },
         KXIPC_REFUSED, KXIPC_REFUSED_ABSENT},
        {"send to an empty list", [&] { return kxipc_send(a, to, 0, 1, 1, &report); },
         KXIPC_REFUSED, KXIPC_REFUSED_NO_TARGETS},
        {"rejoin when joined", [&] { return kxipc_rejoin(a); }, KXIPC_E_STATE},
        {"leave", [&] { return kxipc_leave(left); }, KXIPC_OK},
        {"leave twice", [&] { return kxipc_leave(left); }, KXIPC_E_STATE},
        {"send after leave", [&] { return kxipc_send(left, nullptr, 0, 1, 1, &report); },
         KXIPC_REFUSED, KXIPC_REFUSED_NOT_RUNNING},
        {"post after leave", [&] { return kxipc_post(left, to, 1, 1, 1); }, KXIPC_REFUSED,
         kNoRefusal, "kxipc_post -> refused: the participant is not joined, or is leaving"},
        {"rejoin after leave", [&] { return kxipc_rejoin(left); }, KXIPC_OK},
        {"close", [&] { return kxipc_close(gone); }, KXIPC_OK},
        {"close twice", [&] { return kxipc_close(gone); }, KXIPC_E_HANDLE},
        {"id after close", [&] { return kxipc_id(gone, &id); }, KXIPC_E_HANDLE},
        {"null handle", [&] { return kxipc_members(nullptr, nullptr, 0, &count); }, KXIPC_E_HANDLE},
        // The newest participant takes the slot the closed one gave back.
        {"a new participant after close",
         [&] { return kxipc_join(channel.c_str(), nullptr, nullptr, &heir); }, KXIPC_OK},
        {"close of a handle whose slot was taken again", [&] { return kxipc_close(gone); },
         KXIPC_E_HANDLE},
        {"send after close", [&] { return kxipc_send(gone, nullptr, 0, 1, 1, &report); },
         KXIPC_E_HANDLE},
        {"send to a member", [&] { return kxipc_send(a, to, 1, 1, 1, &report); }, KXIPC_OK,
         KXIPC_QUEUED},
    };
    for (const Row& row : rows) {
        report.refusal = kNoRefusal;
        out = forged;
        const kxipc_status status = row.run();
        EXPECT_EQ(row.status, status) << row.call << ": " << kxipc_last_error();
        EXPECT_EQ(status == KXIPC_OK, kxipc_last_error()[0] == '\0') << row.call;
        if (row.refusal != kNoRefusal) {
            EXPECT_EQ(row.refusal, report.refusal) << row.call;
        }
        if (row.refusal == KXIPC_REFUSED_ABSENT) {
            EXPECT_EQ(KXIPC_TARGET_ABSENT, report.outcomes[0]) << row.call;
        }
        if (row.text) {
            EXPECT_STREQ(row.text, kxipc_last_error()) << row.call;
        }
        if (std::strncmp(row.call, "join", 4) == 0) {
            EXPECT_EQ(nullptr, out) << row.call;
        }
    }
    for (kxipc_participant* open : {a, b, left, quiet, heir})
        EXPECT_EQ(KXIPC_OK, kxipc_close(open));
}

}  // namespace

TEST(KxCInterface, BadInputGetsItsStatusAndLeavesNothingOpen) {
    const std::string channel = KxUniqueName("channel"), full = KxUniqueName("full");
    std::vector<kxipc_participant*> members;
    for (int i = 0; i < 50; ++i) members.push_back(Join(full));
    // Warm-up: the pool's events and the runtime's first allocations.
    RunBadInputTable(channel, full);
    const std::uint32_t before = KxOpenHandleCount();
    RunBadInputTable(channel, full);
    EXPECT_LE(KxOpenHandleCount(), before + 2) << "handles left open by refused calls";
    EXPECT_STREQ(KXIPC_TEST_VERSION, kxipc_version());
    for (kxipc_participant* member : members) EXPECT_EQ(KXIPC_OK, kxipc_close(member));
}

namespace {

const uint32_t kStart = 5, kAsk = 6, kAnswer = 7;

// Two participants of this process. kStart makes the ender send kAsk synchronously to the
// answerer, whose OnSyncMessage posts kAnswer back before acknowledging, so that the ender's
// OnReceive of kAnswer runs nested inside that send. There it tries to leave, rejoin and close its
// own participant.
struct Pair {
    kxipc_participant *ender = nullptr, *answerer = nullptr;
    kxipc_status leave = KXIPC_OK, rejoin = KXIPC_OK, close = KXIPC_OK, send = KXIPC_E_STATE;
    KxThreadId handlerThread = 0;
    std::string nestedText, textAfterSend = "unset";
    std::promise<void> sent;

    static void EnderReceives(void* user, uint32_t sender, uint32_t code, uint64_t) {
        Pair* pair = static_cast<Pair*>(user);
        if (code == kStart) {
            pair->handlerThread = KxCurrentThreadId();
            pair->send = kxipc_send(pair->ender, &sender, 1, kAsk, 0, nullptr);
            pair->textAfterSend = kxipc_last_error();
            pair->sent.set_value();
        } else if (code == kAnswer) {
            pair->leave = kxipc_leave(pair->ender);
            pair->rejoin = kxipc_rejoin(pair->ender);
            pair->close = kxipc_close(pair->ender);
            pair->nestedText = kxipc_last_error();
        }
    }
    static void AnswererSyncs(void* user, uint32_t sender, uint32_t, uint64_t) {
        kxipc_post(static_cast<Pair*>(user)->answerer, &sender, 1, kAnswer, 0);
    }
};

}  // namespace

TEST(KxCInterface, CallbackCannotEndItsOwnParticipantAndItsFailureStaysInside) {
    const std::string channel = KxUniqueName("channel");
    Pair pair;
    const kxipc_callbacks ender = {nullptr, nullptr, nullptr, &Pair::EnderReceives},
                          answerer = {nullptr, nullptr, &Pair::AnswererSyncs, nullptr};
    pair.ender = Join(channel, ender, &pair);
    pair.answerer = Join(channel, answerer, &pair);
    const uint32_t enderId = Id(pair.ender);
    ASSERT_EQ(KXIPC_OK, kxipc_post(pair.answerer, &enderId, 1, kStart, 0)) << kxipc_last_error();
    ASSERT_EQ(std::future_status::ready,
              pair.sent.get_future().wait_for(std::chrono::milliseconds(kKxDeadlineMs)));
    // Callbacks run on the waiting thread, whose identifier is the participant's.
    EXPECT_EQ(enderId, pair.handlerThread);
    EXPECT_EQ(KXIPC_E_STATE, pair.leave);
    EXPECT_EQ(KXIPC_E_STATE, pair.rejoin);
    EXPECT_EQ(KXIPC_E_STATE, pair.close);
    EXPECT_EQ("kxipc_close -> not possible inside the participant's own callback", pair.nestedText);
    // The send around the refused calls succeeded, and says so on its thread.
    EXPECT_EQ(KXIPC_OK, pair.send);
    EXPECT_EQ("", pair.textAfterSend);
    // Still joined: announced, and acknowledging a synchronous send.
    uint32_t member = 0, count = 0;
    EXPECT_EQ(KXIPC_OK, kxipc_members(pair.answerer, &member, 1, &count));
    EXPECT_EQ(enderId, member);
    EXPECT_EQ(KXIPC_OK, kxipc_send(pair.answerer, &member, 1, 1, 1, nullptr)) << kxipc_last_error();
    EXPECT_EQ(KXIPC_OK, kxipc_close(pair.ender));
    EXPECT_EQ(KXIPC_OK, kxipc_close(pair.answerer));
}
