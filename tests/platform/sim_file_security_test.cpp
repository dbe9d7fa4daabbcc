#include <gtest/gtest.h>

#include "platform/security.h"
#include "platform/sim/sim_acl_entries.h"
#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/security_descriptor.h"
#include "winutil/sim_file_fixture.h"

namespace telvo::platform::sim {
namespace {

using winformat::Ace;
using winformat::Acl;
using winformat::SecurityDescriptor;
using winformat::Sid;
namespace control = winformat::sd_control;
namespace info = security_information;

const Sid kAlice = Sid::Make(5, {21, 7, 7, 7, 1001});
const Sid kBob = Sid::Make(5, {21, 7, 7, 7, 1002});

Acl MakeAcl(std::vector<Ace> aces) { return Acl::Fitted(2, std::move(aces)).value(); }

ExplicitAccess Entry(std::uint32_t mode, std::uint32_t mask, std::uint32_t inheritance, const Sid& sid) {
    return {mask, mode, inheritance, Trustee{trustee_form::kIsSid, trustee_type::kUnknown, sid}};
}

class SimFileSecurityTest : public winutil::testing::SimFileTest {
protected:
    Security& security() { return platform().security; }
    SecurityDescriptor DescriptorOf(std::string_view path) {
        return SecurityDescriptor::ParseSelfRelative(files().SecurityDescriptorOf(Wide(path)).value()).value();
    }
    void Plant(std::string_view path, std::vector<Ace> aces, std::uint16_t bits = 0) {
        auto descriptor = DescriptorOf(path);
        descriptor.dacl = winformat::AclSlot(MakeAcl(std::move(aces)));
        descriptor.control = bits;
        ASSERT_TRUE(files().SetSecurityDescriptor(Wide(path), descriptor.ToSelfRelative()));
    }
    // Opened for exactly `access` (NtOpenFile adds nothing, where CreateFileW
    // would ask for SYNCHRONIZE too): these tests are about descriptors.
    UniqueHandle Open(std::string_view path, std::uint32_t access) {
        std::u16string nt_path = Wide(path);
        if (nt_path.starts_with(u"\\\\?\\")) nt_path.replace(0, 4, u"\\??\\");
        auto handle = platform().files.NtOpenFile(nt_path, access, 0x3,
                                                  file_open_option::kOpenReparsePoint |
                                                      file_open_option::kOpenForBackupIntent);
        EXPECT_TRUE(handle);
        return UniqueHandle(platform().kernel, handle.value_or(kNullHandle));
    }
    std::vector<Ace> AcesOf(std::string_view path) { return DescriptorOf(path).dacl.acl()->aces(); }
};

TEST_F(SimFileSecurityTest, NewObjectsInheritTheirParentsInheritableEntries) {
    Dir("\\\\?\\C:\\P");
    Plant("\\\\?\\C:\\P", {Ace::Allowed(0x1, kAlice, 0x1), Ace::Allowed(0x2, kAlice, 0x2),
                           Ace::Allowed(0x4, kAlice, 0x3), Ace::Allowed(0x8, kAlice, 0x7),
                           Ace::Allowed(0x10, kAlice, 0x5), Ace::Denied(0x20, kBob, 0x0)});
    Dir("\\\\?\\C:\\P\\d");
    File("\\\\?\\C:\\P\\f");
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\d"),
              (std::vector<Ace>{Ace::Allowed(0x1, kAlice, 0x19), Ace::Allowed(0x2, kAlice, 0x12),
                                Ace::Allowed(0x4, kAlice, 0x13), Ace::Allowed(0x8, kAlice, 0x10)}));
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\f"),
              (std::vector<Ace>{Ace::Allowed(0x1, kAlice, 0x10), Ace::Allowed(0x4, kAlice, 0x10),
                                Ace::Allowed(0x8, kAlice, 0x10), Ace::Allowed(0x10, kAlice, 0x10)}));
    const auto file = DescriptorOf("\\\\?\\C:\\P\\f");
    EXPECT_EQ(file.owner, host.security().TokenUser());
    EXPECT_EQ(file.control & (control::kDaclAutoInherited | control::kDaclProtected), control::kDaclAutoInherited);
    // Created through the seam as well, by the user the parent lets add files.
    host.security().SetTokenUser(kAlice);
    auto created = platform().files.CreateFileW(u"\\\\?\\C:\\P\\g", file_access::kGenericWrite, 0,
                                                creation_disposition::kCreateNew, 0);
    ASSERT_TRUE(created);
    UniqueHandle guard(platform().kernel, *created);
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\g"), AcesOf("\\\\?\\C:\\P\\f"));
}

