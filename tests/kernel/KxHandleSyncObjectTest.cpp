// Handle objects: a duplicate of the caller's handle outlives it.
#include <gtest/gtest.h>

#include "CKxHandleSyncObject.h"

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
