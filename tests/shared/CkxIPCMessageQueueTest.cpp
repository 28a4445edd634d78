// The message queue over its real segment: the bytes other processes read, first-use
// initialisation, and one queue shared by two processes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "CKxSharedMemory.h"
#include "CkxIPCMessageQueue.h"
#include "KxTestHarness.h"

namespace {

CkxIPCMessage MakeMessage(std::uint32_t sender, std::uint32_t code, std::uint64_t param,
                          std::uint64_t key) {
    CkxIPCMessage message;
    message.SetSenderID(sender);
    message.SetMessageCode(code);
    message.SetParam(param);
    message.SetAcknowledgeKey(key);
    return message;
}

}  // namespace

// A second queue object on the same name leaves the initialised segment as it finds it.
TEST(CkxIPCMessageQueue, RecordBytesMatchTheWireFormatAndOnlyAFreshSegmentIsInitialised) {
    const std::string name = KxUniqueName("chan") + "_Message_Queue";
    CkxIPCMessageQueue queue(name);
    bool created = true;
    CKxSharedMemory raw(1604, "TKxInterProcessArray" + name, &created);
    ASSERT_FALSE(created);
    const auto* bytes = static_cast<const unsigned char*>(raw.GetBaseAddress());

    const unsigned char fresh[] = {1, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0};  // header, R, W
    EXPECT_EQ(0, std::memcmp(fresh, bytes, sizeof(fresh)));
    for (std::size_t offset = 12; offset < 1604; ++offset) ASSERT_EQ(0, bytes[offset]) << offset;

    const std::uint32_t recipients[] = {0x10, 0x20};
    const CkxIPCMessage message = MakeMessage(0x1234, 7, 0x0000000100000002u, 0x00000A0B00000003u);
    ASSERT_TRUE(queue.AddMessage(2, recipients, &message));
    const unsigned char record[] = {2, 0, 0, 0, 0x10, 0,    0,    0, 0, 0, 0,    0,    0x20, 0, 0,
                                    0, 0, 0, 0, 0,    0x34, 0x12, 0, 0, 7, 0,    0,    0,    1, 0,
                                    0, 0, 2, 0, 0,    0,    3,    0, 0, 0, 0x0B, 0x0A, 0,    0};
    EXPECT_EQ(0, std::memcmp(record, bytes + 12, sizeof(record)));
    const unsigned char write13[] = {13, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(write13, bytes + 8, 4));
    EXPECT_EQ(0, bytes[12 + sizeof(record)]);  // nothing written past the record

    CkxIPCMessageQueue second(name);
    CkxIPCMessage out;
    ASSERT_TRUE(second.GetMessage(0x20, &out));
    EXPECT_EQ(0x00000A0B00000003u, out.GetAcknowledgeKey());
    EXPECT_FALSE(queue.GetMessage(0x20, &out));  // already taken, through the other object
}

// Child: queues one keyed message to itself and the parent, takes and acknowledges its own entry,
// then posts one to the parent. args: queue name, parent id, child id.
KX_CHILD_ROLE(QueueSenderRole) {
    CkxIPCMessageQueue queue(args.at(0));
    const std::uint32_t parent = std::stoul(args.at(1));
    const std::uint32_t self = std::stoul(args.at(2));
    const std::uint32_t both[] = {self, parent};
    const CkxIPCMessage keyed = MakeMessage(self, 0x42, 0xFEEDFACE12345678u, 0x0000BEEF00000001u);
    if (!queue.AddMessage(2, both, &keyed)) return 2;
    CkxIPCMessage out;
    std::uint32_t sender = 0xFFFF;
    std::uint64_t key = 0xFFFF;
    if (!queue.GetMessage(self, &out) || !queue.AcknowledgeMessage(self, &sender, &key)) return 3;
    const CkxIPCMessage posted = MakeMessage(self, 0x43, 9, 0);
    if (!queue.AddMessage(1, &parent, &posted)) return 4;
    KxSay("added %lu %llu", static_cast<unsigned long>(sender),
          static_cast<unsigned long long>(key));
    std::string line;
    return KxReadLine(&line) && line == "done" ? 0 : 5;  // keeps the queue open till the parent is
}

// The parent drains both messages in one call and acknowledges the keyed one by its position.
TEST(CkxIPCMessageQueue, MessagesQueuedByAnotherProcessAreDrainedAndCompletedOnTheReceivingSide) {
    const std::string name = KxUniqueName("chan") + "_Message_Queue";
    CkxIPCMessageQueue queue(name);
    const std::uint32_t parent = 0x1001, child = 0x2002;
    auto sender = CKxChildProcess::Role("QueueSenderRole",
                                        {name, std::to_string(parent), std::to_string(child)});
    std::string line;
    ASSERT_TRUE(sender->WaitForLine("added", 60000, &line)) << sender->Output();
    EXPECT_EQ("added 0 0", line);  // the child's acknowledgement did not complete the record

    KxRingTakenMessage taken[CKxMessageRing::kMaxRecords] = {};
    std::uint32_t count = 0;
    ASSERT_TRUE(queue.TakeMessages(parent, taken, CKxMessageRing::kMaxRecords, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(child, taken[0].message.senderId);
    EXPECT_EQ(0x42u, taken[0].message.messageCode);
    EXPECT_EQ(0xFEEDFACE12345678u, taken[0].message.param);
    EXPECT_EQ(0x0000BEEF00000001u, taken[0].message.acknowledgeKey);
    EXPECT_EQ(0x43u, taken[1].message.messageCode);
    EXPECT_EQ(2u, queue.GetRing().ReadPosition()) << "the keyed record still waits";

    std::uint32_t completedSender = 0;
    std::uint64_t completedKey = 0;
    ASSERT_TRUE(
        queue.AcknowledgeMessageAt(parent, taken[0].position, &completedSender, &completedKey));
    EXPECT_EQ(child, completedSender);
    EXPECT_EQ(0x0000BEEF00000001u, completedKey);
    EXPECT_EQ(2u + 11u + 9u, queue.GetRing().ReadPosition());  // both records given back
    EXPECT_EQ(queue.GetRing().WritePosition(), queue.GetRing().ReadPosition());

    sender->WriteLine("done");
    ASSERT_TRUE(sender->WaitForExit(60000));
    EXPECT_EQ(0u, sender->ExitCode());
}
