// Service factory singleton: one instance for every thread, thread objects, and receive events
// that every process derives from the participant identifier.
#include <gtest/gtest.h>

#include <iomanip>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "KxKernelTestSupport.h"
#include "CIPCServiceFactorySingleton.h"
#include "CKxEvent.h"
#include "CKxHandleSyncObject.h"
#include "KxTestHarness.h"

namespace {

CIPCServiceFactorySingleton* Factory() {
    CIPCServiceFactorySingleton* factory = CIPCServiceFactorySingleton::GetInstance();
    EXPECT_NE(nullptr, factory);
    return factory;
}

// Sets the event of that name through a handle of this test's own; false if no such event exists.
bool SetEventByName(const std::string& name) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE /*bInheritHandle*/, name.c_str());
    if (!event) return false;
    SetEvent(event);
    CloseHandle(event);
    return true;
}

}  // namespace

KX_CHILD_ROLE(SingletonWaitOnReceiveEvent) {
    const std::uint32_t id = static_cast<std::uint32_t>(std::stoul(args.at(0)));
    std::unique_ptr<CKxEvent> event(
        CIPCServiceFactorySingleton::GetInstance()->CreateReceiveEvent(id));
    KxSay("ready");
    const bool woken = event->Wait(kChildTimeoutMs);
    KxSay(woken ? "woken" : "timeout");
    return woken ? 0 : 1;
}

TEST(IPCServiceFactorySingleton, EveryThreadGetsTheSameInstance) {
    CIPCServiceFactorySingleton* mine = CIPCServiceFactorySingleton::GetInstance();
    ASSERT_NE(nullptr, mine);
    std::vector<CIPCServiceFactorySingleton*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = CIPCServiceFactorySingleton::GetInstance(); });
    }
    for (std::thread& thread : threads) thread.join();
    for (CIPCServiceFactorySingleton* instance : seen) EXPECT_EQ(mine, instance);
}

TEST(IPCServiceFactorySingleton, ThreadObjectIsSignalledWhenThatThreadEndsAndNeedsAThread) {
    CKxEvent started(true /*manualReset*/), finish(true /*manualReset*/);
    std::uint32_t id = 0;
    std::thread worker([&] {
        id = Factory()->GetCurrentThreadID();  // the identifier the channel registers
        started.Set();
        finish.Wait(INFINITE);
    });
    ASSERT_TRUE(started.Wait(kChildTimeoutMs));
    std::unique_ptr<CKxHandleSyncObject> thread(Factory()->OpenThreadSyncObject(id));
    EXPECT_FALSE(thread->Wait(0)) << "the thread still runs";
    finish.Set();
    worker.join();
    EXPECT_TRUE(thread->Wait(kChildTimeoutMs));
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [] { delete Factory()->OpenThreadSyncObject(0xFFFFFFFCu); },
        "CKxHandleSyncObject::CKxHandleSyncObject -> trying to initialize with a NULL handle");
}

TEST(IPCServiceFactorySingleton, ReceiveEventNameIsTheIdentifierInEightUpperCaseHexDigits) {
    {
        std::unique_ptr<CKxEvent> event(Factory()->CreateReceiveEvent(6700));
        ASSERT_TRUE(SetEventByName("KX IPCRcvEv 0x00001A2C"));
        EXPECT_TRUE(event->Wait(0)) << "the name reaches this event";
        EXPECT_FALSE(event->Wait(0)) << "auto-reset";
    }
    EXPECT_FALSE(SetEventByName("KX IPCRcvEv 0x00001A2C")) << "the name was the event's own";

    // An identifier with every digit in use, derived from this process so no other test has it.
    const std::uint32_t id = 0xB0000000u | GetCurrentProcessId();
    std::ostringstream name;
    name << "KX IPCRcvEv 0x" << std::uppercase << std::hex << std::setw(8) << std::setfill('0')
         << id;
    std::unique_ptr<CKxEvent> event(Factory()->CreateReceiveEvent(id));
    ASSERT_TRUE(SetEventByName(name.str())) << name.str();
    EXPECT_TRUE(event->Wait(0));
}

TEST(IPCServiceFactorySingleton, ReceiveEventOfOneIdentifierIsOneEventAcrossProcesses) {
    const std::uint32_t id = 0xC0000000u | GetCurrentProcessId();
    auto child = CKxChildProcess::Role("SingletonWaitOnReceiveEvent", {std::to_string(id)});
    ASSERT_TRUE(child);
    ASSERT_TRUE(child->WaitForLine("ready", kChildTimeoutMs));
    std::unique_ptr<CKxEvent> event(Factory()->CreateReceiveEvent(id));
    event->Set();
    EXPECT_TRUE(child->WaitForLine("woken", kChildTimeoutMs)) << child->Output();
    ASSERT_TRUE(child->WaitForExit(kChildTimeoutMs));
    EXPECT_EQ(0u, child->ExitCode());
}
