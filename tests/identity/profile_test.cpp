#include "identity/profile.h"

#include <gtest/gtest.h>

#include "identity/sid_text.h"
#include "platform/sim/sim_host.h"

namespace telvo::identity {
namespace {

using platform::sim::SimHost;

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
    auto text = SidToString(appcontainer_, *sid);
    ASSERT_TRUE(text) << text.error().Display();
    EXPECT_TRUE(text->starts_with("S-1-15-2-")) << *text;
    EXPECT_EQ(*text, sid->ToString());
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
    host_.faults().FailAlways("ConvertSidToStringSidW", SysError::Win32(8));

    auto created = CreateProfile(appcontainer_, kName, CapabilitySet());
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().Display(), "CreateAppContainerProfile failed with HRESULT 0x80070005");
    auto derived = DeriveProfileSid(appcontainer_, kName);
    ASSERT_FALSE(derived);
    EXPECT_EQ(derived.error().Display(),
              "DeriveAppContainerSidFromAppContainerName failed with HRESULT 0x80070057");
    auto text = SidToString(appcontainer_, winformat::well_known::AllApplicationPackages());
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().Display(), "ConvertSidToStringSidW failed with Win32 error 8");
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

// Windows may report success and still hand back no SID.
class SidlessAppContainer final : public platform::AppContainer {
public:
    SysResult<std::optional<winformat::Sid>> CreateAppContainerProfile(
        const std::u16string&, const std::u16string&, const std::u16string&,
        std::span<const platform::SidAndAttributes>) override {
        return std::nullopt;
    }
    SysResult<std::optional<winformat::Sid>> DeriveAppContainerSidFromAppContainerName(
        const std::u16string&) override {
        return std::nullopt;
    }
    SysResult<void> DeleteAppContainerProfile(const std::u16string&) override { return {}; }
    SysResult<std::optional<std::u16string>> GetAppContainerFolderPath(const std::u16string&) override {
        return std::nullopt;
    }
    SysResult<platform::DerivedCapabilitySids> DeriveCapabilitySidsFromName(const std::u16string&) override {
        return platform::DerivedCapabilitySids{};
    }
    SysResult<std::u16string> ConvertSidToStringSidW(const winformat::Sid&) override { return u""; }
};

TEST(ProfileWithoutSid, SuccessWithoutASidIsAnError) {
    SidlessAppContainer appcontainer;
    auto created = CreateProfile(appcontainer, kName, CapabilitySet());
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().Display(), "CreateAppContainerProfile returned no SID");
    auto derived = DeriveProfileSid(appcontainer, kName);
    ASSERT_FALSE(derived);
    EXPECT_EQ(derived.error().Display(), "DeriveAppContainerSidFromAppContainerName returned no SID");
}

}  // namespace
}  // namespace telvo::identity
