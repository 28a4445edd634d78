// The message queue over its real segment: the bytes other processes read, and first-use
// initialisation only.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "CKxSharedMemory.h"
#include "CkxIPCMessageQueue.h"
#include "KxTestHarness.h"

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
    CkxIPCMessage message;
    message.SetSenderID(0x1234);
    message.SetMessageCode(7);
    message.SetParam(0x0000000100000002u);
    message.SetAcknowledgeKey(0x00000A0B00000003u);
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
