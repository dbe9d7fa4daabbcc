#include "windows/metadata_access.h"

#include <gtest/gtest.h>

#include "dacl_fixture.h"

namespace telvo::windows {
namespace {

using namespace testing;

class MetadataReadAceTest : public DaclTest {
protected:
    MetadataReadAceTest() {
        Dir(kDir);
        EnableBackupPrivilege();
    }
    Result<bool> Set(bool wanted) {
        const auto handle = Open(kDir);
        return SetMetadataReadAce(platform(), handle.get(), sid, wanted);
    }
    static std::string ErrorOf(const Result<bool>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }
    static constexpr char kDir[] = "\\\\?\\C:\\M";
    const Ace e1 = Ace::Denied(0x2, other);
    const Ace e2 = Ace::Allowed(0x1200A9, other);
    const Ace i1 = Ace::Allowed(0x1F01FF, winformat::well_known::Administrators(), 0x13);
    const Ace i2 = Ace::Allowed(0x1200A9, winformat::well_known::Users(), 0x13);
    const Ace entry = Ace::Allowed(kMetadataReadMask, sid);
};

TEST_F(MetadataReadAceTest, PlacesTheEntryBetweenExplicitAndInheritedEntriesOnce) {
    PlantDacl(kDir, {e1, e2, i1, i2}, winformat::sd_control::kDaclAutoInherited);
    EXPECT_EQ(Set(true), true);
    EXPECT_EQ(AcesOf(kDir), (std::vector<Ace>{e1, e2, entry, i1, i2}));
    const std::uint64_t writes = Count("NtSetSecurityObject");
    EXPECT_EQ(Set(true), false);
    EXPECT_EQ(Count("NtSetSecurityObject"), writes);

    EXPECT_EQ(Set(false), true);
    EXPECT_EQ(AcesOf(kDir), (std::vector<Ace>{e1, e2, i1, i2}));
    EXPECT_EQ(Set(false), false);
    EXPECT_EQ(Count("NtSetSecurityObject"), writes + 1);
}

TEST_F(MetadataReadAceTest, AppendsWhenNothingIsInherited) {
    PlantDacl(kDir, {});
    EXPECT_EQ(Set(true), true);
    EXPECT_EQ(AcesOf(kDir), std::vector<Ace>{entry});
    PlantDacl(kDir, {i1});
    EXPECT_EQ(Set(true), true);
    EXPECT_EQ(AcesOf(kDir), (std::vector<Ace>{entry, i1}));
}

TEST_F(MetadataReadAceTest, ConflictingEntriesAreRefusedWithNothingWritten) {
    const std::uint64_t writes = Count("NtSetSecurityObject");
    for (const auto& aces : {std::vector<Ace>{Ace::Allowed(kMetadataReadMask, sid, 0x3)},
                             std::vector<Ace>{entry, entry}, std::vector<Ace>{Ace::Allowed(0x1200A9, sid)},
                             std::vector<Ace>{Ace::Denied(kMetadataReadMask, sid)}}) {
        PlantDacl(kDir, aces);
        for (const bool wanted : {true, false}) {
            auto changed = Set(wanted);
            ASSERT_FALSE(changed);
            EXPECT_EQ(changed.error().Display(), "conflicting system-root capability ACE; no permissions changed");
        }
        EXPECT_EQ(AcesOf(kDir), aces);
    }
    EXPECT_EQ(Count("NtSetSecurityObject"), writes);
}

TEST_F(MetadataReadAceTest, RefusesADaclWithoutRoomForTheEntry) {
    // 1820 entries of 36 bytes: 65528 bytes in use, and the SID does not fit below 0xFFF8.
    const Sid wide = Sid::Make(5, {21, 1, 2, 3, 4});
    std::vector<Ace> aces(1820, Ace::Allowed(0x1, wide));
    PlantDacl(kDir, aces);
    EXPECT_EQ(Set(true).error().Display(), "system-root DACL is too large for metadata preparation");
}

TEST_F(MetadataReadAceTest, OpensTheAncestorForWriteDacUnderTheLock) {
    const auto earlier = Open(kDir, false);
    {
        auto access = OpenMetadataAncestorForWriteDac(platform(), kDir, earlier.get());
        ASSERT_TRUE(access) << access.error().Display();
        const auto mutex = host.sync().FindMutex(u"Global\\Telvo.Sandbox.ObjectAclMutations.v1");
        ASSERT_TRUE(mutex);
        EXPECT_TRUE(mutex->IsOwnedByCallingThread());
        EXPECT_EQ(SetMetadataReadAce(platform(), access->handle.get(), sid, true), true);
    }
    EXPECT_FALSE(host.sync().FindMutex(u"Global\\Telvo.Sandbox.ObjectAclMutations.v1"));

    FailNext("CreateFileW", 5);
    EXPECT_EQ(OpenMetadataAncestorForWriteDac(platform(), kDir, earlier.get()).error().Display(),
              "metadata WRITE_DAC unavailable; ownerSid=" + host.security().TokenUser().ToString() +
                  ", callerSid=" + host.security().TokenUser().ToString() +
                  ", requiredAccess=0x60000: CreateFileW(\\\\?\\C:\\M) failed with Win32 error 5");
    Dir("\\\\?\\C:\\N");
    EXPECT_EQ(OpenMetadataAncestorForWriteDac(platform(), "\\\\?\\C:\\N", earlier.get()).error().Display(),
              "path identity changed while establishing the sandbox: expected \\\\?\\C:\\N, opened \\\\?\\C:\\M");

    auto descriptor = DescriptorOf(kDir);
    descriptor.owner.reset();
    ASSERT_TRUE(files().SetSecurityDescriptor(Wide(kDir), descriptor.ToSelfRelative()));
    EXPECT_EQ(OpenMetadataAncestorForWriteDac(platform(), kDir, earlier.get()).error().Display(),
              "metadata directory has no owner");
    EXPECT_FALSE(host.sync().FindMutex(u"Global\\Telvo.Sandbox.ObjectAclMutations.v1"));
}

TEST_F(MetadataReadAceTest, AReadBackThatDiffersFromTheWriteFails) {
    PlantDacl(kDir, {e1, i1}, winformat::sd_control::kDaclAutoInherited);
    ReplaceAfterWrite(kDir, "NtSetSecurityObject", "NtQuerySecurityObject", {e1, i1});
    EXPECT_EQ(ErrorOf(Set(true)), "system-root metadata read-back did not match the requested state");
    PlantDacl(kDir, {e1, entry, i1}, winformat::sd_control::kDaclAutoInherited);
    ReplaceAfterWrite(kDir, "NtSetSecurityObject", "NtQuerySecurityObject", {e1, entry, i1});
    EXPECT_EQ(ErrorOf(Set(false)), "system-root metadata read-back did not match the requested state");
}

}  // namespace
}  // namespace telvo::windows
