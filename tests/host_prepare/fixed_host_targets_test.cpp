#include <gtest/gtest.h>

#include "host_prepare/fixed_host_targets.h"
#include "platform/sim/sim_host.h"

namespace telvo::host_prepare {
namespace {

using platform::sim::RegistryStringBytes;

constexpr char16_t kProfileList[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

class FixedHostTargets : public ::testing::Test {
protected:
    void Profiles(std::u16string_view value, std::uint32_t type = platform::registry_type::kExpandSz) {
        host.system().registry().Set(kProfileList, u"ProfilesDirectory", type, RegistryStringBytes(value));
    }
    void ProfilesBytes(std::vector<std::uint8_t> bytes) {
        host.system().registry().Set(kProfileList, u"ProfilesDirectory", platform::registry_type::kSz,
                                     std::move(bytes));
    }
    Result<std::vector<FixedHostTarget>> Resolve() { return ResolveFixedHostTargets(host.platform().system); }
    std::string Profiles() {
        auto targets = Resolve();
        if (!targets) return "error: " + targets.error().Display();
        EXPECT_EQ(targets->size(), 2u);
        return targets->at(1).path;
    }
    std::string Refusal() {
        auto targets = Resolve();
        EXPECT_FALSE(targets);
        return targets ? std::string("resolved") : targets.error().Display();
    }
    platform::sim::SimHost host;
};

TEST_F(FixedHostTargets, DefaultMachineResolvesTheDriveRootThenTheProfilesDirectory) {
    auto targets = Resolve();
    ASSERT_TRUE(targets) << targets.error().Display();
    ASSERT_EQ(targets->size(), 2u);
    EXPECT_EQ(targets->at(0).name, "systemDriveRoot");
    EXPECT_EQ(targets->at(0).path, "C:\\");
    EXPECT_EQ(targets->at(1).name, "userProfiles");
    EXPECT_EQ(targets->at(1).path, "C:\\Users");
}

TEST_F(FixedHostTargets, VariablesComeFromTheWindowsDirectoryIgnoringCase) {
    host.system().SetWindowsDirectory(u"d:\\WinNT");
    EXPECT_EQ(Resolve()->at(0).path, "D:\\");
    Profiles(u"%systemdrive%\\Users");
    EXPECT_EQ(Profiles(), "D:\\Users");
    Profiles(u"%SYSTEMROOT%\\Profiles");
    EXPECT_EQ(Profiles(), "d:\\WinNT\\Profiles");
    Profiles(u"%WinDir%\\..x");
    EXPECT_EQ(Profiles(), "d:\\WinNT\\..x");
    Profiles(u"E:\\Plain", platform::registry_type::kSz);
    EXPECT_EQ(Profiles(), "E:\\Plain");
}

TEST_F(FixedHostTargets, CallerVariablesAndBrokenSyntaxAreRefused) {
    Profiles(u"%USERPROFILE%\\..");
    EXPECT_EQ(Refusal(), "unsupported machine ProfilesDirectory variable; caller environment is never expanded");
    Profiles(u"%%\\Users");
    EXPECT_EQ(Refusal(), "unsupported machine ProfilesDirectory variable; caller environment is never expanded");
    Profiles(u"%SystemRoot\\Profiles");
    EXPECT_EQ(Refusal(), "unterminated ProfilesDirectory variable");
    Profiles(u"%SystemDrive%\\");
    EXPECT_EQ(Refusal(), "machine ProfilesDirectory must not be a volume root");
    Profiles(u"D:\\", platform::registry_type::kSz);
    EXPECT_EQ(Refusal(), "machine ProfilesDirectory must not be a volume root");
    Profiles(u"%SystemDrive%Users");
    EXPECT_EQ(Refusal(), "machine ProfilesDirectory is not a normalized absolute local-drive path");
    Profiles(u"%SystemRoot%\\..\\Users");
    EXPECT_EQ(Refusal(), "machine ProfilesDirectory is not a normalized absolute local-drive path");
}

TEST_F(FixedHostTargets, ExpansionIsBounded) {
    host.system().SetWindowsDirectory(u"C:\\" + std::u16string(4000, u'w'));
    std::u16string many;
    for (int i = 0; i < 9; ++i) many += u"%SystemRoot%";
    Profiles(many);
    EXPECT_EQ(Refusal(), "expanded machine ProfilesDirectory exceeds the supported size");
}

TEST_F(FixedHostTargets, StringSizesAreBoundedAndEven) {
    // 32767 units and the terminator: 65536 bytes, the largest accepted.
    Profiles(u"C:\\" + std::u16string(32764, u'p'));
    EXPECT_EQ(Profiles().size(), 32767u);
    Profiles(u"C:\\" + std::u16string(32765, u'p'));
    EXPECT_EQ(Refusal(), "invalid machine ProfilesDirectory string size");
    ProfilesBytes({'C', 0, ':'});  // odd, even with the terminator the registry adds
    EXPECT_EQ(Refusal(), "invalid machine ProfilesDirectory string size");
}

TEST_F(FixedHostTargets, ValueMustBeOneTerminatedString) {
    ProfilesBytes(RegistryStringBytes(std::u16string(u"C:\\Users\0\0", 10)));
    EXPECT_EQ(Refusal(), "machine ProfilesDirectory is not one terminated string");
    ProfilesBytes(RegistryStringBytes(std::u16string(u"C:\\a\0b", 6)));
    EXPECT_EQ(Refusal(), "machine ProfilesDirectory is not one terminated string");
    host.system().registry().Set(kProfileList, u"ProfilesDirectory", platform::registry_type::kDword, {1, 0, 0, 0});
    EXPECT_EQ(Refusal(), "RegGetValueW(ProfilesDirectory size) failed with Win32 error 1630");
}

TEST_F(FixedHostTargets, ValueThatKeepsGrowingFailsAfterTheThirdSizeChange) {
    auto& registry = host.system().registry();
    Profiles(u"C:\\U");
    registry.QueueChange(kProfileList, u"ProfilesDirectory", RegistryStringBytes(u"C:\\Us"));
    registry.QueueChange(kProfileList, u"ProfilesDirectory", RegistryStringBytes(u"C:\\Use"));
    EXPECT_EQ(Profiles(), "C:\\Use");
    EXPECT_EQ(host.faults().Count("RegGetValueW"), 4u);  // the probe, two short reads, the read

    Profiles(u"C:\\U");
    for (std::u16string grown : {u"C:\\Us", u"C:\\Use", u"C:\\User"}) {
        registry.QueueChange(kProfileList, u"ProfilesDirectory", RegistryStringBytes(grown));
    }
    EXPECT_EQ(Refusal(), "machine ProfilesDirectory changed size repeatedly");
}

TEST_F(FixedHostTargets, FailedCallsNameTheirStep) {
    host.faults().FailOn("RegGetValueW", 1, SysError::Win32(5));
    EXPECT_EQ(Refusal(), "RegGetValueW(ProfilesDirectory size) failed with Win32 error 5");
    host.faults().FailOn("RegGetValueW", 3, SysError::Win32(1017));
    EXPECT_EQ(Refusal(), "RegGetValueW(ProfilesDirectory) failed with Win32 error 1017");
    host.faults().FailOn("GetSystemWindowsDirectoryW", 3, SysError::Win32(8));
    EXPECT_EQ(Refusal(), "GetSystemWindowsDirectoryW failed with Win32 error 8");
}

TEST_F(FixedHostTargets, WindowsDirectoryMustBeAnOrdinaryDrivePathThatFitsTheBuffer) {
    host.system().SetWindowsDirectory(u"C:\\" + std::u16string(32764, u'w'));  // 32767 units fit
    EXPECT_TRUE(Resolve());
    host.system().SetWindowsDirectory(u"C:\\" + std::u16string(32765, u'w'));
    EXPECT_EQ(Refusal(), "OS Windows directory exceeds the supported size");
    for (std::u16string bad : {u"C:\\", u"\\\\?\\C:\\Windows", u"C:/Windows", u"1:\\Windows", u"C:\\Win\\..\\x"}) {
        host.system().SetWindowsDirectory(bad);
        EXPECT_EQ(Refusal(), "the OS Windows directory is not an ordinary local drive path");
    }
}

}  // namespace
}  // namespace telvo::host_prepare