TEST_F(SimFileSecurityTest, NtQuerySecurityObjectProbesSizeAndNeedsReadControl) {
    File("\\\\?\\C:\\f");
    const auto handle = Open("\\\\?\\C:\\f", file_access::kReadControl);
    std::uint32_t needed = 0;
    EXPECT_EQ(security().NtQuerySecurityObject(handle.get(), info::kDacl, {}, needed).error(),
              SysError::NtStatus(ntstatus::kBufferTooSmall));
    ASSERT_GT(needed, 20u);
    std::vector<std::uint8_t> buffer(needed);
    ASSERT_TRUE(security().NtQuerySecurityObject(handle.get(), info::kDacl, buffer, needed));
    const auto read = SecurityDescriptor::ParseSelfRelative(buffer).value();
    EXPECT_FALSE(read.owner);
    EXPECT_EQ(read.dacl, DescriptorOf("\\\\?\\C:\\f").dacl);

    const auto no_read = Open("\\\\?\\C:\\f", file_access::kWriteDac);
    EXPECT_EQ(security().NtQuerySecurityObject(no_read.get(), info::kDacl, buffer, needed).error(),
              SysError::NtStatus(ntstatus::kAccessDenied));
    EXPECT_EQ(security().GetSecurityInfo(no_read.get(), se_object_type::kFileObject, info::kOwner).error(),
              SysError::Win32(win32_error::kAccessDenied));
    EXPECT_EQ(SecurityDescriptor::ParseSelfRelative(
                  security().GetSecurityInfo(handle.get(), se_object_type::kFileObject, info::kOwner).value())
                  .value()
                  .owner,
              host.security().TokenUser());
}

TEST_F(SimFileSecurityTest, NtSetSecurityObjectChangesTheObjectAloneAndNeedsWriteDac) {
    Dir("\\\\?\\C:\\P");
    File("\\\\?\\C:\\P\\f");
    const auto child_before = AcesOf("\\\\?\\C:\\P\\f");
    SecurityDescriptor next;
    next.control = control::kDaclAutoInheritReq | control::kDaclDefaulted;
    next.dacl = winformat::AclSlot(MakeAcl({Ace::Allowed(0x1F01FF, kAlice, 0x3)}));
    const auto read_only = Open("\\\\?\\C:\\P", file_access::kReadControl);
    EXPECT_EQ(security().NtSetSecurityObject(read_only.get(), info::kDacl, next.ToSelfRelative()).error(),
              SysError::NtStatus(ntstatus::kAccessDenied));
    const auto handle = Open("\\\\?\\C:\\P", file_access::kWriteDac);
    ASSERT_TRUE(security().NtSetSecurityObject(handle.get(), info::kDacl, next.ToSelfRelative()));
    const auto stored = DescriptorOf("\\\\?\\C:\\P");
    EXPECT_EQ(stored.dacl, next.dacl);
    // The request bit alone does not make the DACL auto-inherited (windows-notes 10.1).
    EXPECT_EQ(stored.control & (control::kDaclAutoInherited | control::kDaclAutoInheritReq | control::kDaclDefaulted),
              0);
    EXPECT_EQ(stored.owner, host.security().TokenUser());
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\f"), child_before);
    EXPECT_EQ(security().NtSetSecurityObject(handle.get(), info::kOwner, next.ToSelfRelative()).error(),
              SysError::NtStatus(ntstatus::kInvalidParameter));
}

