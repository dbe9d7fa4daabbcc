#include "windows/object_local_dacl.h"

#include <gtest/gtest.h>

#include "dacl_fixture.h"
#include "platform/security.h"
#include "windows/authority_grant.h"
#include "windows/raw_dacl.h"

namespace telvo::windows {
namespace {

using namespace testing;
namespace control = winformat::sd_control;

class ObjectLocalDaclTest : public DaclTest {
protected:
    ObjectLocalDaclTest() {
        Dir(kDir);
        File(kFile);
    }
    static constexpr char kDir[] = "\\\\?\\C:\\D";
    static constexpr char kFile[] = "\\\\?\\C:\\D\\f";
};

TEST_F(ObjectLocalDaclTest, KeepsTheObjectsDaclControlBits) {
    const auto handle = Open(kFile);
    const auto write = [&](std::uint16_t had) {
        PlantDacl(kFile, {Ace::Allowed(0x1200A9, other)}, had);
        EXPECT_TRUE(WriteObjectLocalDacl(platform(), handle.get(), MakeAcl({Ace::Allowed(0x1F01FF, other)})));
        return SecurityDescriptor::ParseSelfRelative(host.security().LastNtSetDescriptor()).value();
    };
    // As passed to NtSetSecurityObject.
    EXPECT_EQ(write(control::kDaclProtected | control::kDaclAutoInherited | control::kDaclDefaulted).control,
              control::kDaclProtected | control::kDaclAutoInherited | control::kDaclDefaulted |
                  control::kDaclAutoInheritReq);
    EXPECT_EQ(write(control::kDaclAutoInheritReq).control, control::kDaclAutoInheritReq);
    EXPECT_EQ(write(control::kDaclProtected).control, control::kDaclProtected);
    EXPECT_EQ(write(0).control, 0);
    // The DACL reaches this object only.
    EXPECT_EQ(AcesOf(kFile), (std::vector<Ace>{Ace::Allowed(0x1F01FF, other)}));
    EXPECT_EQ(write(control::kDaclAutoInherited).dacl, winformat::AclSlot(MakeAcl({Ace::Allowed(0x1F01FF, other)})));
}

TEST_F(ObjectLocalDaclTest, GrantsOnADirectoryDoNotReachItsChildren) {
    const auto before = AcesOf(kFile);
    const auto handle = Open(kDir);
    ASSERT_TRUE(GrantAuthorityAccess(platform(), kDir, handle.get(), {kDir, true, {}}, sid));
    EXPECT_EQ(AcesOf(kFile), before);
    // Protected and auto-inherited as created, both kept.
    EXPECT_EQ(DescriptorOf(kDir).control & (control::kDaclProtected | control::kDaclAutoInherited),
              control::kDaclAutoInherited);
}

TEST_F(ObjectLocalDaclTest, ReadRawDaclReportsEachFailure) {
    const auto handle = Open(kFile);
    // No READ_CONTROL: the size probe reports no size.
    auto write_only = platform().files.CreateFileW(u"\\\\?\\C:\\D\\f", platform::file_access::kWriteDac, 0x3,
                                                   platform::creation_disposition::kOpenExisting, 0x02200000);
    ASSERT_TRUE(write_only);
    const platform::UniqueHandle guard(platform().kernel, *write_only);
    EXPECT_EQ(ReadRawDacl(platform(), guard.get()).error().Display(),
              "NtQuerySecurityObject invalid size 0, NTSTATUS 0xc0000022");

    FailNextNt("NtQuerySecurityObject", 0xC0000001);
    EXPECT_EQ(ReadRawDacl(platform(), handle.get()).error().Display(),
              "NtQuerySecurityObject invalid size 0, NTSTATUS 0xc0000001");
    host.faults().FailOn("NtQuerySecurityObject", Count("NtQuerySecurityObject") + 2,
                         SysError::NtStatus(0xC0000022));
    EXPECT_EQ(ReadRawDacl(platform(), handle.get()).error().Display(),
              "NtQuerySecurityObject failed with NTSTATUS 0xc0000022");
    // A sized query that is too small again reports the new size; no size means no retry.
    host.faults().FailOn("NtQuerySecurityObject", Count("NtQuerySecurityObject") + 2,
                         SysError::NtStatus(0xC0000023));
    EXPECT_EQ(ReadRawDacl(platform(), handle.get()).error().Display(),
              "NtQuerySecurityObject invalid size 0, NTSTATUS 0xc0000023");

    auto descriptor = DescriptorOf(kFile);
    descriptor.dacl = winformat::AclSlot::Null();
    ASSERT_TRUE(files().SetSecurityDescriptor(Wide(kFile), descriptor.ToSelfRelative()));
    EXPECT_EQ(ReadRawDacl(platform(), handle.get()).error().Display(), "native sandbox refuses an absent/null DACL");
    descriptor.dacl = winformat::AclSlot();
    ASSERT_TRUE(files().SetSecurityDescriptor(Wide(kFile), descriptor.ToSelfRelative()));
    EXPECT_EQ(ReadRawDacl(platform(), handle.get()).error().Display(), "native sandbox refuses an absent/null DACL");
}

TEST_F(ObjectLocalDaclTest, GrantFailuresNameTheObjectAndChangeNothing) {
    const auto before = AcesOf(kFile);
    const auto handle = Open(kFile);
    const AuthorityAccess authority{kDir, true, {}};
    const std::string prefix = std::string("could not grant ") + kFile + ": ";
    host.faults().FailOn("SetEntriesInAclW", Count("SetEntriesInAclW") + 1, SysError::Win32(1336));
    EXPECT_EQ(ErrorOf(GrantAuthorityAccess(platform(), kFile, handle.get(), authority, sid)),
              prefix + "SetEntriesInAclW(object-local) failed: 1336");
    FailNextNt("NtSetSecurityObject", 0xC0000022);
    EXPECT_EQ(ErrorOf(GrantAuthorityAccess(platform(), kFile, handle.get(), authority, sid)),
              prefix + "NtSetSecurityObject failed with NTSTATUS 0xc0000022");
    const auto read_only = Open(kFile, false);
    EXPECT_EQ(ErrorOf(GrantAuthorityAccess(platform(), kFile, read_only.get(), authority, sid)),
              prefix + "NtSetSecurityObject failed with NTSTATUS 0xc0000022");
    EXPECT_EQ(AcesOf(kFile), before);
    // The metadata lock is released on every path.
    EXPECT_TRUE(GrantAuthorityAccess(platform(), kFile, handle.get(), authority, sid));
    EXPECT_FALSE(host.sync().FindMutex(u"Global\\Telvo.Sandbox.ObjectAclMutations.v1"));
}

}  // namespace
}  // namespace telvo::windows
