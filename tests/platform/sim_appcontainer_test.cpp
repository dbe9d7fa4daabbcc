#include "platform/sim/sim_host.h"

#include <gtest/gtest.h>

#include <array>

namespace telvo::platform::sim {
namespace {

using winformat::Sid;

Sid SidOf(const char* text) { return *Sid::Parse(text); }
Sid SidOf(const ReturnedSid& returned) { return *Sid::FromBytes(returned.sid); }

// Published SIDs of real packages and capabilities.
TEST(SimAppContainer, DerivesTheSidsWindowsDerives) {
    SimHost host;
    AppContainer& appcontainer = host.platform().appcontainer;
    const Sid edge = SidOf("S-1-15-2-3624051433-2125758914-1423191267-1740899205-1073925389-3782572162-737981194");
    for (const char16_t* name : {u"microsoft.microsoftedge_8wekyb3d8bbwe", u"Microsoft.MicrosoftEdge_8wekyb3d8bbwe"}) {
        auto sid = appcontainer.DeriveAppContainerSidFromAppContainerName(name);
        ASSERT_TRUE(sid);
        EXPECT_EQ(SidOf(*sid), edge);
    }
    auto calculator = appcontainer.DeriveAppContainerSidFromAppContainerName(u"Microsoft.WindowsCalculator_8wekyb3d8bbwe");
    ASSERT_TRUE(calculator);
    EXPECT_EQ(SidOf(*calculator), SidOf("S-1-15-2-466767348-3739614953-2700836392-1801644223-4227750657-1087833535-"
                                  "2488631167"));

    auto registry = appcontainer.DeriveCapabilitySidsFromName(u"registryRead");
    ASSERT_TRUE(registry);
    ASSERT_EQ(registry->capability_sids.size(), 1u);
    EXPECT_EQ(registry->capability_sids[0], SidOf("S-1-15-3-1024-1065365936-1281604716-3511738428-1654721687-"
                                                   "432734479-3232135806-4053264122-3456934681"));
    // The group SID carries the same hash in the built-in domain.
    ASSERT_EQ(registry->group_sids.size(), 1u);
    EXPECT_EQ(registry->group_sids[0], SidOf("S-1-5-32-1065365936-1281604716-3511738428-1654721687-"
                                              "432734479-3232135806-4053264122-3456934681"));
    // Capability names are hashed upper-cased.
    auto lpac = appcontainer.DeriveCapabilitySidsFromName(u"LPACCOM");
    ASSERT_TRUE(lpac);
    EXPECT_EQ(lpac->capability_sids.at(0), SidOf("S-1-15-3-1024-2405443489-874036122-4286035555-1823921565-"
                                                  "1746547431-2453885448-3625952902-991631256"));
}

TEST(SimAppContainer, AppliesTheProfileNameRules) {
    SimHost host;
    AppContainer& appcontainer = host.platform().appcontainer;
    for (const std::u16string& bad : {std::u16string(), std::u16string(65, u'a'), std::u16string(u"a/b"),
                                      std::u16string(u"caf\u00e9")}) {
        auto created = appcontainer.CreateAppContainerProfile(bad, u"d", u"d", {});
        ASSERT_FALSE(created);
        EXPECT_EQ(created.error(), SysError::HResult(0x80070057));
    }
    EXPECT_TRUE(appcontainer.CreateAppContainerProfile(std::u16string(64, u'a'), u"d", u"d", {}));
    EXPECT_TRUE(appcontainer.CreateAppContainerProfile(u"A b.c_d-9", u"d", u"d", {}));
    auto long_display = appcontainer.CreateAppContainerProfile(u"x", std::u16string(513, u'd'), u"d", {});
    EXPECT_EQ(long_display.error(), SysError::HResult(0x80070057));
    EXPECT_EQ(host.appcontainer().Profiles().size(), 2u);
}

TEST(SimAppContainer, FindsTheFolderOfAnExistingProfile) {
    SimHost host;
    host.system().SetLocalAppData(u"D:\\Home\\AppData\\Local");
    AppContainer& appcontainer = host.platform().appcontainer;
    auto sid = appcontainer.CreateAppContainerProfile(u"Telvo.Sandbox.ab", u"d", u"d", {});
    ASSERT_TRUE(sid);
    EXPECT_EQ(sid->hresult, 0u);
    auto text = appcontainer.ConvertSidToStringSidW(SidOf(*sid));
    ASSERT_TRUE(text);
    auto folder = appcontainer.GetAppContainerFolderPath(*text);
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->path, u"D:\\Home\\AppData\\Local\\Packages\\Telvo.Sandbox.ab\\AC");

    ASSERT_TRUE(appcontainer.DeleteAppContainerProfile(u"telvo.sandbox.AB"));
    EXPECT_EQ(appcontainer.GetAppContainerFolderPath(*text).error(), SysError::HResult(0x80070002));
    EXPECT_EQ(appcontainer.GetAppContainerFolderPath(u"S-1-5-18").error(), SysError::HResult(0x80070057));
}

TEST(SimSystem, RandomBytesFollowTheSeedAndNeedThePreferredRngFlag) {
    SimHost first;
    SimHost second;
    first.system().SeedRandom(7);
    second.system().SeedRandom(7);
    std::array<std::uint8_t, 20> a{};
    std::array<std::uint8_t, 20> b{};
    ASSERT_TRUE(first.platform().system.BCryptGenRandom(a, bcrypt_flag::kUseSystemPreferredRng));
    ASSERT_TRUE(second.platform().system.BCryptGenRandom(b, bcrypt_flag::kUseSystemPreferredRng));
    EXPECT_EQ(a, b);
    ASSERT_TRUE(first.platform().system.BCryptGenRandom(a, bcrypt_flag::kUseSystemPreferredRng));
    EXPECT_NE(a, b);

    EXPECT_EQ(first.platform().system.BCryptGenRandom(a, 0).error(), SysError::NtStatus(0xC0000008));
    EXPECT_EQ(first.platform().system.BCryptGenRandom(a, 0x6).error(), SysError::NtStatus(0xC000000D));
}

}  // namespace
}  // namespace telvo::platform::sim