// windows-notes 10.1: a raw DACL write stores SE_DACL_AUTO_INHERITED only
// when both AUTO_INHERIT_REQ and AUTO_INHERITED are passed, keeps PROTECTED
// as passed whatever the object had, and maps generic rights in every entry
// but the inherit-only ones (which keep them for their heirs).
TEST_F(SimFileSecurityTest, NtSetSecurityObjectMapsGenericRightsAndStoresAutoInheritedOnlyWithBothBits) {
    Dir("\\\\?\\C:\\P");
    const auto handle = Open("\\\\?\\C:\\P", file_access::kWriteDac);
    const Sid creator_owner = Sid::Make(3, {0});
    SecurityDescriptor next;
    next.dacl = winformat::AclSlot(MakeAcl({Ace::Allowed(file_access::kGenericAll, kAlice, 0x3),
                                            Ace::Allowed(file_access::kGenericAll, creator_owner, 0xB),
                                            Ace::Allowed(file_access::kGenericRead, kBob, 0x10)}));
    const std::uint16_t kBits = control::kDaclAutoInherited | control::kDaclAutoInheritReq | control::kDaclProtected;
    const std::vector<std::pair<std::uint16_t, std::uint16_t>> cases{
        {control::kDaclAutoInherited, 0},
        {control::kDaclAutoInheritReq, 0},
        {control::kDaclAutoInherited | control::kDaclAutoInheritReq, control::kDaclAutoInherited},
        {control::kDaclProtected | control::kDaclAutoInherited, control::kDaclProtected},
        {control::kDaclProtected | control::kDaclAutoInherited | control::kDaclAutoInheritReq,
         control::kDaclProtected | control::kDaclAutoInherited},
        {0, 0},
    };
    for (const auto& [passed, kept] : cases) {
        next.control = passed;
        ASSERT_TRUE(security().NtSetSecurityObject(handle.get(), info::kDacl, next.ToSelfRelative()));
        EXPECT_EQ(DescriptorOf("\\\\?\\C:\\P").control & kBits, kept) << "passed " << passed;
    }
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P"),
              (std::vector<Ace>{Ace::Allowed(0x1F01FF, kAlice, 0x3),
                                Ace::Allowed(file_access::kGenericAll, creator_owner, 0xB),
                                Ace::Allowed(0x120089, kBob, 0x10)}));
}

// windows-notes 10.2 and 3.3: what a new object inherits has CREATOR OWNER
// and CREATOR GROUP replaced by its owner and group and generic rights
// mapped; a directory keeps the entry as it was, inherit-only, for what is
// made below it. The group is the creator's primary group.
TEST_F(SimFileSecurityTest, InheritedEntriesTakeTheCreatorsOwnerAndGroupWithGenericRightsMapped) {
    Dir("\\\\?\\C:\\P");
    const Sid creator_owner = Sid::Make(3, {0});
    const Sid creator_group = Sid::Make(3, {1});
    Plant("\\\\?\\C:\\P", {Ace::Allowed(file_access::kGenericAll, creator_owner, 0x3),
                                Ace::Allowed(file_access::kGenericRead, creator_group, 0x1),
                                Ace::Allowed(file_access::kGenericRead, kBob, 0x3),
                                Ace::Allowed(0x1200A9, kAlice, 0x3),
                                Ace::Allowed(0x1F01FF, winformat::well_known::Administrators())},
          control::kDaclAutoInherited);
    SimToken system = SimToken::LocalSystem();
    host.security().SetProcessToken(system);
    auto created = platform().files.CreateFileW(u"\\\\?\\C:\\P\\f", file_access::kGenericWrite, 0,
                                                creation_disposition::kCreateNew, 0);
    ASSERT_TRUE(created);
    UniqueHandle guard(platform().kernel, *created);
    ASSERT_TRUE(platform().files.CreateDirectoryW(u"\\\\?\\C:\\P\\d", {}));

    const auto file = DescriptorOf("\\\\?\\C:\\P\\f");
    EXPECT_EQ(file.owner, system.owner);
    EXPECT_EQ(file.group, system.primary_group);
    EXPECT_NE(system.owner, system.primary_group);
    EXPECT_EQ(file.dacl.acl()->aces(),
              (std::vector<Ace>{Ace::Allowed(0x1F01FF, system.owner, 0x10),
                                Ace::Allowed(0x120089, system.primary_group, 0x10), Ace::Allowed(0x120089, kBob, 0x10),
                                Ace::Allowed(0x1200A9, kAlice, 0x10)}));
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\d"),
              (std::vector<Ace>{Ace::Allowed(0x1F01FF, system.owner, 0x10),
                                Ace::Allowed(file_access::kGenericAll, creator_owner, 0x1B),
                                Ace::Allowed(file_access::kGenericRead, creator_group, 0x19),
                                Ace::Allowed(0x120089, kBob, 0x10), Ace::Allowed(file_access::kGenericRead, kBob, 0x1B),
                                Ace::Allowed(0x1200A9, kAlice, 0x13)}));
    // A file made below the directory inherits from the inherit-only entries in turn.
    ASSERT_TRUE(platform().files.CreateDirectoryW(u"\\\\?\\C:\\P\\d\\e", {}));
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\d\\e")[0], Ace::Allowed(0x1F01FF, system.owner, 0x10));
}

