// A channel whose kernel object names are already taken by objects of another kind (events):
// initialising a participant fails with the exception of the object that could not be made, leaves
// no handle open, and the channel works once the name is free again.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>

#include "CKxEvent.h"
#include "CKxMutex.h"
#include "KxChannelLayout.h"
#include "KxCountingParticipant.h"
#include "KxProcessUsage.h"
#include "KxTestHarness.h"
#include "kxipc.h"

namespace {

const char kMutexFailure[] = "CKxMutex::CKxMutex -> could not create mutex";
const char kMappingFailure[] =
    "CKxSharedMemory::CKxSharedMemory -> could not create the file mapping";

// InitializeParticipant throws, into this application across the DLL boundary, an exception of
// the library's family with the message of the object that could not be made.
void ExpectRefused(CKxCountingParticipant& participant, const char* message) {
    try {
        participant.InitializeParticipant();
        ADD_FAILURE() << "no exception";
    } catch (const CKxBaseException& e) {
        const bool mutex = dynamic_cast<const CKxMutexException*>(&e) != nullptr;
        EXPECT_EQ(mutex, message == kMutexFailure) << typeid(e).name();
        EXPECT_EQ(message, e.GetErrorMessage());
    }
    // Refused, not half made: the participant is left uninitialised.
    EXPECT_FALSE(participant.PostIPMessage(0, nullptr, 1, 0));
}

}  // namespace

TEST(KxHostileNameTest, NameTakenByAnotherKindThrowsAndLeavesNoHandle) {
    // Everything a first initialisation creates for good (pool elements, COM, the loader's own
    // objects) exists before the counting starts.
    {
        const std::string warm = KxUniqueName("warm");
        CKxCountingParticipant warmUp(warm.c_str());
        warmUp.InitializeParticipant();
    }
    const struct {
        const char* suffix;  // of the channel's name, or after a prefix when it has one
        const char* prefix;
        const char* message;
    } cases[] = {
        {"_Mutex", "", kMutexFailure},
        {"_Participant_IDs_Array", "TKxInterProcessGrowArray", kMappingFailure},
        {"_Message_Queue", "TKxInterProcessArray", kMappingFailure},
        {"_Participant_IDs_Array_mutex", "TKxInterProcessGrowArray", kMutexFailure},
        {"_Message_Queue_mutex", "TKxInterProcessArray", kMutexFailure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.suffix);
        const std::string channel = KxUniqueName(c.suffix);
        const std::string taken = c.prefix + channel + c.suffix;
        std::unique_ptr<CKxEvent> squatter(new CKxEvent(taken, true /*manualReset*/));
        // The first failure of a kind may set up for good what the platform keeps for the
        // process (seen under Wine: two handles, once); every later one must leave nothing.
        {
            CKxCountingParticipant first(channel.c_str());
            ExpectRefused(first, c.message);
        }
        CKxCountingParticipant participant(channel.c_str());
        const std::uint32_t before = KxOpenHandleCount();
        ASSERT_NE(0u, before);  // a count that reads 0 would make every comparison pass
        for (int attempt = 0; attempt < 3; ++attempt) ExpectRefused(participant, c.message);
        // Fewer is fine: a failed start retires its join element, whose event then closes.
        EXPECT_LE(KxOpenHandleCount(), before);

        // Nothing of the failed attempts holds the channel: with the name free, the same
        // participant starts.
        squatter.reset();
        participant.InitializeParticipant();
        EXPECT_NE(0u, participant.GetParticipantID());
    }
}

// A process that died holding one of a channel's mutexes (the channel's, or a segment's while it
// opened or closed it) leaves it abandoned: the next joiner takes it over and joins.
TEST(KxHostileNameTest, MutexAbandonedByADeadHolderDoesNotStopAJoin) {
    const std::string segmentMutex[] = {std::string(kKxIdArraySuffix) + kKxSegmentMutexSuffix,
                                        std::string(kKxQueueSuffix) + kKxSegmentMutexSuffix};
    const std::pair<std::string, std::string> mutexes[] = {{"", kKxChannelMutexSuffix},
                                                           {kKxIdArrayPrefix, segmentMutex[0]},
                                                           {kKxQueuePrefix, segmentMutex[1]}};
    for (const auto& m : mutexes) {
        SCOPED_TRACE(m.second);
        const std::string channel = KxUniqueName("channel");
        CKxMutex mutex(m.first + channel + m.second);
        // A thread that ends owning a mutex abandons it, as a process that dies does.
        std::thread([&] { mutex.Wait(kKxWaitForever); }).join();
        CKxCountingParticipant participant(channel.c_str());
        EXPECT_NO_THROW(participant.InitializeParticipant());
        const unsigned int self = participant.GetParticipantID();
        EXPECT_TRUE(participant.PostIPMessage(1, &self, 1, 0)) << "not a member";
    }
}
