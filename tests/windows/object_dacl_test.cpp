#include "windows/object_dacl.h"

#include <gtest/gtest.h>

#include "dacl_fixture.h"
#include "platform/security.h"
#include "windows/authority_access.h"
#include "windows/global_locks.h"
#include "support/local_path_of.h"

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
    // Entries for `count` distinct SIDs: more than the first query's buffer holds from about 30 on.
    std::vector<Ace> ManyAces(int count) {
        std::vector<Ace> aces;
        for (int i = 0; i < count; ++i) {
            aces.push_back(Ace::Allowed(0x1200A9, Sid::Make(winformat::sid_authority::kNt,
                                                             {21, 7, 8, 9, static_cast<std::uint32_t>(2000 + i)})));
        }
        return aces;
    }
    template <class T>
    static std::string ErrorOf(const Result<T>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }

    static constexpr char kDir[] = "\\\\?\\C:\\D";
    static constexpr char kFile[] = "\\\\?\\C:\\D\\f";
    static constexpr char16_t kFileW[] = u"\\\\?\\C:\\D\\f";
};

TEST_F(ObjectLocalDaclTest, KeepsTheObjectsDaclControlBits) {
    const auto handle = Open(kFile);
    const auto write = [&](std::uint16_t had) {
        PlantDacl(kFile, {Ace::Allowed(0x1200A9, other)}, had);
        auto lock = AcquireMetadataLock(platform());
        EXPECT_TRUE(lock);
        EXPECT_TRUE(WriteObjectLocalDacl(platform(), *lock, handle.get(), ReadRawDacl(platform(), handle.get()).value(),
                                         MakeAcl({Ace::Allowed(0x1F01FF, other)})));
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
    ASSERT_TRUE(GrantAuthorityAccess(platform(), u"\\\\?\\C:\\D", handle.get(), {telvo::testing::PathOf(kDir), true, {}}, sid));
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
    EXPECT_EQ(ErrorOf(ReadRawDacl(platform(), guard.get())), "NtQuerySecurityObject invalid size 0, NTSTATUS 0xc0000022");

    FailNextNt("NtQuerySecurityObject", 0xC0000001);
    EXPECT_EQ(ErrorOf(ReadRawDacl(platform(), handle.get())), "NtQuerySecurityObject invalid size 0, NTSTATUS 0xc0000001");

    // A usual DACL is read in one query; one larger than the first buffer takes a sized query too.
    std::uint64_t queries = Count("NtQuerySecurityObject");
    ASSERT_TRUE(ReadRawDacl(platform(), handle.get()));
    EXPECT_EQ(Count("NtQuerySecurityObject") - queries, 1u);
    PlantDacl(kFile, ManyAces(40));
    queries = Count("NtQuerySecurityObject");
    ASSERT_EQ(ReadRawDacl(platform(), handle.get()).value().dacl().aces().size(), 40u);
    EXPECT_EQ(Count("NtQuerySecurityObject") - queries, 2u);

    host.faults().FailOn("NtQuerySecurityObject", Count("NtQuerySecurityObject") + 2, SysError::NtStatus(0xC0000022));
    EXPECT_EQ(ErrorOf(ReadRawDacl(platform(), handle.get())), "NtQuerySecurityObject failed with NTSTATUS 0xc0000022");
    // A sized query that is too small again reports the new size; no size means no retry.
    host.faults().FailOn("NtQuerySecurityObject", Count("NtQuerySecurityObject") + 2, SysError::NtStatus(0xC0000023));
    EXPECT_EQ(ErrorOf(ReadRawDacl(platform(), handle.get())), "NtQuerySecurityObject invalid size 0, NTSTATUS 0xc0000023");

    auto descriptor = DescriptorOf(kFile);
    descriptor.dacl = winformat::AclSlot::Null();
    ASSERT_TRUE(files().SetSecurityDescriptor(Wide(kFile), descriptor.ToSelfRelative()));
    EXPECT_EQ(ErrorOf(ReadRawDacl(platform(), handle.get())), "native sandbox refuses an absent/null DACL");
    descriptor.dacl = winformat::AclSlot();
    ASSERT_TRUE(files().SetSecurityDescriptor(Wide(kFile), descriptor.ToSelfRelative()));
    EXPECT_EQ(ErrorOf(ReadRawDacl(platform(), handle.get())), "native sandbox refuses an absent/null DACL");
}

// Another writer adds an entry just before each of the chosen queries, so the
// size the last query reported no longer fits.
TEST_F(ObjectLocalDaclTest, ADaclThatGrowsBetweenQueriesIsReadAgainWithinABound) {
    const auto handle = Open(kFile);
    PlantDacl(kFile, ManyAces(40));
    int grow_before = 0;  // how many of the coming queries find the DACL grown
    int seen = 0;
    int entries = 40;
    host.security().BeforeFileSecurityCall([&](std::string_view call, const std::u16string&) {
        if (call != "NtQuerySecurityObject" || ++seen == 1 || grow_before == 0) return;
        --grow_before;
        entries += 2;  // more than the rounding of a size to 8 bytes absorbs
        PlantDacl(kFile, ManyAces(entries));
    });
    grow_before = 1;
    auto grown = ReadRawDacl(platform(), handle.get());
    ASSERT_TRUE(grown) << grown.error().Display();
    EXPECT_EQ(grown->dacl().aces().size(), 42u);
    EXPECT_EQ(seen, 3);

    seen = 0;
    grow_before = 3;
    EXPECT_EQ(ErrorOf(ReadRawDacl(platform(), handle.get())), "raw DACL changed size repeatedly during probe");
    EXPECT_EQ(seen, 4);  // the probe and three sized queries
}

TEST_F(ObjectLocalDaclTest, GrantFailuresNameTheObjectAndChangeNothing) {
    const auto before = AcesOf(kFile);
    const auto handle = Open(kFile);
    const AuthorityAccess authority{telvo::testing::PathOf(kDir), true, {}};
    const std::string prefix = std::string("could not grant ") + kFile + ": ";
    host.faults().FailOn("SetEntriesInAclW", Count("SetEntriesInAclW") + 1, SysError::Win32(1336));
    EXPECT_EQ(ErrorOf(GrantAuthorityAccess(platform(), kFileW, handle.get(), authority, sid)),
              prefix + "SetEntriesInAclW(object-local) failed: 1336");
    FailNextNt("NtSetSecurityObject", 0xC0000022);
    EXPECT_EQ(ErrorOf(GrantAuthorityAccess(platform(), kFileW, handle.get(), authority, sid)),
              prefix + "NtSetSecurityObject failed with NTSTATUS 0xc0000022");
    const auto read_only = Open(kFile, false);
    EXPECT_EQ(ErrorOf(GrantAuthorityAccess(platform(), kFileW, read_only.get(), authority, sid)),
              prefix + "NtSetSecurityObject failed with NTSTATUS 0xc0000022");
    EXPECT_EQ(AcesOf(kFile), before);
    // The metadata lock is released on every path.
    EXPECT_TRUE(GrantAuthorityAccess(platform(), kFileW, handle.get(), authority, sid));
    EXPECT_FALSE(host.sync().FindMutex(u"Global\\Telvo.Sandbox.ObjectAclMutations.v1"));
}

}  // namespace
}  // namespace telvo::windows
