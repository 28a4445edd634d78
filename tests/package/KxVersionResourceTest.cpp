// The version resource of kxipc.dll and kxipc.exe, read back as Windows shows it, against the
// version CMake configured (KXIPC_TEST_VERSION*): the one version must reach both binaries.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KxTestHarness.h"
#include "KxWindows.h"

namespace {

// A string value looked up, as version readers do, under the block's first translation.
std::string StringValue(const std::vector<char>& block, const char* name) {
    void* value = nullptr;
    UINT size = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &size) ||
        size < 2 * sizeof(WORD)) {
        return "<no translation>";
    }
    const WORD* translation = static_cast<const WORD*>(value);  // language, code page
    char query[128];
    std::snprintf(query, sizeof(query), "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                  translation[1], name);
    if (!VerQueryValueA(block.data(), query, &value, &size)) return "<missing>";
    // size counts the characters with the terminating zero, which an empty value may lack.
    const char* text = static_cast<const char*>(value);
    return std::string(text, size > 0 && text[size - 1] == '\0' ? size - 1 : size);
}

TEST(KxVersionResourceTest, DllAndCliCarryTheProjectVersion) {
    const DWORD versionMs = MAKELONG(KXIPC_TEST_VERSION_MINOR, KXIPC_TEST_VERSION_MAJOR);
    const DWORD versionLs = MAKELONG(0, KXIPC_TEST_VERSION_PATCH);
    const struct {
        const char* file;
        DWORD type;
    } binaries[] = {{"kxipc.dll", VFT_DLL}, {"kxipc.exe", VFT_APP}};
    for (const auto& binary : binaries) {
        SCOPED_TRACE(binary.file);
        const std::string path = KxBinaryDir() + binary.file;
        DWORD ignored = 0;
        std::vector<char> block(GetFileVersionInfoSizeA(path.c_str(), &ignored));
        ASSERT_FALSE(block.empty()) << "no version resource";
        ASSERT_TRUE(
            GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
        void* value = nullptr;
        UINT size = 0;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &size));
        ASSERT_GE(size, sizeof(VS_FIXEDFILEINFO));
        const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        EXPECT_EQ(fixed->dwFileType, binary.type);
        EXPECT_EQ(fixed->dwFileVersionMS, versionMs);
        EXPECT_EQ(fixed->dwFileVersionLS, versionLs);
        // Found under the first translation, as version readers look: the one block matches it.
        EXPECT_EQ(StringValue(block, "FileVersion"), KXIPC_TEST_VERSION);
        EXPECT_EQ(StringValue(block, "OriginalFilename"), binary.file);
    }
}

}  // namespace
