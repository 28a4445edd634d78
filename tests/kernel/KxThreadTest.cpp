// Thread: life cycle and exit code, the waiting destructor, refusals, creation flags, naming.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CKxEvent.h"
#include "CKxThread.h"
#include "KxKernelTestSupport.h"

namespace {

struct KxGate {
    CKxEvent open{true};
    std::atomic<DWORD> threadId{0};
    std::atomic<bool> finished{false};
};

unsigned __stdcall PassGateThenReturnSeven(void* argument) {
    KxGate* gate = static_cast<KxGate*>(argument);
    gate->threadId = GetCurrentThreadId();
    gate->open.Wait(INFINITE);
    gate->finished = true;
    return 7;
}

}  // namespace

TEST(KxThreadLifeCycle, ExitCodeIsStillActiveUntilTheProcedureReturns) {
    struct Case {
        DWORD stackSize;
        bool secure;
    };
    for (Case c : {Case{0, false}, Case{0x80000, true}}) {
        SCOPED_TRACE(c.stackSize);
        KxGate gate;
        CKxThread thread;
        thread.Create(PassGateThenReturnSeven, &gate, false, c.stackSize, c.secure);
        EXPECT_EQ(DWORD(STILL_ACTIVE), thread.GetExitCode());
        EXPECT_FALSE(thread.Wait(0));
        gate.open.Set();
        EXPECT_TRUE(thread.Wait(INFINITE));
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

TEST(KxThreadRefusals, NullProcedureSecondCreateAndReleaseAreRefused) {
    CKxThread empty;
    ExpectKxThrow<CKxThreadException>([&] { empty.Create(nullptr, nullptr, false, 0, false); },
                                      "CKxThread::Create -> invalid thread function pointer");
    EXPECT_EQ(0u, empty.GetThreadId());
    ExpectKxThrow<CKxThreadException>([&] { empty.GetExitCode(); },
                                      "CKxThread::GetExitCode -> thread not created yet");

    KxGate gate;
    CKxThread thread;
    thread.Create(PassGateThenReturnSeven, &gate, false, 0, false);
    const DWORD firstId = thread.GetThreadId();
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [&] { thread.Release(); }, "CKxHandleSyncObject::Release -> this is not a valid call");
    for (bool running : {true, false}) {
        ExpectKxThrow<CKxThreadException>(
            [&] { thread.Create(PassGateThenReturnSeven, &gate, false, 0, false); },
            "CKxThread::Create -> thread was already created");
        gate.open.Set();
        ASSERT_TRUE(thread.Wait(INFINITE)) << running;
    }
    EXPECT_EQ(firstId, thread.GetThreadId());
    EXPECT_EQ(7u, thread.GetExitCode());
}

TEST(KxThreadCreationFlags, StackSizeReservesAndSuspendedSuspends) {
    EXPECT_EQ(0u, CKxThread::CreationFlags(false, 0));
    EXPECT_EQ(DWORD(STACK_SIZE_PARAM_IS_A_RESERVATION), CKxThread::CreationFlags(false, 0x80000));
    EXPECT_EQ(DWORD(CREATE_SUSPENDED), CKxThread::CreationFlags(true, 0));
    EXPECT_EQ(DWORD(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION),
              CKxThread::CreationFlags(true, 0x80000));
}

TEST(KxThreadNaming, SetThreadNameNeverFailsWithoutADebugger) {
    ASSERT_FALSE(IsDebuggerPresent());
    // An unhandled naming exception would end this process: the test passes by surviving, also
    // when several threads name themselves at the same moment.
    CKxThread().SetThreadName();
    std::atomic<int> named{0};
    std::vector<std::thread> namers;
    for (int i = 0; i < 4; ++i) {
        namers.emplace_back([&] {
            for (int n = 0; n < 50; ++n, ++named) CKxThread().SetThreadName();
        });
    }
    for (auto& namer : namers) namer.join();
    EXPECT_EQ(200, named.load());
}
