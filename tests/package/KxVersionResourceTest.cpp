// The version resource of kxipc.dll and kxipc.exe, read back as Windows shows it, against the
// version CMake configured (KXIPC_TEST_VERSION*): the one version must reach both binaries.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KxWindows.h"

namespace {

// The version block of a binary beside this test executable, and what it says.
class CKxVersionBlock {
public:
    explicit CKxVersionBlock(const std::string& fileName) {
        char self[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string path(self, length);
        path = path.substr(0, path.find_last_of("\\/") + 1) + fileName;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
        if (size == 0) return;
        m_block.resize(size);
        if (!GetFileVersionInfoA(path.c_str(), 0 /*dwHandle*/, size, m_block.data())) {
            m_block.clear();
        }
    }

    bool Loaded() const { return !m_block.empty(); }

    const VS_FIXEDFILEINFO* Fixed() const {
        void* value = nullptr;
        UINT size = 0;
        if (!VerQueryValueA(m_block.data(), "\\", &value, &size) ||
            size < sizeof(VS_FIXEDFILEINFO)) {
            return nullptr;
        }
        return static_cast<const VS_FIXEDFILEINFO*>(value);
    }

    // A string value looked up, as version readers do, under the block's first translation.
    std::string String(const char* name) const {
        struct Translation {
            WORD language;
            WORD codePage;
        };
        void* value = nullptr;
        UINT size = 0;
        if (!VerQueryValueA(m_block.data(), "\\VarFileInfo\\Translation", &value, &size) ||
            size < sizeof(Translation)) {
            return "<no translation>";
        }
        const Translation* translation = static_cast<const Translation*>(value);
        char query[128];
        std::snprintf(query, sizeof(query), "\\StringFileInfo\\%04x%04x\\%s", translation->language,
                      translation->codePage, name);
        if (!VerQueryValueA(m_block.data(), query, &value, &size)) return "<missing>";
        // size counts the characters with the terminating zero, which an empty value may lack.
        const char* text = static_cast<const char*>(value);
        return std::string(text, size > 0 && text[size - 1] == '\0' ? size - 1 : size);
    }

private:
    std::vector<unsigned char> m_block;
};

void ExpectProjectVersion(const std::string& fileName, DWORD fileType) {
    SCOPED_TRACE(fileName);
    const CKxVersionBlock block(fileName);
    ASSERT_TRUE(block.Loaded()) << "no version resource";

    const VS_FIXEDFILEINFO* fixed = block.Fixed();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileType, fileType);
    const DWORD versionMs = MAKELONG(KXIPC_TEST_VERSION_MINOR, KXIPC_TEST_VERSION_MAJOR);
    const DWORD versionLs = MAKELONG(0, KXIPC_TEST_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, versionMs);
    EXPECT_EQ(fixed->dwFileVersionLS, versionLs);
    EXPECT_EQ(fixed->dwProductVersionMS, versionMs);
    EXPECT_EQ(fixed->dwProductVersionLS, versionLs);

    EXPECT_EQ(block.String("FileVersion"), KXIPC_TEST_VERSION);
    EXPECT_EQ(block.String("ProductVersion"), KXIPC_TEST_VERSION);
    EXPECT_EQ(block.String("ProductName"), "kxipc");
    EXPECT_EQ(block.String("OriginalFilename"), fileName);
    const std::string description = block.String("FileDescription");
    EXPECT_NE(description, "<missing>");
    EXPECT_FALSE(description.empty());
}

TEST(KxVersionResourceTest, DllCarriesTheProjectVersion) {
    ExpectProjectVersion("kxipc.dll", VFT_DLL);
}

TEST(KxVersionResourceTest, CliCarriesTheProjectVersion) {
    ExpectProjectVersion("kxipc.exe", VFT_APP);
}

}  // namespace
