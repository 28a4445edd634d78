// Handle objects: duplication of a caller's handle, single-object wait results, refusals.
#include <gtest/gtest.h>

#include "CKxEvent.h"
#include "CKxHandleSyncObject.h"
#include "KxKernelTestSupport.h"

TEST(KxHandleSyncObject, DuplicateKeepsWorkingAfterTheCallerClosesItsHandle) {
    HANDLE own = CreateEventA(nullptr, TRUE /*bManualReset*/, FALSE /*bInitialState*/, nullptr);
    ASSERT_NE(nullptr, own);
    CKxHandleSyncObject object(own);
    EXPECT_NE(own, object.GetHandle()) << "the object keeps its own duplicate";
    EXPECT_FALSE(object.Wait(0));
    ASSERT_TRUE(SetEvent(own));
    ASSERT_TRUE(CloseHandle(own));
    EXPECT_TRUE(object.Wait(0)) << "the duplicate reaches the same event";
}

TEST(KxHandleSyncObject, BadHandlesAndUnusableObjectsThrowTheirTexts) {
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [] { CKxHandleSyncObject object(nullptr); },
        "CKxHandleSyncObject::CKxHandleSyncObject -> trying to initialize with a NULL handle");
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [] { CKxHandleSyncObject object(reinterpret_cast<HANDLE>(0x7ff0)); },
        "CKxHandleSyncObject::CKxHandleSyncObject -> couldn't duplicate handle");
    CKxHandleSyncObject notCreated;
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [&] { notCreated.Wait(0); }, "CKxHandleSyncObject::Wait -> object not created yet");
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [&] { notCreated.Release(); }, "CKxHandleSyncObject::Release -> this is not a valid call");

    // A section is a kernel object with no signalled state.
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        0 /*dwMaximumSizeHigh*/, 4096, nullptr);
    ASSERT_NE(nullptr, section);
    CKxHandleSyncObject object(section);
    CloseHandle(section);
    ExpectKxThrow<CKxHandleSyncObjectException>(
        [&] { object.Wait(0); },
        "CKxHandleSyncObject::Wait -> error occurred in WaitForSingleObject");
}
