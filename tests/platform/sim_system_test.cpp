#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {
namespace {

constexpr char16_t kKey[] = u"SOFTWARE\\Test";
constexpr std::uint32_t kStringFlags =
    registry_flag::kRtRegSz | registry_flag::kRtRegExpandSz | registry_flag::kNoExpand;

class SimSystemTest : public ::testing::Test {
protected:
    struct Read {
        SysResult<void> status;
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        std::vector<std::uint8_t> bytes;
    };
    Read Get(std::u16string value, std::uint32_t flags, std::optional<std::size_t> buffer,
             std::uint32_t key = registry_key::kLocalMachine) {
        Read read;
        read.bytes.resize(buffer.value_or(0));
        std::span<std::uint8_t> data = buffer ? std::span<std::uint8_t>(read.bytes) : std::span<std::uint8_t>();
        read.status = host.system().RegGetValueW(key, kKey, value, flags, read.type, data, read.size);
        return read;
    }
    static SysError Win32(std::uint32_t code) { return SysError::Win32(code); }
    SimHost host;
};

TEST_F(SimSystemTest, RegistryStringsProbeThenReadWithATerminatorAdded) {
    host.system().registry().Set(kKey, u"Dir", registry_type::kExpandSz, RegistryStringBytes(u"%X%"));
    const Read probe = Get(u"dir", kStringFlags, std::nullopt);
    ASSERT_TRUE(probe.status);
    EXPECT_EQ(probe.type, registry_type::kExpandSz);
    EXPECT_EQ(probe.size, 8u);  // three units and the added NUL

    const Read small = Get(u"Dir", kStringFlags, 6);
    EXPECT_EQ(small.status.error(), Win32(win32_error::kMoreData));
    EXPECT_EQ(small.size, 8u);

    const Read full = Get(u"Dir", kStringFlags, 10);
    ASSERT_TRUE(full.status);
    EXPECT_EQ(full.size, 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(full.bytes.begin(), full.bytes.begin() + 8),
              (std::vector<std::uint8_t>{'%', 0, 'X', 0, '%', 0, 0, 0}));
}

TEST_F(SimSystemTest, RegistryRefusalsFollowTheFlagsAndTheKey) {
    host.system().registry().Set(kKey, u"Dir", registry_type::kExpandSz, RegistryStringBytes(u"x"));
    host.system().registry().Set(kKey, u"Number", registry_type::kDword, {1, 0, 0, 0});
    EXPECT_EQ(Get(u"Dir", registry_flag::kRtRegExpandSz, 16).status.error(), Win32(win32_error::kInvalidParameter));
    EXPECT_EQ(Get(u"Dir", registry_flag::kNoExpand, 16).status.error(), Win32(win32_error::kInvalidParameter));
    EXPECT_EQ(Get(u"Dir", registry_flag::kRtRegSz | registry_flag::kNoExpand, 16).status.error(),
              Win32(win32_error::kUnsupportedType));
    EXPECT_EQ(Get(u"Number", kStringFlags, 16).status.error(), Win32(win32_error::kUnsupportedType));
    EXPECT_EQ(Get(u"Missing", kStringFlags, 16).status.error(), Win32(win32_error::kFileNotFound));
    EXPECT_EQ(Get(u"Dir", kStringFlags | registry_flag::kSubkeyWow6432Key, 16).status.error(),
              Win32(win32_error::kFileNotFound));
    EXPECT_EQ(Get(u"Dir", kStringFlags, 16, 0x80000001).status.error(), Win32(win32_error::kInvalidHandle));
    EXPECT_TRUE(Get(u"Dir", kStringFlags | registry_flag::kSubkeyWow6464Key, 16).status);
}

// Without RRF_NOEXPAND, RegGetValueW expands a REG_EXPAND_SZ value from the
// caller's environment and hands it out as REG_SZ.
TEST_F(SimSystemTest, ExpandableValueIsExpandedFromTheCallersEnvironmentUnlessToldNot) {
    host.system().registry().Set(kKey, u"Dir", registry_type::kExpandSz,
                                 RegistryStringBytes(u"%SystemDrive%\\P %Nope% 100%"));
    host.caller().SetEnvironment({u"PATH=x", u"systemdrive=D:"});
    const auto text = [](const Read& read) {
        std::u16string units;
        for (std::size_t i = 0; i + 1 < read.size; i += 2) {
            units += static_cast<char16_t>(read.bytes[i] | (read.bytes[i + 1] << 8));
        }
        return units;
    };
    for (const std::uint32_t flags : {registry_flag::kRtRegSz, registry_flag::kRtAny}) {
        const Read expanded = Get(u"Dir", flags, 64);
        ASSERT_TRUE(expanded.status) << flags;
        EXPECT_EQ(expanded.type, registry_type::kSz);
        EXPECT_EQ(text(expanded), std::u16string(u"D:\\P %Nope% 100%\0", 17));
        EXPECT_EQ(Get(u"Dir", flags, std::nullopt).size, 34u);
    }
    const Read kept = Get(u"Dir", kStringFlags, 64);
    ASSERT_TRUE(kept.status);
    EXPECT_EQ(kept.type, registry_type::kExpandSz);
    EXPECT_EQ(text(kept), std::u16string(u"%SystemDrive%\\P %Nope% 100%\0", 28));
    EXPECT_EQ(Get(u"Dir", registry_flag::kRtRegExpandSz | registry_flag::kRtRegSz, 64).status.error(),
              Win32(win32_error::kInvalidParameter));
}

TEST_F(SimSystemTest, QueuedChangeTakesEffectAfterTheNextRead) {
    host.system().registry().Set(kKey, u"Dir", registry_type::kSz, RegistryStringBytes(u"ab"));
    host.system().registry().QueueChange(kKey, u"Dir", RegistryStringBytes(u"abcd"));
    EXPECT_EQ(Get(u"Dir", kStringFlags, std::nullopt).size, 6u);
    EXPECT_EQ(Get(u"Dir", kStringFlags, std::nullopt).size, 10u);
    EXPECT_EQ(Get(u"Dir", kStringFlags, std::nullopt).size, 10u);
}

TEST_F(SimSystemTest, WindowsDirectoryFollowsTheSizeProbeContract) {
    host.system().SetWindowsDirectory(u"D:\\WinNT");
    std::vector<char16_t> buffer(8, u'#');
    EXPECT_EQ(host.system().GetSystemWindowsDirectoryW(buffer).value(), 9u);
    buffer.resize(9);
    EXPECT_EQ(host.system().GetSystemWindowsDirectoryW(buffer).value(), 8u);
    EXPECT_EQ(std::u16string(buffer.data()), u"D:\\WinNT");
}

}  // namespace
}  // namespace telvo::platform::sim
