#include "network_broker/protected_service.h"

#include <functional>

#include <gtest/gtest.h>

#include "network_broker/broker_test_host.h"

namespace telvo::network_broker {
namespace {

using namespace testing;

constexpr char kForeign[] = "existing Telvo network service has a foreign configuration; no changes made";

std::string Message(const Result<ProtectedService>& result) { return result ? "ok" : result.error().Display(); }

TEST(ProtectedService, ReportsTheRunningServiceAndItsImage) {
    BrokerTestHost broker;
    const std::size_t handles = broker.OpenHandles();
    auto service = QueryProtectedService(broker.platform());
    ASSERT_TRUE(service) << service.error().Display();
    EXPECT_EQ(service->process_id, kServicePid);
    EXPECT_EQ(service->image_path, kImagePath);
    EXPECT_EQ(broker.OpenHandles(), handles);

    // Variants the installer may leave: the account's other spelling, case.
    broker.service().config.service_start_name = u".\\localsystem";
    broker.service().config.binary_path_name =
        u"\"c:\\program files\\TelvoOfflineNetwork\\TELVO-WINDOWS-SANDBOX.EXE\" --network-service";
    EXPECT_TRUE(QueryProtectedService(broker.platform()));
}

TEST(ProtectedService, ConfigurationOtherThanTheInstalledOneIsForeign) {
    using Change = std::function<void(BrokerTestHost&)>;
    const std::vector<std::pair<const char*, Change>> changes{
        {"shared process", [](BrokerTestHost& b) { b.service().config.service_type = 0x20; }},
        {"interactive", [](BrokerTestHost& b) { b.service().config.service_type = 0x110; }},
        {"demand start", [](BrokerTestHost& b) { b.service().config.start_type = 3; }},
        {"another account", [](BrokerTestHost& b) { b.service().config.service_start_name = u"NT AUTHORITY\\LocalService"; }},
        {"unquoted path", [](BrokerTestHost& b) {
             b.service().config.binary_path_name =
                 u"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe --network-service";
         }},
        {"no argument", [](BrokerTestHost& b) {
             b.service().config.binary_path_name = u"\"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe\"";
         }},
        {"another executable", [](BrokerTestHost& b) {
             b.service().config.binary_path_name = u"\"C:\\Users\\Public\\telvo-windows-sandbox.exe\" --network-service";
         }},
        {"users may send controls", [](BrokerTestHost& b) {
             b.service().security_descriptor = Descriptor(
                 wk::LocalSystem(), {Ace::Allowed(0x000F01FF, wk::Administrators()), Ace::Allowed(0x0002018D, InteractiveSid())});
         }},
        {"users may stop", [](BrokerTestHost& b) {
             b.service().security_descriptor = Descriptor(
                 wk::LocalSystem(), {Ace::Allowed(0x000F01FF, wk::Administrators()), Ace::Allowed(0x000200AD, wk::AuthenticatedUsers())});
         }},
        {"service owned by a user", [](BrokerTestHost& b) {
             b.service().security_descriptor = Descriptor(OtherUser(), {Ace::Allowed(0x000F01FF, wk::AuthenticatedUsers())});
         }},
        {"users may write into the directory", [](BrokerTestHost& b) {
             (void)b.host.files().SetSecurityDescriptor(
                 kServiceDirectory, Descriptor(wk::Administrators(), {Ace::Allowed(0x001F01FF, wk::Administrators()),
                                                                       Ace::Allowed(0x001200AF, wk::Users())}));
         }},
        {"users may change the image's permissions", [](BrokerTestHost& b) {
             (void)b.host.files().SetSecurityDescriptor(
                 kImagePath, Descriptor(wk::Administrators(), {Ace::Allowed(0x001F01FF, wk::Administrators()),
                                                                Ace::Allowed(0x001600A9, wk::Users())}));
         }},
        {"image owned by a user", [](BrokerTestHost& b) {
             (void)b.host.files().SetSecurityDescriptor(kImagePath, ProgramFilesDescriptor(OtherUser()));
         }},
        {"hard-linked image", [](BrokerTestHost& b) {
             (void)b.host.files().MakeHardLink(kImagePath, u"C:\\Program Files\\second.exe");
         }},
    };
    for (const auto& [name, change] : changes) {
        BrokerTestHost broker;
        change(broker);
        const std::size_t handles = broker.OpenHandles();
        EXPECT_EQ(Message(QueryProtectedService(broker.platform())), kForeign) << name;
        EXPECT_EQ(broker.OpenHandles(), handles) << name;
    }
}

TEST(ProtectedService, EntriesThatDoNotApplyOrOnlyDenyAreNotCounted) {
    BrokerTestHost broker;
    // Inherit-only write for Users reaches only children, which only the
    // protected principals can create; a deny takes rights away.
    (void)broker.host.files().SetSecurityDescriptor(
        kServiceDirectory,
        Descriptor(TrustedInstallerSid(),
                   {Ace::Denied(0x00010000, wk::Users()), Ace::Allowed(0x001F01FF, wk::LocalSystem()),
                    Ace::Allowed(0x001301BF, wk::Users(),
                                 winformat::ace_flag::kInheritOnly | winformat::ace_flag::kObjectInherit),
                    Ace::Allowed(0x001200A9, wk::Users())}));
    EXPECT_TRUE(QueryProtectedService(broker.platform()));
}

TEST(ProtectedService, TrustedInstallerAsWindowsNamesItMayOwnAndChangeTheFiles) {
    // Program Files hands TrustedInstaller full control; its SID is the
    // service SID Windows derives from the name, spelled out here.
    const Sid trusted_installer = *Sid::Parse("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    BrokerTestHost broker;
    const auto descriptor = Descriptor(trusted_installer, {Ace::Allowed(0x001F01FF, trusted_installer),
                                                           Ace::Allowed(0x001F01FF, wk::Administrators()),
                                                           Ace::Allowed(0x001200A9, wk::Users())});
    (void)broker.host.files().SetSecurityDescriptor(kServiceDirectory, descriptor);
    (void)broker.host.files().SetSecurityDescriptor(kImagePath, descriptor);
    EXPECT_EQ(Message(QueryProtectedService(broker.platform())), "ok");
}

TEST(ProtectedService, ADirectoryJunctionIsNotTheInstalledDirectory) {
    BrokerTestHost broker;
    (void)broker.host.files().MakeDirectory(u"C:\\Elsewhere");
    (void)broker.host.files().Rename(kImagePath, u"C:\\Elsewhere\\telvo-windows-sandbox.exe");
    (void)broker.host.files().Remove(kServiceDirectory);
    (void)broker.host.files().MakeJunction(kServiceDirectory, u"C:\\Elsewhere");
    EXPECT_FALSE(QueryProtectedService(broker.platform()));
}

TEST(ProtectedService, ProgramFilesComesFromTheMachineAsItStands) {
    BrokerTestHost broker;
    // An expandable value is not taken: nobody's environment expands it
    // (without RRF_NOEXPAND, Windows would expand it from the caller's, here
    // to C:\Program Files).
    broker.host.system().registry().Set(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"ProgramFilesDir",
                                        platform::registry_type::kExpandSz,
                                        platform::sim::RegistryStringBytes(u"%SystemDrive%\\Program Files\0"));
    EXPECT_EQ(Message(QueryProtectedService(broker.platform())),
              "RegGetValueW(ProgramFilesDir size) failed with Win32 error 1630");
    broker.host.system().registry().Set(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"ProgramFilesDir",
                                        platform::registry_type::kSz,
                                        platform::sim::RegistryStringBytes(u"Program Files\0"));
    EXPECT_EQ(Message(QueryProtectedService(broker.platform())),
              "machine ProgramFilesDir is not a normalized absolute local-drive path");
}

TEST(ProtectedService, QueriesAskForNoMoreThanTheyRead) {
    BrokerTestHost broker;
    broker.host.faults().Watch("OpenSCManagerW");
    broker.host.faults().Watch("OpenServiceW");
    ASSERT_TRUE(QueryProtectedService(broker.platform()));
    const auto log = broker.host.faults().Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].arguments, (std::vector<std::uint64_t>{0x1}));       // SC_MANAGER_CONNECT
    EXPECT_EQ(log[1].arguments, (std::vector<std::uint64_t>{0x20005}));   // QUERY_CONFIG | QUERY_STATUS | READ_CONTROL
}

}  // namespace
}  // namespace telvo::network_broker
