// The simulated host's access check, rule by rule. The sources named in each
// group are the keys of the Windows notes (WSI7: Windows Security Internals,
// chapter 7 and its PowerShell model; MS-AC: the AppContainer isolation
// article; CR-UT: Chromium's AppContainer unit tests; DTYP-AC: MS-DTYP's access
// check algorithm; MIC: the mandatory integrity control article).

#include <gtest/gtest.h>

#include "platform/sim/sim_access_check.h"
#include "platform/types.h"
#include "winformat/ace.h"
#include "winformat/mandatory_label.h"

namespace telvo::platform::sim {
namespace {

using winformat::Ace;
using winformat::Acl;
using winformat::AclSlot;
using winformat::SecurityDescriptor;
using winformat::Sid;
namespace wk = winformat::well_known;
namespace flag = winformat::ace_flag;

constexpr std::uint32_t kRead = 0x001200A9;   // read and execute of a file
constexpr std::uint32_t kWrite = 0x00000116;  // write data, append, write EA, write attributes
constexpr std::uint32_t kMaximum = 0x02000000;
constexpr std::uint32_t kReadControl = 0x00020000;
constexpr std::uint32_t kWriteDac = 0x00040000;

const Sid kAlice = Sid::Make(5, {21, 7, 7, 7, 1001});
const Sid kBob = Sid::Make(5, {21, 7, 7, 7, 1002});
const Sid kPackage = Sid::Make(15, {2, 11, 22, 33, 44, 55, 66, 77});
const Sid kCapability = Sid::Make(15, {3, 1024, 9, 9, 9, 9, 9, 9, 9, 9});
const Sid kOtherCapability = Sid::Make(15, {3, 1024, 8, 8, 8, 8, 8, 8, 8, 8});
const Sid kDenyOnlyGroup = Sid::Make(5, {32, 544});

TokenIdentity User() {
    TokenIdentity token;
    token.user = kAlice;
    token.groups = {TokenGroup{wk::World()}, TokenGroup{wk::AuthenticatedUsers()}, TokenGroup{wk::Users()},
                    TokenGroup{kDenyOnlyGroup, group_attribute::kUseForDenyOnly}};
    return token;
}

TokenIdentity AppContainer() {
    TokenIdentity token = User();
    token.integrity_rid = winformat::integrity_rid::kLow;
    token.package = kPackage;
    token.capabilities = {TokenGroup{kCapability, group_attribute::kEnabled}};
    return token;
}

TokenIdentity LessPrivileged() {
    TokenIdentity token = AppContainer();
    token.less_privileged = true;
    return token;
}

SecurityDescriptor Descriptor(std::vector<Ace> aces, const Sid& owner = kBob) {
    SecurityDescriptor descriptor;
    descriptor.owner = owner;
    descriptor.group = owner;
    descriptor.dacl = AclSlot(Acl::Fitted(2, std::move(aces)).value());
    return descriptor;
}

AccessDecision Check(const SecurityDescriptor& descriptor, const TokenIdentity& token, std::uint32_t desired) {
    return EvaluateAccess(descriptor, token, desired, kFileGenericMapping).value();
}

std::uint32_t Maximum(const SecurityDescriptor& descriptor, const TokenIdentity& token) {
    return Check(descriptor, token, kMaximum).granted_access;
}

// MS-AC, WSI7 (Get-DiscretionaryAccess) and CR-UT: the AppContainer side must
// be granted too, and the result is the intersection of both sides.
TEST(SimAccessCheck, AppContainerGetsTheIntersectionOfUserAndPackageGrants) {
    const auto everyone_only = Descriptor({Ace::Allowed(kRead, wk::World())});
    EXPECT_TRUE(Check(everyone_only, User(), kRead).granted);
    EXPECT_FALSE(Check(everyone_only, AppContainer(), kRead).granted);
    EXPECT_EQ(Check(everyone_only, AppContainer(), kRead).error, win32_error::kAccessDenied);
    EXPECT_EQ(Check(everyone_only, AppContainer(), kRead).granted_access, 0u);

    const auto with_package = Descriptor({Ace::Allowed(kRead, wk::World()), Ace::Allowed(kRead | kWrite, kPackage)});
    EXPECT_TRUE(Check(with_package, AppContainer(), kRead).granted);
    EXPECT_FALSE(Check(with_package, AppContainer(), kRead | kWrite).granted);  // the user side lacks write
    EXPECT_EQ(Maximum(with_package, AppContainer()), kRead);

    // A package grant alone gives nothing: the user side must allow as well.
    EXPECT_FALSE(Check(Descriptor({Ace::Allowed(kRead, kPackage)}), AppContainer(), kRead).granted);
}

// WSI7 and CR-UT: ALL APPLICATION PACKAGES matches AppContainer tokens but not
// less-privileged ones; ALL RESTRICTED APPLICATION PACKAGES matches both.
TEST(SimAccessCheck, WildcardPackagesAndLessPrivilegedTokens) {
    const auto all_packages = Descriptor({Ace::Allowed(kRead, wk::World()), Ace::Allowed(kRead, wk::AllApplicationPackages())});
    EXPECT_TRUE(Check(all_packages, AppContainer(), kRead).granted);
    EXPECT_FALSE(Check(all_packages, LessPrivileged(), kRead).granted);

    const auto restricted = Descriptor(
        {Ace::Allowed(kRead, wk::World()), Ace::Allowed(kRead, wk::AllRestrictedApplicationPackages())});
    EXPECT_TRUE(Check(restricted, AppContainer(), kRead).granted);
    EXPECT_TRUE(Check(restricted, LessPrivileged(), kRead).granted);

    // A normal token ignores both wildcards and the package side entirely.
    EXPECT_TRUE(Check(Descriptor({Ace::Allowed(kRead, wk::World())}), User(), kRead).granted);
}

// CR-UT: a capability grants only when the token holds it enabled.
TEST(SimAccessCheck, CapabilitiesCountOnlyWhenHeldAndEnabled) {
    const auto held = Descriptor({Ace::Allowed(kRead, wk::World()), Ace::Allowed(kRead, kCapability)});
    EXPECT_TRUE(Check(held, AppContainer(), kRead).granted);
    EXPECT_TRUE(Check(held, LessPrivileged(), kRead).granted);

    const auto other = Descriptor({Ace::Allowed(kRead, wk::World()), Ace::Allowed(kRead, kOtherCapability)});
    EXPECT_FALSE(Check(other, AppContainer(), kRead).granted);

    TokenIdentity disabled = AppContainer();
    disabled.capabilities[0].attributes = 0;
    EXPECT_FALSE(Check(held, disabled, kRead).granted);
}

// WSI7: deny entries match only the token's normal groups (enabled or
// deny-only); a deny naming an AppContainer principal has no effect, while a
// deny for the user still refuses the AppContainer process.
TEST(SimAccessCheck, DenyEntriesMatchNormalGroupsOnly) {
    const auto deny_package = Descriptor(
        {Ace::Denied(kRead, kPackage), Ace::Denied(kRead, wk::AllApplicationPackages()),
         Ace::Allowed(kRead, wk::World()), Ace::Allowed(kRead, kPackage)});
    EXPECT_TRUE(Check(deny_package, AppContainer(), kRead).granted);

    const auto deny_user = Descriptor({Ace::Denied(0x1, kAlice), Ace::Allowed(kRead, wk::World()), Ace::Allowed(kRead, kPackage)});
    EXPECT_FALSE(Check(deny_user, AppContainer(), kRead).granted);
    EXPECT_EQ(Maximum(deny_user, AppContainer()), kRead & ~0x1u);

    // A deny-only group matches deny entries but never allow entries.
    EXPECT_FALSE(Check(Descriptor({Ace::Denied(0x1, kDenyOnlyGroup), Ace::Allowed(kRead, wk::World())}), User(), kRead).granted);
    EXPECT_FALSE(Check(Descriptor({Ace::Allowed(kRead, kDenyOnlyGroup)}), User(), kRead).granted);

    // Order matters: an allow before a deny has already granted its bits.
    EXPECT_TRUE(Check(Descriptor({Ace::Allowed(kRead, kAlice), Ace::Denied(kRead, kAlice)}), User(), kRead).granted);
}

// DTYP-AC and WSI7: inherit-only entries do not apply to the object itself;
// generic bits in an entry are mapped before they are compared.
TEST(SimAccessCheck, InheritOnlyEntriesAreSkippedAndGenericBitsMapped) {
    const auto inherit_only = Descriptor({Ace::Allowed(kRead, kAlice, flag::kInheritOnly | flag::kObjectInherit)});
    EXPECT_FALSE(Check(inherit_only, User(), kRead).granted);

    const auto generic = Descriptor({Ace::Allowed(0x80000000, kAlice)});  // GENERIC_READ
    EXPECT_TRUE(Check(generic, User(), 0x00120089).granted);
    EXPECT_EQ(Maximum(generic, User()), 0x00120089u);  // Bob owns it: no implicit WRITE_DAC

    auto unmapped = EvaluateAccess(generic, User(), 0x80000000, kFileGenericMapping);
    ASSERT_FALSE(unmapped);
    EXPECT_EQ(unmapped.error(), SysError::Win32(win32_error::kGenericNotMapped));
}

// WSI7 (Resolve-TokenOwnerAccess): the owner gets READ_CONTROL and WRITE_DAC
// implicitly unless the DACL names OWNER RIGHTS, whose entry then stands for
// the owner; the AppContainer side gets no implicit rights.
TEST(SimAccessCheck, OwnerImplicitRightsAndOwnerRights) {
    const auto empty_owned = Descriptor({}, kAlice);
    EXPECT_TRUE(Check(empty_owned, User(), kReadControl | kWriteDac).granted);
    EXPECT_EQ(Maximum(empty_owned, User()), kReadControl | kWriteDac);
    EXPECT_FALSE(Check(empty_owned, User(), 0x1).granted);
    EXPECT_FALSE(Check(empty_owned, AppContainer(), kReadControl).granted);

    const auto owner_rights = Descriptor({Ace::Allowed(kReadControl, wk::OwnerRights())}, kAlice);
    EXPECT_TRUE(Check(owner_rights, User(), kReadControl).granted);
    EXPECT_FALSE(Check(owner_rights, User(), kWriteDac).granted);
    EXPECT_EQ(Maximum(owner_rights, User()), kReadControl);
    // OWNER RIGHTS means the owner only.
    EXPECT_FALSE(Check(Descriptor({Ace::Allowed(kReadControl, wk::OwnerRights())}, kBob), User(), kReadControl).granted);
}

// DTYP-AC: a null DACL grants a normal token everything; the sources disagree
// for AppContainer tokens, and the simulated host refuses them by default.
TEST(SimAccessCheck, NullAndEmptyDacls) {
    SecurityDescriptor null_dacl = Descriptor({});
    null_dacl.dacl = AclSlot::Null();
    EXPECT_EQ(Maximum(null_dacl, User()), 0x001F01FFu);
    EXPECT_FALSE(Check(null_dacl, AppContainer(), kRead).granted);

    auto& assumptions = CurrentAccessCheckAssumptions();
    const AccessCheckAssumptions saved = assumptions;
    assumptions.null_dacl_grants_appcontainer = true;
    EXPECT_TRUE(Check(null_dacl, AppContainer(), kRead).granted);
    assumptions = saved;

    EXPECT_FALSE(Check(Descriptor({}), User(), kRead).granted);
    EXPECT_FALSE(Check(Descriptor({}), User(), kMaximum).granted);
}

// MIC and MS-AC: AppContainer tokens run at low integrity. An object labelled
// above medium blocks their writes; an unlabelled or medium object passes the
// mandatory check for an AppContainer token (and the DACL decides), but not
// for a plain low-integrity token.
TEST(SimAccessCheck, MandatoryIntegrityAndTheAppContainerException) {
    auto grant_all = Descriptor({Ace::Allowed(0x001F01FF, wk::World()), Ace::Allowed(0x001F01FF, kPackage)});
    EXPECT_TRUE(Check(grant_all, AppContainer(), kRead | kWrite).granted);

    TokenIdentity low = User();
    low.integrity_rid = winformat::integrity_rid::kLow;
    EXPECT_FALSE(Check(grant_all, low, kWrite).granted);
    EXPECT_TRUE(Check(grant_all, low, kRead).granted);
    EXPECT_EQ(Maximum(grant_all, low), kRead);

    auto high = grant_all;
    high.sacl = AclSlot(Acl::Fitted(2, {winformat::MandatoryLabelAce(winformat::integrity_rid::kHigh,
                                                                      winformat::mandatory_policy::kNoWriteUp)})
                            .value());
    EXPECT_FALSE(Check(high, AppContainer(), kWrite).granted);
    EXPECT_TRUE(Check(high, AppContainer(), kRead).granted);

    auto& assumptions = CurrentAccessCheckAssumptions();
    const AccessCheckAssumptions saved = assumptions;
    assumptions.appcontainer_passes_integrity_up_to_medium = false;
    EXPECT_FALSE(Check(grant_all, AppContainer(), kWrite).granted);
    assumptions = saved;
}

// API-AC: the descriptor must carry an owner and a group.
TEST(SimAccessCheck, DescriptorWithoutOwnerOrGroupFailsTheCall) {
    auto descriptor = Descriptor({Ace::Allowed(kRead, kAlice)});
    descriptor.group.reset();
    auto result = EvaluateAccess(descriptor, User(), kRead, kFileGenericMapping);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), SysError::Win32(win32_error::kInvalidSecurityDescr));
}

// WSI7: privileges satisfy ACCESS_SYSTEM_SECURITY and WRITE_OWNER.
TEST(SimAccessCheck, PrivilegesGrantTheirRights) {
    constexpr std::uint32_t kSystemSecurity = 0x01000000;
    constexpr std::uint32_t kWriteOwner = 0x00080000;
    const auto plain = Descriptor({Ace::Allowed(kRead, kAlice)});
    EXPECT_EQ(Check(plain, User(), kSystemSecurity).error, win32_error::kPrivilegeNotHeld);
    EXPECT_FALSE(Check(plain, User(), kWriteOwner).granted);

    TokenIdentity admin = User();
    admin.enabled_privileges = {privilege::kSecurity, privilege::kTakeOwnership};
    EXPECT_TRUE(Check(plain, admin, kSystemSecurity | kWriteOwner | kRead).granted);
}

}  // namespace
}  // namespace telvo::platform::sim
