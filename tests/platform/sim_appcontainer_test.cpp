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

// windows-notes 1.5, 4.4: the profile's AC folder grants the package, for
// itself and what is made below it, so a process in the container can write
// in the TEMP its user made there. windows-notes 10.2: where nothing is
// inheritable, what the container makes takes its token's default DACL,
// which holds the package, so it can read back what it made.
TEST(SimAppContainer, TheContainerWritesItsTempAndReadsBackWhatItMadeWhereNothingIsInherited) {
    SimHost host;
    SimFiles& files = host.files();
    files.AddVolume({});
    for (const char16_t* dir : {u"C:\\Users", u"C:\\Users\\tester", u"C:\\Users\\tester\\AppData",
                                u"C:\\Users\\tester\\AppData\\Local", u"C:\\box"}) {
        ASSERT_TRUE(files.MakeDirectory(dir));
    }
    auto returned = host.platform().appcontainer.CreateAppContainerProfile(u"Telvo.Sandbox.t", u"d", u"d", {});
    ASSERT_TRUE(returned);
    const Sid package = SidOf(*returned);
    const std::u16string storage = u"C:\\Users\\tester\\AppData\\Local\\Packages\\Telvo.Sandbox.t\\AC";
    ASSERT_TRUE(files.MakeDirectory(storage + u"\\Temp"));  // the user makes it, as the helper does
    const SimToken user = host.security().ProcessToken();
    const SimToken container = SimToken::AppContainerFrom(user, package, {}, false);
    EXPECT_TRUE(files.WriteAs(container, storage + u"\\Temp\\out.txt", "out"));
    EXPECT_EQ(files.ReadAs(container, storage + u"\\Temp\\out.txt").value_or(""), "out");

    // A directory that lets the user and the package add files, with nothing to inherit.
    winformat::SecurityDescriptor box = winformat::SecurityDescriptor::ParseSelfRelative(
                                            files.SecurityDescriptorOf(u"C:\\box").value())
                                            .value();
    box.control = winformat::sd_control::kDaclProtected;
    box.dacl = winformat::AclSlot(winformat::Acl::Fitted(2, {winformat::Ace::Allowed(0x1F01FF, user.identity.user),
                                                            winformat::Ace::Allowed(0x1F01FF, package)})
                                      .value());
    ASSERT_TRUE(files.SetSecurityDescriptor(u"C:\\box", box.ToSelfRelative()));
    ASSERT_TRUE(files.WriteAs(container, u"C:\\box\\made.txt", "made"));
    const auto made =
        winformat::SecurityDescriptor::ParseSelfRelative(files.SecurityDescriptorOf(u"C:\\box\\made.txt").value()).value();
    EXPECT_EQ(made.owner, user.identity.user);
    EXPECT_EQ(made.dacl.acl()->aces(),
              (std::vector<winformat::Ace>{winformat::Ace::Allowed(0x1F01FF, user.identity.user),
                                           winformat::Ace::Allowed(0x1F01FF, winformat::well_known::LocalSystem()),
                                           winformat::Ace::Allowed(0x1F01FF, package)}));
    EXPECT_EQ(files.ReadAs(container, u"C:\\box\\made.txt").value_or(""), "made");
    // Made by the user, the same file would hold no package entry: the container could not read it.
    ASSERT_TRUE(files.WriteAs(user, u"C:\\box\\users.txt", "user's"));
    EXPECT_EQ(files.ReadAs(container, u"C:\\box\\users.txt").error(), SysError::Win32(win32_error::kAccessDenied));
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
