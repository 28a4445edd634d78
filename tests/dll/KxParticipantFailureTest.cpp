// Refused sends, departures with messages pending, stale members and a channel whose kernel
// objects cannot be made, through kxipc.dll.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <typeinfo>

#include "KxMemberProcess.h"
#include "KxRecordingParticipant.h"

namespace {

using Recorder = CKxRecordingParticipant;

struct KxViewUnmapper {
    void operator()(const volatile DWORD* view) const {
        if (view) UnmapViewOfFile(const_cast<const DWORD*>(view));
    }
};

}  // namespace

TEST(KxParticipantRefusal, SendsAreRefusedOutsideMembershipAndWithoutRecipients) {
    const std::string channel = KxUniqueName("channel");
    Recorder participant(channel.c_str());
    const unsigned int stranger = GetCurrentThreadId();
    EXPECT_FALSE(participant.SendIPMessage(1, &stranger, kKxMarkerCode, 0));
    EXPECT_FALSE(participant.PostIPMessage(0, nullptr, kKxMarkerCode, 0));

    participant.InitializeParticipant();
    const unsigned int self = participant.GetParticipantID();
    // Alone: a null list names nobody, and a count of 0 names nobody whatever the list.
    EXPECT_FALSE(participant.SendIPMessage(0, nullptr, kKxMarkerCode, 0));
    EXPECT_FALSE(participant.PostIPMessage(0, nullptr, kKxMarkerCode, 0));
    EXPECT_FALSE(participant.SendIPMessage(0, &self, kKxMarkerCode, 0));

    auto other = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(other);
    const unsigned int otherId = other->Id();
    ASSERT_TRUE(participant.WaitFor(Recorder::Join(otherId, true), kKxHangBoundMs));
    EXPECT_TRUE(participant.SendIPMessage(0, nullptr, kKxMarkerCode, 1));

    participant.UninitializeParticipant();
    EXPECT_FALSE(participant.SendIPMessage(1, &otherId, kKxMarkerCode, 2));
    EXPECT_FALSE(participant.PostIPMessage(1, &otherId, kKxMarkerCode, 3));
    EXPECT_FALSE(participant.SendIPMessage(0, nullptr, kKxMarkerCode, 4));

    // A send to itself returns after its own handling, so anything queued before it has arrived.
    ASSERT_TRUE(other->Saw(KxQuitLine(self)));
    EXPECT_EQ(1, other->Send(kKxMarkerCode, 5, {otherId}));
    EXPECT_EQ(1u, other->CountLines(KxSyncLine(self, kKxMarkerCode)));
    EXPECT_EQ(1u, other->CountLines(KxRecvLine(self, kKxMarkerCode))) << other->Output();
}

