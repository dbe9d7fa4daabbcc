#include "identity/profile.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "identity/identifier_text.h"
#include "platform/sim/sim_host.h"
#include "winutil/create_directories.h"
#include "winutil/sim_file_fixture.h"

namespace telvo::identity {
namespace {

using platform::sim::SimHost;


TEST(NewProfileName, IsPrefixAndSixteenRandomBytesInLowerCaseHex) {
    SimHost host;
    host.system().SeedRandom(42);
    SimHost twin;
    twin.system().SeedRandom(42);
    std::array<std::uint8_t, 16> bytes{};
    ASSERT_TRUE(twin.platform().system.BCryptGenRandom(bytes, platform::bcrypt_flag::kUseSystemPreferredRng));
    std::string expected = "Telvo.Sandbox.";
    AppendLowerHex(expected, bytes);

    auto name = NewProfileName(host.platform().system);
    ASSERT_TRUE(name) << name.error().Display();
    EXPECT_EQ(*name, expected);
    EXPECT_EQ(name->size(), 46u);
    EXPECT_TRUE(ValidateProfileName(*name));

    auto next = NewProfileName(host.platform().system);
    ASSERT_TRUE(next);
    EXPECT_NE(*next, *name);
}

TEST(NewProfileName, ReportsTheRandomSourceStatus) {
    SimHost host;
    host.faults().FailOn("BCryptGenRandom", 1, SysError::NtStatus(0xC0000001));
    auto name = NewProfileName(host.platform().system);
    ASSERT_FALSE(name);
    EXPECT_EQ(name.error().Display(), "BCryptGenRandom failed with NTSTATUS 0xc0000001");
}

TEST(ValidateProfileName, AcceptsDigitsOfEitherCase) {
    EXPECT_TRUE(ValidateProfileName("Telvo.Sandbox.0123456789abcdef0123456789abcdef"));
    EXPECT_TRUE(ValidateProfileName("Telvo.Sandbox.0123456789ABCDEF0123456789AbCdEf"));
}

TEST(ValidateProfileName, RefusesAnythingElse) {
    const std::string digits(32, 'a');
    for (const std::string& bad : {
             "Telvo.Sandbox." + digits.substr(1),         // 45 bytes
             "Telvo.Sandbox." + digits + "0",             // 47 bytes
             "telvo.sandbox." + digits,                   // prefix differs in case only
             "Telvo-Sandbox." + digits,                   // wrong prefix
             "Telvo.Sandbox." + digits.substr(1) + "g",   // not a hexadecimal digit
             "Telvo.Sandbox." + digits.substr(2) + "\xC3\xA9",  // non-ASCII, 46 bytes
             "Telvo.Sandbox." + digits.substr(1) + std::string(1, '\0'),
             std::string(),
         }) {
        auto result = ValidateProfileName(bad);
        ASSERT_FALSE(result) << bad;
        EXPECT_EQ(result.error().Display(), "invalid Telvo AppContainer profile name");
    }
}


constexpr const char* kName = "Telvo.Sandbox.00112233445566778899aabbccddeeff";
constexpr const char16_t* kWideName = u"Telvo.Sandbox.00112233445566778899aabbccddeeff";

class ProfileTest : public ::testing::Test {
protected:
    SimHost host_;
    platform::AppContainer& appcontainer_ = host_.platform().appcontainer;
};

TEST_F(ProfileTest, CreatesTheNamedProfileWithItsCapabilities) {
    auto capabilities = CapabilitySet::Resolve(appcontainer_);
    ASSERT_TRUE(capabilities) << capabilities.error().Display();

    auto sid = CreateProfile(appcontainer_, kName, *capabilities);
    ASSERT_TRUE(sid) << sid.error().Display();
    const auto* profile = host_.appcontainer().FindProfile(kWideName);
    ASSERT_NE(profile, nullptr);
    EXPECT_EQ(profile->name, kWideName);
    EXPECT_EQ(profile->display_name, kWideName);
    EXPECT_EQ(profile->description, kWideName);
    EXPECT_EQ(profile->sid, *sid);
    ASSERT_EQ(profile->capabilities.size(), kCapabilityNames.size());
    for (std::size_t i = 0; i < kCapabilityNames.size(); ++i) {
        EXPECT_EQ(profile->capabilities[i].sid, capabilities->sids()[i]);
        EXPECT_EQ(profile->capabilities[i].attributes, 0x4u);
    }

    auto derived = DeriveProfileSid(appcontainer_, kName);
    ASSERT_TRUE(derived) << derived.error().Display();
    EXPECT_EQ(*derived, *sid);
    EXPECT_EQ(sid->authority(), 15u);
    EXPECT_EQ(sid->sub_authority(0), 2u);
}

TEST_F(ProfileTest, CreatesWithAnEmptyCapabilitySet) {
    ASSERT_TRUE(CreateProfile(appcontainer_, kName, CapabilitySet()));
    const auto* profile = host_.appcontainer().FindProfile(kWideName);
    ASSERT_NE(profile, nullptr);
    EXPECT_TRUE(profile->capabilities.empty());
}

TEST_F(ProfileTest, NeverReusesAnExistingProfile) {
    ASSERT_TRUE(CreateProfile(appcontainer_, kName, CapabilitySet()));
    // Digits of another case name the same profile.
    for (const char* same : {kName, "Telvo.Sandbox.00112233445566778899AABBCCDDEEFF"}) {
        auto again = CreateProfile(appcontainer_, same, CapabilitySet());
        ASSERT_FALSE(again);
        EXPECT_EQ(again.error().Display(), "CreateAppContainerProfile failed with HRESULT 0x800700b7");
        EXPECT_EQ(again.error().sys(), SysError::HResult(0x800700B7));
    }
    EXPECT_EQ(host_.appcontainer().Profiles().size(), 1u);
}

TEST_F(ProfileTest, ReportsFailedProfileCalls) {
    host_.faults().FailAlways("CreateAppContainerProfile", SysError::HResult(0x80070005));
    host_.faults().FailAlways("DeriveAppContainerSidFromAppContainerName", SysError::HResult(0x80070057));

    auto created = CreateProfile(appcontainer_, kName, CapabilitySet());
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().Display(), "CreateAppContainerProfile failed with HRESULT 0x80070005");
    auto derived = DeriveProfileSid(appcontainer_, kName);
    ASSERT_FALSE(derived);
    EXPECT_EQ(derived.error().Display(),
              "DeriveAppContainerSidFromAppContainerName failed with HRESULT 0x80070057");
}

TEST_F(ProfileTest, RefusesInvalidNamesBeforeAnySystemCall) {
    const char* bad = "Telvo.Sandbox.00112233445566778899aabbccddeefg";
    auto created = CreateProfile(appcontainer_, bad, CapabilitySet());
    auto derived = DeriveProfileSid(appcontainer_, bad);
    auto deleted = DeleteProfile(appcontainer_, bad);
    ASSERT_FALSE(created);
    ASSERT_FALSE(derived);
    ASSERT_FALSE(deleted);
    for (const Error* error : {&created.error(), &derived.error(), &deleted.error()}) {
        EXPECT_EQ(error->Display(), "invalid Telvo AppContainer profile name");
    }
    EXPECT_EQ(host_.faults().Total(), 0u);
}

TEST_F(ProfileTest, DeletesAndCountsAMissingProfileAsDeleted) {
    ASSERT_TRUE(CreateProfile(appcontainer_, kName, CapabilitySet()));
    ASSERT_TRUE(DeleteProfile(appcontainer_, kName));
    EXPECT_TRUE(host_.appcontainer().Profiles().empty());

    EXPECT_TRUE(DeleteProfile(appcontainer_, kName));
    for (std::uint32_t missing : {0x80070002u, 0x80070490u}) {
        host_.appcontainer().SetMissingProfileDeleteResult(missing);
        auto deleted = DeleteProfile(appcontainer_, kName);
        EXPECT_TRUE(deleted) << deleted.error().Display();
    }
}

TEST_F(ProfileTest, ReportsOtherDeleteFailures) {
    ASSERT_TRUE(CreateProfile(appcontainer_, kName, CapabilitySet()));
    host_.faults().FailOn("DeleteAppContainerProfile", 1, SysError::HResult(0x80070032));
    auto deleted = DeleteProfile(appcontainer_, kName);
    ASSERT_FALSE(deleted);
    EXPECT_EQ(deleted.error().Display(), "DeleteAppContainerProfile failed with HRESULT 0x80070032");
    // A Win32 code that happens to equal a "not found" value is no HRESULT.
    host_.faults().FailOn("DeleteAppContainerProfile", 2, SysError::Win32(0x80070002));
    EXPECT_FALSE(DeleteProfile(appcontainer_, kName));
    EXPECT_EQ(host_.appcontainer().Profiles().size(), 1u);
}

// Windows may report success and still hand back no usable SID. The call is
// then reported as failed with the HRESULT it returned; a profile it created
// stays for cleanup, which deletes it by name.
TEST_F(ProfileTest, SuccessWithoutAUsableSidFailsWithTheReturnedHResult) {
    const std::vector<std::uint8_t> header_only{1, 20, 0, 0, 0, 0, 0, 15};  // 20 sub-authorities: no SID
    const std::vector<std::uint8_t> short_sid{1, 2, 0, 0, 0, 0, 0, 15, 2, 0, 0, 0};
    for (const platform::ReturnedSid& returned : {platform::ReturnedSid{0, {}}, platform::ReturnedSid{1, header_only},
                                                  platform::ReturnedSid{0, short_sid}}) {
        host_.appcontainer().SetReturnedSid(returned);
        const std::string hresult = returned.hresult == 0 ? "0x00000000" : "0x00000001";
        auto created = CreateProfile(appcontainer_, kName, CapabilitySet());
        ASSERT_FALSE(created);
        EXPECT_EQ(created.error().Display(), "CreateAppContainerProfile failed with HRESULT " + hresult);
        auto derived = DeriveProfileSid(appcontainer_, kName);
        ASSERT_FALSE(derived);
        EXPECT_EQ(derived.error().Display(), "DeriveAppContainerSidFromAppContainerName failed with HRESULT " + hresult);

        // The profile was created; cleanup, knowing only the name, deletes it.
        ASSERT_NE(host_.appcontainer().FindProfile(kWideName), nullptr);
        ASSERT_TRUE(DeleteProfile(appcontainer_, kName));
        EXPECT_TRUE(host_.appcontainer().Profiles().empty());
    }
}

constexpr char kTempName[] = "Telvo.Sandbox.0123456789abcdef0123456789abcdef";


class AppContainerTemp : public winutil::testing::SimFileTest {
protected:
    winformat::Sid Profile() {
        auto sid = CreateProfile(platform().appcontainer, kTempName, CapabilitySet());
        EXPECT_TRUE(sid);
        return *sid;
    }
    const std::string folder = std::string("C:\\Users\\tester\\AppData\\Local\\Packages\\") + kTempName + "\\AC";
};

TEST_F(AppContainerTemp, CreatesTempWithEveryMissingParentAndAcceptsItAgain) {
    const winformat::Sid sid = Profile();
    auto created = EnsureAppContainerTemp(platform(), sid);
    ASSERT_TRUE(created) << created.error().Display();
    EXPECT_EQ(*created, folder);
    auto temp = files().Lookup(Wide(folder + "\\Temp"));
    ASSERT_TRUE(temp);
    const std::size_t handles = OpenHandles();
    auto again = EnsureAppContainerTemp(platform(), sid);
    ASSERT_TRUE(again) << again.error().Display();
    EXPECT_EQ(OpenHandles(), handles);
}

TEST_F(AppContainerTemp, SomethingElseInTheWayIsAnError) {
    const winformat::Sid sid = Profile();
    ASSERT_TRUE(winutil::CreateDirectories(platform(), folder));
    File(folder + "\\Temp");
    auto created = EnsureAppContainerTemp(platform(), sid);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().Display(),
              "could not create AppContainer temp under " + folder + ": CreateDirectoryW(" + folder +
                  "\\Temp) failed with Win32 error 183");
}

