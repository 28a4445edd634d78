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

TEST(CkxIPCMessageQueue, RecordBytesInTheSegmentMatchTheWireFormat) {
    const std::string name = KxUniqueName("chan") + "_Message_Queue";
    CkxIPCMessageQueue queue(name);
    bool created = true;
    CKxSharedMemory raw(1604, "TKxInterProcessArray" + name, &created);
    ASSERT_FALSE(created);
    const auto* bytes = static_cast<const unsigned char*>(raw.GetBaseAddress());

    const unsigned char fresh[] = {1, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0};  // header, R, W
    EXPECT_EQ(0, std::memcmp(fresh, bytes, sizeof(fresh)));
    for (std::size_t offset = 12; offset < 1604; ++offset) ASSERT_EQ(0, bytes[offset]) << offset;
    CkxIPCMessage out;
    EXPECT_FALSE(queue.GetMessage(0x10, &out));

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
}

TEST(CkxIPCMessageQueue, OnlyAFreshSegmentIsInitialised) {
    const std::string name = KxUniqueName("q");
    CkxIPCMessageQueue first(name);
    const std::uint32_t recipient = 0xA;
    const CkxIPCMessage message = MakeMessage(1, 2, 3, 4);
    ASSERT_TRUE(first.AddMessage(1, &recipient, &message));

    CkxIPCMessageQueue second(name);  // the header says 1: the pending record survives
    EXPECT_EQ(11u, second.GetRing().WritePosition());
    CkxIPCMessage out;
    ASSERT_TRUE(second.GetMessage(0xA, &out));
    EXPECT_EQ(4u, out.GetAcknowledgeKey());
    EXPECT_FALSE(first.GetMessage(0xA, &out));  // already taken, through the other object
}

TEST(CkxIPCMessageQueue, MissingArgumentsAreRefusedWithoutChange) {
    CkxIPCMessageQueue queue(KxUniqueName("q"));
    const std::uint32_t recipient = 0xA;
    const CkxIPCMessage message = MakeMessage(1, 2, 3, 4);
    EXPECT_FALSE(queue.AddMessage(1, &recipient, nullptr));
    EXPECT_FALSE(queue.AddMessage(1, nullptr, &message));
    EXPECT_FALSE(queue.AddMessage(0, &recipient, &message));
    EXPECT_EQ(2u, queue.GetRing().WritePosition());
    ASSERT_TRUE(queue.AddMessage(1, &recipient, &message));
    EXPECT_FALSE(queue.GetMessage(0xA, nullptr));
    CkxIPCMessage out;
    ASSERT_TRUE(queue.GetMessage(0xA, &out));
    std::uint32_t sender = 0;
    std::uint64_t key = 0;
    EXPECT_FALSE(queue.AcknowledgeMessage(0xA, nullptr, &key));
    EXPECT_FALSE(queue.AcknowledgeMessage(0xA, &sender, nullptr));
    EXPECT_TRUE(queue.AcknowledgeMessage(0xA, &sender, &key));
    EXPECT_EQ(1u, sender);
    EXPECT_EQ(4u, key);
}

// Child: queues one keyed message to itself and the parent, takes and acknowledges its own entry,
// then queues a posted one to the parent. args: queue name, parent id, child id.
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
    KxSay("acknowledged %lu %llu", static_cast<unsigned long>(sender),
          static_cast<unsigned long long>(key));
    const CkxIPCMessage posted = MakeMessage(self, 0x43, 9, 0);
    if (!queue.AddMessage(1, &parent, &posted)) return 4;
    KxSay("added");
    std::string line;
    return KxReadLine(&line) && line == "done" ? 0 : 5;  // keeps the queue open till the parent is
}

TEST(CkxIPCMessageQueue, MessageQueuedByAnotherProcessIsCompletedOnTheAcknowledgingSide) {
    const std::string name = KxUniqueName("chan") + "_Message_Queue";
    CkxIPCMessageQueue queue(name);
    const std::uint32_t parent = 0x1001, child = 0x2002;
    auto sender = CKxChildProcess::Role("QueueSenderRole",
                                        {name, std::to_string(parent), std::to_string(child)});
    std::string line;
    ASSERT_TRUE(sender->WaitForLine("acknowledged", 60000, &line)) << sender->Output();
    EXPECT_EQ("acknowledged 0 0", line);  // the child's acknowledgement did not complete it
    ASSERT_TRUE(sender->WaitForLine("added", 60000)) << sender->Output();

    CkxIPCMessage out;
    ASSERT_TRUE(queue.GetMessage(parent, &out));
    EXPECT_EQ(child, out.GetSenderID());
    EXPECT_EQ(0x42u, out.GetMessageCode());
    EXPECT_EQ(0xFEEDFACE12345678u, out.GetParam());
    EXPECT_EQ(0x0000BEEF00000001u, out.GetAcknowledgeKey());
    std::uint32_t completedSender = 0;
    std::uint64_t completedKey = 0;
    ASSERT_TRUE(queue.AcknowledgeMessage(parent, &completedSender, &completedKey));
    EXPECT_EQ(child, completedSender);
    EXPECT_EQ(0x0000BEEF00000001u, completedKey);

    ASSERT_TRUE(queue.GetMessage(parent, &out));
    EXPECT_EQ(0x43u, out.GetMessageCode());
    ASSERT_TRUE(queue.AcknowledgeMessage(parent, &completedSender, &completedKey));
    EXPECT_EQ(0u, completedSender);  // posted: nobody to release
    EXPECT_EQ(0u, completedKey);
    EXPECT_EQ(queue.GetRing().WritePosition(), queue.GetRing().ReadPosition());
    EXPECT_EQ(2u + 11u + 9u, queue.GetRing().ReadPosition());

    sender->WriteLine("done");
    ASSERT_TRUE(sender->WaitForExit(60000));
    EXPECT_EQ(0u, sender->ExitCode());
}