TEST(KxParticipantRefusal, ReservedCodesAreRefusedAndTheLargestApplicationCodeIsDelivered) {
    const std::string channel = KxUniqueName("channel");
    auto other = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(other);
    const unsigned int otherId = other->Id();
    Recorder participant(channel.c_str());
    participant.InitializeParticipant();
    const unsigned int self = participant.GetParticipantID();

    for (unsigned int reserved : {0xFFFF0000u, 0xFFFF0001u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(participant.SendIPMessage(1, &otherId, reserved, 1)) << std::hex << reserved;
        EXPECT_FALSE(participant.PostIPMessage(1, &otherId, reserved, 1)) << std::hex << reserved;
        EXPECT_FALSE(participant.SendIPMessage(0, nullptr, reserved, 1)) << std::hex << reserved;
    }
    EXPECT_TRUE(participant.SendIPMessage(1, &otherId, 0xFFFEFFFFu, 2));
    EXPECT_TRUE(participant.PostIPMessage(1, &otherId, 0xFFFEFFFFu, 3));
    ASSERT_TRUE(other->Saw(KxRecvLine(self, 0xFFFEFFFFu) + " 3"));

    // A reserved message queued by mistake would have arrived before these, 0xFFFF0000 as a
    // second join notice.
    EXPECT_EQ(1u, other->CountLines(KxJoinLine(self, true)));
    EXPECT_EQ(1u, other->CountLines("sync ")) << other->Output();
    EXPECT_EQ(2u, other->CountLines("recv ")) << other->Output();
    EXPECT_EQ(1u, other->CountLines(KxSyncLine(self, 0xFFFEFFFFu) + " 2"));
}

TEST(KxParticipantRefusal, UnknownRecipientRefusesTheMessageForEveryRecipient) {
    const std::string channel = KxUniqueName("channel");
    auto other = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(other);
    const unsigned int otherId = other->Id();
    Recorder participant(channel.c_str());
    participant.InitializeParticipant();
    const unsigned int self = participant.GetParticipantID();

    const unsigned int stranger = GetCurrentThreadId();  // a live thread, but no member
    const unsigned int strangerLast[2] = {otherId, stranger};
    const unsigned int strangerFirst[2] = {stranger, otherId};
    EXPECT_FALSE(participant.SendIPMessage(2, strangerLast, kKxMarkerCode, 1));
    EXPECT_FALSE(participant.PostIPMessage(2, strangerLast, kKxMarkerCode, 2));
    EXPECT_FALSE(participant.SendIPMessage(2, strangerFirst, kKxMarkerCode, 3));

    // Queued behind anything the refused calls might have left.
    EXPECT_TRUE(participant.SendIPMessage(1, &otherId, kKxMarkerCode, 4));
    ASSERT_TRUE(other->Saw(KxRecvLine(self, kKxMarkerCode) + " 4"));
    EXPECT_EQ(1u, other->CountLines("sync ")) << other->Output();
    EXPECT_EQ(1u, other->CountLines("recv ")) << other->Output();
}

TEST(KxParticipantFailure, MemberLeavingWithASyncMessagePendingReleasesItsSender) {
    const std::string channel = KxUniqueName("channel");
    const std::string quitReleaseName = KxUniqueName("quit_release");
    const std::string syncReleaseName = KxUniqueName("sync_release");
    KxHandle quitRelease = KxCreateReleaseEvent(quitReleaseName);
    KxHandle syncRelease = KxCreateReleaseEvent(syncReleaseName);
    ASSERT_TRUE(quitRelease && syncRelease);
    auto leaver = CKxMemberProcess::Start(channel, {"hold-quit=" + quitReleaseName});
    ASSERT_TRUE(leaver);
    auto doomed = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(doomed);
    auto witness = CKxMemberProcess::Start(channel, {"hold-sync=" + syncReleaseName});
    ASSERT_TRUE(witness);
    Recorder sender(channel.c_str());
    sender.InitializeParticipant();
    const unsigned int self = sender.GetParticipantID();
    const unsigned int leaverId = leaver->Id();

    // The leaver's waiting thread is kept busy in OnQuit, outside any drain of its messages.
    const unsigned int doomedId = doomed->Id();
    doomed->Kill();
    ASSERT_TRUE(leaver->Saw(KxQuitLine(doomedId)));

    const unsigned int ids[2] = {leaverId, witness->Id()};
    std::future<bool> sending = std::async(
        std::launch::async, [&] { return sender.SendIPMessage(2, ids, kKxMarkerCode, 6); });
    // One record lists both recipients: once the witness holds it, it waits for the leaver too.
    ASSERT_TRUE(witness->Saw(KxSyncLine(self, kKxMarkerCode)));
    SetEvent(syncRelease.get());
    ASSERT_TRUE(witness->Saw(KxRecvLine(self, kKxMarkerCode)));
    EXPECT_EQ(std::future_status::timeout, sending.wait_for(std::chrono::seconds(0)));

    // The member prints the line just before UninitializeParticipant sets the stop; the pipe round
    // trip to this test and back to the member's handler is what lets the stop come first.
    leaver->BeginUninitialize();
    ASSERT_TRUE(leaver->Saw("uninitialising"));
    SetEvent(quitRelease.get());
    ASSERT_EQ(std::future_status::ready,
              sending.wait_for(std::chrono::milliseconds(kKxHangBoundMs)));
    EXPECT_TRUE(sending.get());
    EXPECT_TRUE(leaver->Saw("uninitialised"));
    EXPECT_EQ(0u, leaver->CountLines("sync ")) << leaver->Output();
    EXPECT_EQ(0u, leaver->CountLines("recv ")) << leaver->Output();
    EXPECT_TRUE(sender.WaitFor(Recorder::Quit(leaverId), kKxHangBoundMs));
}

TEST(KxParticipantFailure, JoinerDropsMembersWhoseThreadsEndedUnwatched) {
    const std::string channel = KxUniqueName("channel");
    // Both members live in one process: when it dies, no member is left to notice.
    auto pair = CKxChildProcess::Role("KxParticipantPair", {channel});
    ASSERT_TRUE(pair);
    std::string line;
    ASSERT_TRUE(pair->WaitForLine("ids ", kKxStartTimeoutMs, &line));
    const unsigned int staleA =
        static_cast<unsigned int>(std::stoul(line.substr(4, 8), nullptr, 16));
    const unsigned int staleB =
        static_cast<unsigned int>(std::stoul(line.substr(13, 8), nullptr, 16));

    // This process keeps the channel's segments, and so their contents, alive across the death.
    KxHandle idSegment(OpenFileMappingA(
        FILE_MAP_READ, FALSE /*bInheritHandle*/,
        ("TKxInterProcessGrowArray" + channel + "_Participant_IDs_Array").c_str()));
    KxHandle queueSegment(
        OpenFileMappingA(FILE_MAP_READ, FALSE /*bInheritHandle*/,
                         ("TKxInterProcessArray" + channel + "_Message_Queue").c_str()));
    ASSERT_TRUE(idSegment && queueSegment);
    // The identifier array: header word, member count, then the identifiers in joining order.
    std::unique_ptr<const volatile DWORD, KxViewUnmapper> words(static_cast<const DWORD*>(
        MapViewOfFile(idSegment.get(), FILE_MAP_READ, 0, 0, 0 /*whole segment*/)));
    ASSERT_TRUE(words);
    pair->Kill();
    ASSERT_EQ(2u, words.get()[1]);
    EXPECT_EQ(staleA, words.get()[2]);
    EXPECT_EQ(staleB, words.get()[3]);

    Recorder joiner(channel.c_str());
    // A join notice to the dead would never be acknowledged: the start would wait 25 s.
    EXPECT_TRUE(KxRunsWithin(kKxHangBoundMs, [&] { joiner.InitializeParticipant(); }));
    const unsigned int self = joiner.GetParticipantID();
    EXPECT_TRUE(joiner.Events().empty());
    EXPECT_EQ(1u, words.get()[1]);
    EXPECT_EQ(self, words.get()[2]);
    EXPECT_FALSE(joiner.SendIPMessage(1, &staleA, kKxMarkerCode, 1));

    // The channel works on: a newcomer meets only the joiner, and both exchange messages.
    auto newcomer = CKxMemberProcess::Start(channel);
    ASSERT_TRUE(newcomer);
    const unsigned int newcomerId = newcomer->Id();
    EXPECT_EQ(1u, newcomer->CountLines("join "));
    EXPECT_EQ(1u, newcomer->CountLines(KxJoinLine(self, false)));
    EXPECT_TRUE(joiner.WaitFor(Recorder::Join(newcomerId, true), kKxHangBoundMs));
    EXPECT_TRUE(joiner.SendIPMessage(0, nullptr, kKxMarkerCode, 2));
    EXPECT_TRUE(newcomer->Saw(KxRecvLine(self, kKxMarkerCode) + " 2"));
    EXPECT_EQ(1, newcomer->Send(kKxMarkerCode, 3));
    EXPECT_TRUE(joiner.WaitFor(Recorder::Receive(newcomerId, kKxMarkerCode), kKxHangBoundMs));
    joiner.UninitializeParticipant();
}

TEST(KxParticipantFailure, ChannelMutexNameHeldByAnEventThrowsAndLeavesItUninitialised) {
    const std::string channel = KxUniqueName("channel");
    KxHandle squatter(CreateEventA(nullptr, TRUE /*bManualReset*/, FALSE /*bInitialState*/,
                                   (channel + "_Mutex").c_str()));
    ASSERT_TRUE(squatter);
    Recorder participant(channel.c_str());

    // Thrown on the waiting thread inside the DLL, caught here by the family's base class.
    std::exception_ptr thrown;
    EXPECT_TRUE(KxRunsWithin(
        kKxHangBoundMs, [&] { participant.InitializeParticipant(); }, &thrown));
    ASSERT_TRUE(thrown);
    try {
        std::rethrow_exception(thrown);
    } catch (const CKxBaseException& e) {
        EXPECT_TRUE(dynamic_cast<const CKxMutexException*>(&e)) << typeid(e).name();
        EXPECT_EQ("CKxMutex::CKxMutex -> could not create mutex", e.GetErrorMessage());
    } catch (...) {
        ADD_FAILURE() << "not of the CKxBaseException family";
    }
    const unsigned int self = participant.GetParticipantID();
    EXPECT_FALSE(participant.PostIPMessage(1, &self, kKxMarkerCode, 0));
    EXPECT_FALSE(participant.SendIPMessage(0, nullptr, kKxMarkerCode, 0));
    // Uninitialised, so a second attempt is made, and fails alike on this very thread.
    EXPECT_THROW(participant.InitializeParticipant(), CKxMutexException);

    squatter.reset();
    participant.InitializeParticipant();
    const unsigned int member = participant.GetParticipantID();
    ASSERT_TRUE(participant.PostIPMessage(1, &member, kKxMarkerCode, 1));
    EXPECT_TRUE(participant.WaitFor(Recorder::Receive(member, kKxMarkerCode), kKxHangBoundMs));
    participant.UninitializeParticipant();
}
