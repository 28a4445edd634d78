// The harness's own contract: a child that cannot start fails its test with the platform's reason.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "KxTestHarness.h"

TEST(KxChildProcess, ChildThatCannotStartFailsItsTestWithThePlatformErrorAndAnswersEveryCall) {
    std::unique_ptr<CKxChildProcess> child;
    EXPECT_NONFATAL_FAILURE(child = CKxChildProcess::Program(KxSiblingProgram("kx-missing")),
                            std::string(kKxStartCall) + ": error 2 (");
    ASSERT_TRUE(child);
    child->WriteLine("dropped");
    EXPECT_FALSE(child->WaitForLine("", 60000));
    EXPECT_FALSE(child->WaitForExit(0));
    EXPECT_EQ(kKxStillActive, child->ExitCode());
    child->Kill();
}

KX_CHILD_ROLE(HarnessSayThenExit) {
    KxSay("last");
    return 0;
}

TEST(KxChildProcess, OutputAfterWaitForExitHoldsEverythingTheChildPrinted) {
    for (int round = 0; round < 8; ++round) {
        auto child = CKxChildProcess::Role("HarnessSayThenExit");
        ASSERT_TRUE(child->WaitForExit(60000));
        EXPECT_EQ("last\n", child->Output()) << "round " << round;
    }
}
