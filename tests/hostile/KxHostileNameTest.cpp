// A channel whose kernel object names are already taken by objects of another kind: initialising
// a participant fails with the exception of the object that could not be made, leaves no handle
// open, and the channel works once the name is free again.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "KxProcessUsage.h"
#include "KxTestHarness.h"
#include "KxWindows.h"
#include "kxipc.h"

namespace {

class QuietParticipant : public CkxIPCParticipant {
public:
    explicit QuietParticipant(const char* channel) : CkxIPCParticipant(channel) {}
    ~QuietParticipant() override { UninitializeParticipant(); }

protected:
    void OnJoin(unsigned int, bool) override {}
    void OnQuit(unsigned int) override {}
    void OnSyncMessage(unsigned int, unsigned int, unsigned long long) override {}
    void OnReceive(unsigned int, unsigned int, unsigned long long) override {}
};

std::uint32_t HandleCount() {
    const std::uint32_t handles = KxOpenHandleCount();
    EXPECT_NE(0u, handles);  // a count that reads 0 would make every comparison pass
    return handles;
}

HANDLE SquatEvent(const std::string& name) {
    return CreateEventA(nullptr, TRUE /*bManualReset*/, FALSE /*bInitialState*/, name.c_str());
}

HANDLE SquatMutex(const std::string& name) {
    return CreateMutexA(nullptr, FALSE /*bInitialOwner*/, name.c_str());
}

// Which name of channel c is taken, by what, and what InitializeParticipant must throw.
struct TakenName {
    const char* what;
    std::string (*name)(const std::string& c);
    HANDLE (*squat)(const std::string& name);
    std::function<void(QuietParticipant&)> expectThrow;
};

}  // namespace

TEST(KxHostileNameTest, NameTakenByAnotherKindThrowsAndLeavesNoHandle) {
    // Everything a first initialisation creates for good (pool elements, COM, the loader's own
    // objects) exists before the counting starts.
    {
        QuietParticipant warmUp(KxUniqueName("warm").c_str());
        warmUp.InitializeParticipant();
        warmUp.UninitializeParticipant();
    }
    const TakenName cases[] = {
        {"channel mutex taken by an event", [](const std::string& c) { return c + "_Mutex"; },
         SquatEvent,
         [](QuietParticipant& p) { EXPECT_THROW(p.InitializeParticipant(), CKxMutexException); }},
        {"member segment taken by a mutex",
         [](const std::string& c) {
             return "TKxInterProcessGrowArray" + c + "_Participant_IDs_Array";
         },
         SquatMutex,
         [](QuietParticipant& p) {
             EXPECT_THROW(p.InitializeParticipant(), CKxSharedMemoryException);
         }},
        {"queue segment taken by an event",
         [](const std::string& c) { return "TKxInterProcessArray" + c + "_Message_Queue"; },
         SquatEvent,
         [](QuietParticipant& p) {
             EXPECT_THROW(p.InitializeParticipant(), CKxSharedMemoryException);
         }},
        {"member segment's _mutex taken by an event",
         [](const std::string& c) {
             return "TKxInterProcessGrowArray" + c + "_Participant_IDs_Array_mutex";
         },
         SquatEvent,
         [](QuietParticipant& p) { EXPECT_THROW(p.InitializeParticipant(), CKxMutexException); }},
        {"queue segment's _mutex taken by a mapping",
         [](const std::string& c) { return "TKxInterProcessArray" + c + "_Message_Queue_mutex"; },
         [](const std::string& name) {
             return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                       name.c_str());
         },
         [](QuietParticipant& p) { EXPECT_THROW(p.InitializeParticipant(), CKxMutexException); }},
    };
    int index = 0;
    for (const TakenName& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string channel = KxUniqueName("taken" + std::to_string(index++));
        HANDLE squatter = c.squat(c.name(channel));
        ASSERT_NE(nullptr, squatter);
        // The first failure of a kind may set up for good what the platform keeps for the
        // process (seen under Wine: two handles, once); every later one must leave nothing.
        {
            QuietParticipant first(channel.c_str());
            c.expectThrow(first);
        }
        const std::uint32_t before = HandleCount();
        for (int attempt = 0; attempt < 3; ++attempt) {
            QuietParticipant participant(channel.c_str());
            c.expectThrow(participant);
            // Refused, not half made: the participant is left uninitialised.
            EXPECT_FALSE(participant.PostIPMessage(0, nullptr, 1, 0));
        }
        EXPECT_EQ(before, HandleCount());

        // Nothing of the failed attempt holds the channel: with the name free, it works.
        CloseHandle(squatter);
        QuietParticipant participant(channel.c_str());
        participant.InitializeParticipant();
        EXPECT_NE(0u, participant.GetParticipantID());
        participant.UninitializeParticipant();
    }
}
