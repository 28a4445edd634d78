// The exception family as catchers see it: through their bases, never as std::exception.
#include <gtest/gtest.h>

#include <stdexcept>

#include "KxExceptions.h"

TEST(KxExceptions, DerivedClassesAreCaughtThroughTheirBasesOnly) {
    try {
        throw CKxWaitAbandonnedException("abandoned");
    } catch (const CKxHandleSyncObjectException& e) {
        EXPECT_EQ("abandoned", e.GetErrorMessage());
    }
    std::string caught;
    try {
        try {
            throw CKxSharedMemoryException("segment");
        } catch (const CKxHandleSyncObjectException&) {
            FAIL() << "a shared-memory failure is not a handle-object failure";
        } catch (const std::exception&) {
            FAIL() << "the family must not derive from std::exception";
        }
    } catch (const CKxBaseException& e) {
        caught = e.GetErrorMessage();
    }
    EXPECT_EQ("segment", caught);
}
