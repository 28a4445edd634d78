// Fixed inter-process arrays over real segments: a view smaller than asked is refused.
#include <gtest/gtest.h>

#include <cstdint>

#include "CKxSharedMemory.h"
#include "KxTestHarness.h"
#include "TKxInterProcessArray.h"

TEST(TKxInterProcessArray, ExistingSegmentSmallerThanAskedIsRefused) {
    const std::string name = KxUniqueName("small");
    bool created = false;
    CKxSharedMemory holder(8, "TKxInterProcessArray" + name, &created);
    ASSERT_TRUE(created);
    try {
        TKxInterProcessArray<std::uint32_t> array(name, 2000);  // 8004 bytes asked, one page there
        FAIL() << "a view of one page was accepted for 2000 elements";
    } catch (const CKxSharedMemoryException& e) {
        EXPECT_EQ(
            "TKxInterProcessArray::TKxInterProcessArray -> the mapped segment is smaller "
            "than asked",
            e.GetErrorMessage());
    }
    // Within the existing view it opens fine.
    TKxInterProcessArray<std::uint32_t> fits(name, 1000);
    fits[999] = 3;
    EXPECT_EQ(3u, static_cast<std::uint32_t*>(holder.GetBaseAddress())[1000]);
}
