#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "contract/contract_host.h"
#include "platform/system.h"
#include "platform/types.h"
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

std::vector<std::uint8_t> StringBytes(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    for (const char16_t unit : text + u'\0') {
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

// A REG_EXPAND_SZ value is read as it is stored only with RRF_NOEXPAND;
// without it the caller's environment is put in and the value handed out as
// REG_SZ. The flags are the machine reads' own: the 64-bit view, string
// types only.
TEST(SystemContract, RegGetValueExpandsOnlyWithoutNoExpand) {
    using namespace platform;
    auto host = MakeContractHost();
    auto& system = host->platform().system;
    const std::u16string key = u"SOFTWARE\\TelvoContract";
    const std::u16string raw = u"%TELVO_CONTRACT_ROOT%\\programs";
    ASSERT_TRUE(host->SetEnvironmentEntry(u"TELVO_CONTRACT_ROOT", u"C:\\telvo-root"));
    ASSERT_TRUE(host->PlantRegistryValue(key, u"Dir", registry_type::kExpandSz, StringBytes(raw)));
    constexpr std::uint32_t kView = registry_flag::kSubkeyWow6464Key;

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    const std::uint32_t unexpanded = registry_flag::kRtRegSz | registry_flag::kRtRegExpandSz | registry_flag::kNoExpand | kView;
    ASSERT_TRUE(system.RegGetValueW(registry_key::kLocalMachine, key, u"Dir", unexpanded, type, {}, size));
    EXPECT_EQ(type, registry_type::kExpandSz);
    EXPECT_EQ(size, StringBytes(raw).size());
    std::vector<std::uint8_t> data(size);
    ASSERT_TRUE(system.RegGetValueW(registry_key::kLocalMachine, key, u"Dir", unexpanded, type, data, size));
    EXPECT_EQ(data, StringBytes(raw));

    std::vector<std::uint8_t> expanded(512);
    size = static_cast<std::uint32_t>(expanded.size());
    const std::uint32_t expanding = registry_flag::kRtRegSz | kView;
    ASSERT_TRUE(system.RegGetValueW(registry_key::kLocalMachine, key, u"Dir", expanding, type, expanded, size));
    EXPECT_EQ(type, registry_type::kSz);
    ASSERT_LE(size, expanded.size());
    expanded.resize(size);
    EXPECT_EQ(expanded, StringBytes(u"C:\\telvo-root\\programs"));

    // REG_SZ alone with RRF_NOEXPAND does not take the value; asking for
    // REG_EXPAND_SZ that is to be expanded is no valid request.
    EXPECT_EQ(system.RegGetValueW(registry_key::kLocalMachine, key, u"Dir", registry_flag::kRtRegSz | registry_flag::kNoExpand | kView, type, {}, size).error(),
              SysError::Win32(win32_error::kUnsupportedType));
    EXPECT_EQ(system.RegGetValueW(registry_key::kLocalMachine, key, u"Dir", registry_flag::kRtRegExpandSz | kView, type, {}, size).error(),
              SysError::Win32(win32_error::kInvalidParameter));
}

}  // namespace
}  // namespace telvo::contract
