// A Wine-only check of how child processes start: with address randomisation off.
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "KxTestHarness.h"
#include "KxWindows.h"

// Linux's personality word of this process, as Wine shows it on drive Z: (empty if unreadable).
KX_CHILD_ROLE(HarnessSayPersonality) {
    std::ifstream file("Z:\\proc\\self\\personality");
    std::string word;
    file >> word;
    KxSay("personality %s", word.c_str());
    return 0;
}

// This Wine has no preloader: a process whose heap the kernel placed over the page Wine maps at
// 0x7ffe0000 ends before it runs, and the CreateProcess that started it fails with error 1359,
// about one start in 5000. So children start with address randomisation off (ADDR_NO_RANDOMIZE).
TEST(KxChildProcess, ChildStartsWithAddressRandomisationOffUnderWine) {
    if (!GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")) GTEST_SKIP();
    auto child = CKxChildProcess::Role("HarnessSayPersonality");
    std::string line;
    ASSERT_TRUE(child->WaitForLine("personality ", kKxDeadlineMs, &line)) << child->Output();
    EXPECT_NE(0u, std::strtoul(line.c_str() + 12, nullptr, 16) & 0x0040000) << line;
}
