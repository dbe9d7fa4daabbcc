#include <gtest/gtest.h>

#include "contract/contract_host.h"
#include "platform/system.h"
#include "winutil/local_path.h"
#include "winformat/text.h"

namespace telvo::contract {
namespace {

TEST(SystemContract, LocalAppDataAndProfileAreOrdinaryLocalPaths) {
    auto host = MakeContractHost();
    for (const auto& folder : {platform::known_folder::kLocalAppData, platform::known_folder::kProfile}) {
        auto path = host->platform().system.SHGetKnownFolderPath(folder, 0);
        ASSERT_TRUE(path);
        auto text = winformat::Utf16ToUtf8(*path);
        ASSERT_TRUE(text);
        EXPECT_TRUE(winutil::IsNormalizedLocalPath(*text)) << *text;
    }
}

TEST(SystemContract, AnUnknownFolderIsAnHresultFailure) {
    auto host = MakeContractHost();
    const platform::KnownFolderId unknown = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    auto path = host->platform().system.SHGetKnownFolderPath(unknown, 0);
    ASSERT_FALSE(path);
    EXPECT_EQ(path.error().kind, SysError::Kind::hresult);
    EXPECT_GE(path.error().code, 0x80000000u);
}

TEST(SystemContract, WindowsDirectoryProbeReportsTheNeededSize) {
    auto host = MakeContractHost();
    auto& system = host->platform().system;
    char16_t tiny[2];
    auto needed = system.GetSystemWindowsDirectoryW(tiny);
    ASSERT_TRUE(needed);
    ASSERT_GT(*needed, 3u);
    std::u16string buffer(*needed, u'\0');
    auto written = system.GetSystemWindowsDirectoryW(buffer);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written + 1, *needed);
    EXPECT_EQ(buffer[1], u':');
}

// The system directory lies directly below the Windows directory.
TEST(SystemContract, SystemDirectoryProbeReportsTheNeededSize) {
    auto host = MakeContractHost();
    auto& system = host->platform().system;
    auto needed = system.GetSystemDirectoryW({});
    ASSERT_TRUE(needed);
    ASSERT_GT(*needed, 3u);
    std::u16string buffer(*needed, u'\0');
    auto written = system.GetSystemDirectoryW(buffer);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written + 1, *needed);
    buffer.resize(*written);

    std::u16string windows(system.GetSystemWindowsDirectoryW({}).value(), u'\0');
    windows.resize(system.GetSystemWindowsDirectoryW(windows).value());
    ASSERT_GT(buffer.size(), windows.size() + 1);
    EXPECT_TRUE(winutil::PathsEqual(std::u16string_view(buffer).substr(0, windows.size()), windows));
    EXPECT_EQ(buffer[windows.size()], u'\\');
}

}  // namespace
}  // namespace telvo::contract
