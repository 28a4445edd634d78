// Thread: life cycle and exit code, with and without a reserved stack, and the waiting destructor.
#include <gtest/gtest.h>

#include <atomic>

#include "CKxEvent.h"
#include "CKxThread.h"
#include "KxKernelTestSupport.h"
#include "KxLiveness.h"

namespace {

struct KxGate {
    CKxEvent open{true};
    std::atomic<KxThreadId> threadId{0};
    std::atomic<bool> finished{false};
};

unsigned KX_THREAD_CALL PassGateThenReturnSeven(void* argument) {
    KxGate* gate = static_cast<KxGate*>(argument);
    gate->threadId = KxCurrentThreadId();
    gate->open.Wait(kKxWaitForever);
    gate->finished = true;
    return 7;
}

}  // namespace

TEST(KxThreadLifeCycle, ExitCodeIsStillActiveUntilTheProcedureReturns) {
    for (const bool secure : {false, true}) {  // default stack; then 512 KiB, open security
        SCOPED_TRACE(secure);
        KxGate gate;
        CKxThread thread;
        thread.Create(PassGateThenReturnSeven, &gate, false, secure ? 0x80000 : 0, secure);
        EXPECT_EQ(kKxStillActive, thread.GetExitCode());
        EXPECT_FALSE(thread.Wait(0));
        gate.open.Set();
        EXPECT_TRUE(thread.Wait(kKxWaitForever));
        EXPECT_EQ(7u, thread.GetExitCode());
        EXPECT_EQ(gate.threadId.load(), thread.GetThreadId());
        EXPECT_TRUE(thread.Wait(0)) << "an ended thread stays signalled";
    }
}

TEST(KxThreadLifeCycle, DestructorWaitsForTheProcedureToReturn) {
    KxGate gate;
    CKxThread* thread = new CKxThread();
    thread->Create(PassGateThenReturnSeven, &gate, false, 0, true);
    gate.open.Set();
    delete thread;
    EXPECT_TRUE(gate.finished);
}
