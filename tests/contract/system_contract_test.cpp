#include <gtest/gtest.h>

#include <functional>
#include <span>

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

// GetSystemWindowsDirectoryW and GetSystemDirectoryW: too small a buffer
// gives the size with the terminator, a fitting one the length without it.
std::u16string ProbedDirectory(const std::function<SysResult<std::uint32_t>(std::span<char16_t>)>& call) {
    char16_t tiny[2];
    const auto needed = call(tiny);
    EXPECT_TRUE(needed);
    if (!needed) return {};
    EXPECT_GT(*needed, 3u);
    EXPECT_EQ(call({}).value_or(0), *needed);
    std::u16string buffer(*needed, u'\0');
    const auto written = call(buffer);
    EXPECT_TRUE(written);
    if (!written) return {};
    EXPECT_EQ(*written + 1, *needed);
    buffer.resize(*written);
    return buffer;
}

// The system directory lies directly below the Windows directory.
TEST(SystemContract, DirectoryProbesReportTheNeededSize) {
    auto host = MakeContractHost();
    auto& system = host->platform().system;
    const std::u16string windows =
        ProbedDirectory([&](std::span<char16_t> buffer) { return system.GetSystemWindowsDirectoryW(buffer); });
    const std::u16string directory =
        ProbedDirectory([&](std::span<char16_t> buffer) { return system.GetSystemDirectoryW(buffer); });
    ASSERT_GT(windows.size(), 3u);
    EXPECT_EQ(windows[1], u':');
    ASSERT_GT(directory.size(), windows.size() + 1);
    EXPECT_TRUE(winutil::PathsEqual(std::u16string_view(directory).substr(0, windows.size()), windows));
    EXPECT_EQ(directory[windows.size()], u'\\');
}

}  // namespace
}  // namespace telvo::contract