TEST_F(AppContainerTemp, FailuresCarryTheirCause) {
    const winformat::Sid sid = Profile();
    FailNext("CreateDirectoryW", 5);
    EXPECT_EQ(EnsureAppContainerTemp(platform(), sid).error().Display(),
              "could not create AppContainer temp under " + folder + ": CreateDirectoryW(" + folder +
                  "\\Temp) failed with Win32 error 5");
    // A SID without a profile has no folder.
    const winformat::Sid stranger = winformat::Sid::Make(15, {2, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(EnsureAppContainerTemp(platform(), stranger).error().Display(),
              "GetAppContainerFolderPath failed with HRESULT 0x80070002");
}

TEST_F(AppContainerTemp, SuccessWithoutAPathFailsWithTheReturnedHResult) {
    const winformat::Sid sid = Profile();
    const std::uint64_t creations = host.faults().Count("CreateDirectoryW");
    for (const std::uint32_t hresult : {0u, 1u}) {
        host.appcontainer().SetReturnedPath(platform::ReturnedPath{hresult, u""});
        auto created = EnsureAppContainerTemp(platform(), sid);
        ASSERT_FALSE(created);
        EXPECT_EQ(created.error().Display(),
                  std::string("GetAppContainerFolderPath failed with HRESULT ") + (hresult == 0 ? "0x00000000" : "0x00000001"));
    }
    EXPECT_EQ(host.faults().Count("CreateDirectoryW"), creations);
}

}  // namespace
}  // namespace telvo::identity
