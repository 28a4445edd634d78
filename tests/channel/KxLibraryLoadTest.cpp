// kxipc.dll as the loader sees it: when its process-wide services cannot be built the load is
// refused and the loading process goes on.
#include <gtest/gtest.h>

#include "KxKernelTestSupport.h"
#include "CIPCServiceFactorySingleton.h"
#include "KxScopeGuard.h"
#include "KxTestHarness.h"
#include "KxWindows.h"

// Exit code 0: the load was refused and this process went on; 2: the name could not be taken;
// 3: the library loaded although its pool mutex could not be created.
KX_CHILD_ROLE(LibraryLoadWithPoolMutexNameTaken) {
    // This executable's own copy of the services holds the name; give it up first.
    CIPCServiceFactorySingleton::DestroyInstance();
    HANDLE squatter = CreateEventA(nullptr, TRUE /*bManualReset*/, FALSE /*bInitialState*/,
                                   "CKxIPCAcknowledgeEventPoolManagerMutex");
    if (!squatter) return 2;
    HMODULE library = LoadLibraryA((KxBinaryDir() + "kxipc.dll").c_str());
    if (library) {
        KxSay("loaded");
        FreeLibrary(library);
        return 3;
    }
    KxSay("refused %lu", GetLastError());
    CloseHandle(squatter);
    return 0;
}

// No other process may hold the pool mutex's name meanwhile: runs alone.
TEST(KxLibraryLoad, RefusedLoadLeavesTheProcessRunningExclusive) {
    CIPCServiceFactorySingleton::DestroyInstance();
    TKxScopeGuard reattach([] { CIPCServiceFactorySingleton::ConstructInstance(); });
    auto child = CKxChildProcess::Role("LibraryLoadWithPoolMutexNameTaken");
    ASSERT_TRUE(child);
    // The line, not the exit: output may still be in the pipe when the process has ended.
    EXPECT_TRUE(child->WaitForLine("refused ", kKxDeadlineMs)) << child->Output();
    ASSERT_TRUE(child->WaitForExit(kKxDeadlineMs));
    EXPECT_EQ(0u, child->ExitCode()) << child->Output();
    reattach.Dismiss();
    EXPECT_TRUE(CIPCServiceFactorySingleton::ConstructInstance());
}
