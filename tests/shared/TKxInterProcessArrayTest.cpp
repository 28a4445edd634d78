// Fixed inter-process arrays over real segments: the size asked, and a view too small refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "CKxSharedMemory.h"
#include "KxTestHarness.h"
#include "TKxInterProcessArray.h"

namespace {

// Opens the raw segment an array must have made; it must exist already.
std::unique_ptr<CKxSharedMemory> OpenExisting(const std::string& segmentName) {
    bool created = true;
    std::unique_ptr<CKxSharedMemory> segment(new CKxSharedMemory(4, segmentName, &created));
    EXPECT_FALSE(created) << segmentName << " was not made by the array";
    return segment;
}

}  // namespace

TEST(TKxInterProcessArray, SizeAskedIsFourBytesPerElementPlusTheHeader) {
    // 4 + 4 x 1023 is exactly one page; one element more needs a second page.
    const std::string onePage = KxUniqueName("one");
    const std::string twoPages = KxUniqueName("two");
    TKxInterProcessArray<std::uint32_t> small(onePage, 1023);
    TKxInterProcessArray<std::uint32_t> large(twoPages, 1024);
    EXPECT_EQ(4096u, OpenExisting("TKxInterProcessArray" + onePage)->GetMappedSize());
    EXPECT_EQ(8192u, OpenExisting("TKxInterProcessArray" + twoPages)->GetMappedSize());
    large[1023] = 5;  // the last element lies in the second page
    EXPECT_EQ(5u, large[1023]);
}

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
