// The exception family: hierarchy as catchers see it, and the message kept by value.
#include <gtest/gtest.h>

#include <stdexcept>

#include "KxExceptions.h"

TEST(KxExceptions, DerivedClassesAreCaughtThroughTheirBases) {
    try {
        throw CKxWaitAbandonnedException("abandoned");
    } catch (const CKxHandleSyncObjectException& e) {
        EXPECT_EQ("abandoned", e.GetErrorMessage());
    }
    bool caught = false;
    try {
        throw CKxSharedMemoryException("segment");
    } catch (const CKxHandleSyncObjectException&) {
        FAIL() << "a shared-memory failure is not a handle-object failure";
    } catch (const CKxBaseException& e) {
        caught = e.GetErrorMessage() == "segment";
    }
    EXPECT_TRUE(caught);
}

TEST(KxExceptions, StandardExceptionHandlerDoesNotCatchTheFamily) {
    bool reachedBase = false;
    try {
        try {
            throw CKxAutoLockException("lock");
        } catch (const std::exception&) {
            FAIL() << "the family must not derive from std::exception";
        }
    } catch (const CKxBaseException&) {
        reachedBase = true;
    }
    EXPECT_TRUE(reachedBase);
}