// windows-notes 11.3 and the LocalSystem account it cites: LocalSystem runs
// with SeDebugPrivilege enabled, but holds backup, restore, security and
// take-ownership disabled, so backup intent gets it nothing past a DACL
// (windows-notes 10.4 step 1) and it may not name another user as owner.
TEST_F(SimFileSecurityTest, LocalSystemHoldsBackupAndRestoreDisabled) {
    const SimToken system = SimToken::LocalSystem();
    EXPECT_TRUE(system.identity.HasPrivilege(privilege::kDebug));
    for (const char* held : {privilege::kBackup, privilege::kRestore, privilege::kSecurity, privilege::kTakeOwnership}) {
        EXPECT_FALSE(system.identity.HasPrivilege(held)) << held;
        EXPECT_TRUE(system.disabled_privileges.contains(held)) << held;
    }
    EXPECT_FALSE(system.MayAssignOwner(kAlice));
    EXPECT_TRUE(system.MayAssignOwner(winformat::well_known::Administrators()));

    File("\\\\?\\C:\\private");
    Plant("\\\\?\\C:\\private", {Ace::Allowed(0x1F01FF, kAlice)}, control::kDaclProtected);
    host.security().SetProcessToken(system);
    EXPECT_EQ(platform().files.CreateFileW(u"\\\\?\\C:\\private", file_access::kGenericRead, 0x7,
                                           creation_disposition::kOpenExisting, file_flag::kBackupSemantics)
                  .error(),
              SysError::Win32(win32_error::kAccessDenied));
}

TEST_F(SimFileSecurityTest, SetSecurityInfoPropagatesToDescendantsUpToAProtectedOne) {
    for (const char* dir : {"P", "P\\a", "P\\a\\b", "P\\shut"}) Dir(std::string("\\\\?\\C:\\") + dir);
    File("\\\\?\\C:\\P\\a\\b\\f");
    Plant("\\\\?\\C:\\P\\a", {Ace::Allowed(0x1, kBob), Ace::Allowed(0x1F01FF, kAlice, 0x13)},
          control::kDaclAutoInherited);
    Plant("\\\\?\\C:\\P\\shut", {Ace::Allowed(0x1, kBob)}, control::kDaclProtected);
    const auto handle = Open("\\\\?\\C:\\P", file_access::kWriteDac | file_access::kReadControl);
    const auto dacl = MakeAcl({Ace::Allowed(0x1200A9, kAlice, 0x3)}).Serialize();
    ASSERT_TRUE(security().SetSecurityInfo(handle.get(), se_object_type::kFileObject,
                                           info::kDacl | info::kProtectedDacl, dacl));
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P"), std::vector<Ace>{Ace::Allowed(0x1200A9, kAlice, 0x3)});
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\a"),
              (std::vector<Ace>{Ace::Allowed(0x1, kBob), Ace::Allowed(0x1200A9, kAlice, 0x13)}));
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\a\\b\\f"), std::vector<Ace>{Ace::Allowed(0x1200A9, kAlice, 0x10)});
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\shut"), std::vector<Ace>{Ace::Allowed(0x1, kBob)});

    // Without protection the object keeps what it inherits from its own parent.
    const auto child = Open("\\\\?\\C:\\P\\a", file_access::kWriteDac);
    ASSERT_TRUE(security().SetSecurityInfo(child.get(), se_object_type::kFileObject, info::kDacl,
                                           MakeAcl({Ace::Allowed(0x2, kBob)}).Serialize()));
    EXPECT_EQ(AcesOf("\\\\?\\C:\\P\\a"),
              (std::vector<Ace>{Ace::Allowed(0x2, kBob), Ace::Allowed(0x1200A9, kAlice, 0x13)}));
    EXPECT_EQ(security().SetSecurityInfo(child.get(), se_object_type::kFileObject, info::kOwner, {}).error(),
              SysError::Win32(win32_error::kInvalidParameter));
}

