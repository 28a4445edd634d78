// Growing inter-process arrays over real segments: when growth happens, what it does to the
// contents, and that a view smaller than the capacity is never overrun.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "CKxSharedMemory.h"
#include "KxTestHarness.h"
#include "TKxInterProcessGrowArray.h"

namespace {

const char kBeyondMapped[] =
    "TKxInterProcessGrowArray::operator[] -> index beyond the mapped segment";

// The message of the CKxSharedMemoryException that array[index] throws, or "" when none.
std::string AccessFailure(TKxInterProcessGrowArray<std::uint32_t>& array, std::uint32_t index) {
    try {
        array[index] = 1;
    } catch (const CKxSharedMemoryException& e) {
        return e.GetErrorMessage();
    }
    return "";
}

}  // namespace

TEST(TKxInterProcessGrowArray, ExistingSegmentOfAnotherSizeIsOpenedAtItsSize) {
    const std::string name = KxUniqueName("ids");
    TKxInterProcessGrowArray<std::uint32_t> first(name, 51, 20);
    first.Header() = 1;
    first[10] = 1010;

    TKxInterProcessGrowArray<std::uint32_t> larger(name, 5000, 20);
    EXPECT_EQ(5000u, larger.GetCapacity());
    EXPECT_EQ(first.GetMappedCapacity(), larger.GetMappedCapacity());
    EXPECT_LT(larger.GetMappedCapacity(), 5000u);
    EXPECT_EQ(1u, larger.Header());
    EXPECT_EQ(1010u, larger[10]);
    // Inside the capacity but beyond the view: refused, nothing touched.
    EXPECT_EQ(kBeyondMapped, AccessFailure(larger, 4999));
    EXPECT_EQ(5000u, larger.GetCapacity());
}

TEST(TKxInterProcessGrowArray, GrowthWhileAnotherHoldsTheSegmentKeepsItsSizeAndContents) {
    const std::string name = KxUniqueName("held");
    TKxInterProcessGrowArray<std::uint32_t> holder(name, 51, 20);
    holder.Header() = 1;
    holder[3] = 33;

    TKxInterProcessGrowArray<std::uint32_t> grower(name, 51, 20);
    const std::uint32_t mapped = grower.GetMappedCapacity();
    EXPECT_EQ(kBeyondMapped, AccessFailure(grower, 5000));  // grows, reopens at the old size
    EXPECT_EQ(5021u, grower.GetCapacity());
    EXPECT_EQ(mapped, grower.GetMappedCapacity());
    EXPECT_EQ(1u, grower.Header());
    EXPECT_EQ(33u, grower[3]);
    EXPECT_EQ(kBeyondMapped, AccessFailure(grower, 0xFFFFFFF0u));  // beyond any segment size
}
