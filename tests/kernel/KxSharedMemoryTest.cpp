// Shared memory segment: create-or-open across processes, lifetime of the section, refusals and
// the companion mutex left free on every failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "CKxEvent.h"
#include "CKxMutex.h"
#include "CKxSharedMemory.h"
#include "KxKernelTestSupport.h"

namespace {

const DWORD kCreatorSize = 0x10000;  // whole pages, so the mapped size equals it

uint32_t* Words(CKxSharedMemory& segment) {
    return static_cast<uint32_t*>(segment.GetBaseAddress());
}

bool AllZero(CKxSharedMemory& segment) {
    const unsigned char* bytes = static_cast<const unsigned char*>(segment.GetBaseAddress());
    for (SIZE_T i = 0; i < segment.GetMappedSize(); ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

}  // namespace

// Opens the segment args[0] asking for args[1] bytes, reports what it found, writes word 2 and
// keeps the segment until its input ends.
KX_CHILD_ROLE(KernelOpenSegment) {
    bool created = true;
    CKxSharedMemory segment(std::stoul(args.at(1)), args.at(0), &created);
    uint32_t* words = Words(segment);
    KxSay("opened created=%d mapped=%lu word0=%08X word1=%08X", created ? 1 : 0,
          static_cast<unsigned long>(segment.GetMappedSize()), words[0], words[1]);
    words[2] = 0x5EC0DD;
    KxSay("written");
    std::string line;
    while (KxReadLine(&line)) {
    }
    return 0;
}

// The section lives while any process holds it, and starts zeroed again once none does.
TEST(KxSharedMemoryCrossProcess, FirstCreatesZeroedOthersOpenItUntilAllClose) {
    const std::string name = KxUniqueName("segment");
    bool created = false;
    auto first = std::make_unique<CKxSharedMemory>(kCreatorSize, name, &created);
    EXPECT_TRUE(created);
    EXPECT_EQ(kCreatorSize, first->GetMappedSize());
    EXPECT_TRUE(AllZero(*first));
    Words(*first)[0] = 0xC0FFEE01;
    Words(*first)[1] = 0xFFFFFFFF;

    auto child = CKxChildProcess::Role("KernelOpenSegment", {name, "16"});
    ASSERT_TRUE(child);
    std::string line;
    ASSERT_TRUE(child->WaitForLine("opened", kKxDeadlineMs, &line)) << child->Output();
    EXPECT_EQ("opened created=0 mapped=" + std::to_string(kCreatorSize) +
                  " word0=C0FFEE01 word1=FFFFFFFF",
              line);
    ASSERT_TRUE(child->WaitForLine("written", kKxDeadlineMs));
    EXPECT_EQ(0x5EC0DDu, Words(*first)[2]);
    first.reset();
    {
        CKxSharedMemory again(kCreatorSize, name, &created);
        EXPECT_FALSE(created) << "the child still holds the section";
        EXPECT_EQ(0x5EC0DDu, Words(again)[2]);
    }
    child->CloseInput();
    ASSERT_TRUE(child->WaitForExit(kKxDeadlineMs));
    CKxSharedMemory fresh(kCreatorSize, name, &created);
    EXPECT_TRUE(created) << "every holder closed it";
    EXPECT_TRUE(AllZero(fresh));
}

TEST(KxSharedMemoryLock, WaitAndReleaseTakeTheCompanionMutex) {
    const std::string name = KxUniqueName("segment");
    bool created = false;
    CKxSharedMemory segment(4096, name, &created);
    ASSERT_TRUE(segment.Wait(0));
    EXPECT_EQ("busy", TryMutexInChild(name + "_mutex"));
    segment.Release();
    EXPECT_EQ("took", TryMutexInChild(name + "_mutex"));
}

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