TEST_F(SimFileSecurityTest, EveryObjectSecurityCallCanBeMadeToFail) {
    File("\\\\?\\C:\\f");
    const auto handle = Open("\\\\?\\C:\\f", file_access::kWriteDac | file_access::kReadControl);
    const SysError fault = SysError::Win32(1);
    for (const char* call :
         {"NtQuerySecurityObject", "NtSetSecurityObject", "GetSecurityInfo", "SetSecurityInfo", "SetEntriesInAclW"}) {
        host.faults().FailOn(call, host.faults().Count(call) + 1, fault);
    }
    std::uint32_t needed = 0;
    const auto dacl = MakeAcl({}).Serialize();
    EXPECT_EQ(security().NtQuerySecurityObject(handle.get(), info::kDacl, {}, needed).error(), fault);
    EXPECT_EQ(security().NtSetSecurityObject(handle.get(), info::kDacl, files().SecurityDescriptorOf(u"\\\\?\\C:\\f").value()).error(), fault);
    EXPECT_EQ(security().GetSecurityInfo(handle.get(), se_object_type::kFileObject, info::kDacl).error(), fault);
    EXPECT_EQ(security().SetSecurityInfo(handle.get(), se_object_type::kFileObject, info::kDacl, dacl).error(), fault);
    EXPECT_EQ(security().SetEntriesInAclW({}, dacl).error(), fault);
}

// SetEntriesInAclW: placement and the two GRANT rules.
TEST(SimSetEntriesInAcl, PlacesNewAllowEntriesAfterExplicitDeniesAndBeforeAllows) {
    const Ace deny = Ace::Denied(0x1, kBob);
    const Ace allow = Ace::Allowed(0x1, kBob);
    const Ace inherited_deny = Ace::Denied(0x2, kBob, 0x10);
    const Ace inherited = Ace::Allowed(0x4, kBob, 0x10);
    const Acl old = MakeAcl({deny, allow, inherited_deny, inherited});
    const std::vector<ExplicitAccess> entries{Entry(access_mode::kGrant, 0x1200A9, 0x3, kAlice)};
    for (const auto rule : {GrantMerge::combine_matching_entry, GrantMerge::add_separate_entry}) {
        EXPECT_EQ(MergeEntriesInAcl(entries, &old, rule).value().aces(),
                  (std::vector<Ace>{deny, Ace::Allowed(0x1200A9, kAlice, 0x3), allow, inherited_deny, inherited}));
        const Acl only_inherited = MakeAcl({inherited_deny, inherited});
        EXPECT_EQ(MergeEntriesInAcl(entries, &only_inherited, rule).value().aces(),
                  (std::vector<Ace>{Ace::Allowed(0x1200A9, kAlice, 0x3), inherited_deny, inherited}));
    }
    EXPECT_EQ(MergeEntriesInAcl(entries, nullptr, kDefaultGrantMerge).value().aces(),
              std::vector<Ace>{Ace::Allowed(0x1200A9, kAlice, 0x3)});
}

TEST(SimSetEntriesInAcl, GrantCombinesOrAddsAndSetReplacesExplicitEntries) {
    const Ace existing = Ace::Allowed(0x1, kAlice, 0x3);
    const Ace denied = Ace::Denied(0x2, kAlice);
    const Ace inherited = Ace::Allowed(0x4, kAlice, 0x13);
    const Acl old = MakeAcl({denied, existing, inherited});
    const std::vector<ExplicitAccess> grant{Entry(access_mode::kGrant, 0x8, 0x3, kAlice),
                                            Entry(access_mode::kGrant, 0x10000, 0xB, kAlice)};
    EXPECT_EQ(MergeEntriesInAcl(grant, &old, GrantMerge::combine_matching_entry).value().aces(),
              (std::vector<Ace>{denied, Ace::Allowed(0x10000, kAlice, 0xB), Ace::Allowed(0x9, kAlice, 0x3), inherited}));
    EXPECT_EQ(MergeEntriesInAcl(grant, &old, GrantMerge::add_separate_entry).value().aces(),
              (std::vector<Ace>{denied, Ace::Allowed(0x8, kAlice, 0x3), Ace::Allowed(0x10000, kAlice, 0xB), existing,
                                inherited}));
    const std::vector<ExplicitAccess> set{Entry(access_mode::kSet, 0x1F01FF, 0x3, kAlice)};
    EXPECT_EQ(MergeEntriesInAcl(set, &old, kDefaultGrantMerge).value().aces(),
              (std::vector<Ace>{Ace::Allowed(0x1F01FF, kAlice, 0x3), inherited}));

    const std::vector<ExplicitAccess> revoke{Entry(4, 0x1, 0, kAlice)};
    EXPECT_EQ(MergeEntriesInAcl(revoke, &old, kDefaultGrantMerge).error(), SysError::Win32(87));
    auto by_name = set;
    by_name[0].trustee.form = 1;
    EXPECT_EQ(MergeEntriesInAcl(by_name, &old, kDefaultGrantMerge).error(), SysError::Win32(87));
}

}  // namespace
}  // namespace telvo::platform::sim
