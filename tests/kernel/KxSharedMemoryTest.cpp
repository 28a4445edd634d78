// Shared memory segment: refusals, an abandoned companion mutex, and the companion mutex left free
// on every failure. (Opening a segment across processes is what every channel test does.)
#include <gtest/gtest.h>

#include "CKxEvent.h"
#include "CKxMutex.h"
#include "CKxSharedMemory.h"
#include "KxKernelTestSupport.h"

TEST(KxSharedMemoryFailures, NameOfAnotherKindIsRefusedWithTheMutexFree) {
    const std::string name = KxUniqueName("segment");
    CKxMutex companion(name + "_mutex");  // keeps the companion alive to look at it afterwards
    bool created = false;
    CKxEvent occupant(name, true);
    ExpectKxThrow<CKxSharedMemoryException>(
        [&] { CKxSharedMemory segment(4096, name, &created); },
        "CKxSharedMemory::CKxSharedMemory -> could not create the file mapping");
    EXPECT_EQ("took", TryMutexInChild(name + "_mutex"));
}

TEST(KxSharedMemoryAbandoned, WithFlagConstructionCompletesWithoutItThrowsBothFreeTheMutex) {
    const std::string name = KxUniqueName("segment");
    CKxMutex companion(name + "_mutex");
    ASSERT_TRUE(AbandonMutexInChild(name + "_mutex", KxChildEnd::Kill));
    bool created = false;
    bool abandoned = false;
    {
        CKxSharedMemory segment(4096, name, &created, &abandoned);
        EXPECT_TRUE(abandoned);
        EXPECT_TRUE(created);
        EXPECT_NE(nullptr, segment.GetBaseAddress());
        EXPECT_EQ("took", TryMutexInChild(name + "_mutex"));
    }
    ASSERT_TRUE(AbandonMutexInChild(name + "_mutex", KxChildEnd::Exit));
    ExpectKxThrow<CKxWaitAbandonnedException>(
        [&] { CKxSharedMemory segment(4096, name, &created); }, kAbandonedMessage);
    EXPECT_EQ("took", TryMutexInChild(name + "_mutex"));
}
