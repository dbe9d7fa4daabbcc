#include "winformat/acl.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "winformat/acl_order.h"
#include "winformat/hex_bytes.h"

namespace telvo::winformat {
namespace {

using testing::Hex;

const std::string kAu = " 01 01 00 00 00 00 00 05 0B 00 00 00 ";
const std::string kSy = " 01 01 00 00 00 00 00 05 12 00 00 00 ";
const std::string kOwnerRights = " 01 01 00 00 00 00 00 03 04 00 00 00 ";

Ace AllowedAu() { return Ace::Allowed(0x120000, well_known::AuthenticatedUsers()); }
Ace AllowedSy() { return Ace::Allowed(0x120000, well_known::LocalSystem()); }

Ace ObjectAce() {
    auto ace = Ace::Make(ace_type::kAccessAllowedObject, 0,
                         ObjectAceBody{0x100, GuidBytes{}, std::nullopt, well_known::World(), {}});
    if (!ace) throw std::logic_error("test object ACE");
    return *ace;
}

TEST(Acl, MetadataLockDaclHasTheDocumentedLayout) {
    // Revision 2 in a 256-byte buffer: Authenticated Users and LocalSystem 0x120000, OWNER RIGHTS 0x20000.
    auto acl = Acl::Create(256, acl_revision::kRevision);
    ASSERT_TRUE(acl);
    ASSERT_TRUE(acl->Append(AllowedAu()));
    ASSERT_TRUE(acl->Append(AllowedSy()));
    ASSERT_TRUE(acl->Append(Ace::Allowed(0x20000, well_known::OwnerRights())));
    EXPECT_EQ(acl->bytes_in_use(), 68u);
    EXPECT_EQ(acl->bytes_free(), 188u);

    auto expected = Hex("02 00 00 01 03 00 00 00"
                        "00 00 14 00 00 00 12 00" + kAu +
                        "00 00 14 00 00 00 12 00" + kSy +
                        "00 00 14 00 00 00 02 00" + kOwnerRights);
    expected.resize(256, 0);
    EXPECT_EQ(acl->Serialize(), expected);

    auto parsed = Acl::Parse(expected);
    ASSERT_TRUE(parsed) << parsed.error().Display();
    EXPECT_EQ(*parsed, *acl);
}

TEST(Acl, BuilderFailsWhenItsFixedSpaceRunsOut) {
    auto acl = Acl::Create(48, acl_revision::kRevision);  // room for exactly two 20-byte ACEs
    ASSERT_TRUE(acl);
    ASSERT_TRUE(acl->Append(AllowedAu()));
    ASSERT_TRUE(acl->Insert(0, AllowedSy()));
    EXPECT_EQ(acl->bytes_free(), 0u);
    const Acl full = *acl;

    auto added = acl->Append(Ace::Allowed(1, well_known::World()));
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error(), SysError::Win32(acl_error::kAllottedSpaceExceeded));
    EXPECT_EQ(*acl, full);
    EXPECT_EQ(acl->aces()[0], AllowedSy());

    ASSERT_TRUE(acl->Erase(0));
    EXPECT_EQ(acl->bytes_in_use(), 28u);
    EXPECT_EQ(acl->aces(), std::vector<Ace>{AllowedAu()});
    // 20 bytes free: a 24-byte ACE does not fit.
    EXPECT_EQ(acl->Append(Ace::Allowed(1, well_known::Users())).error(),
              SysError::Win32(acl_error::kAllottedSpaceExceeded));
    EXPECT_EQ(acl->Erase(1).error(), SysError::Win32(acl_error::kInvalidParameter));
    EXPECT_EQ(acl->Insert(2, AllowedSy()).error(), SysError::Win32(acl_error::kInvalidParameter));
}

TEST(Acl, CreateRefusesWhatInitializeAclRefuses) {
    EXPECT_EQ(Acl::Create(4, 2).error(), SysError::Win32(acl_error::kInsufficientBuffer));
    EXPECT_EQ(Acl::Create(10, 2).error(), SysError::Win32(acl_error::kInvalidParameter));
    EXPECT_EQ(Acl::Create(0x10000, 2).error(), SysError::Win32(acl_error::kInvalidParameter));
    EXPECT_EQ(Acl::Create(8, 1).error(), SysError::Win32(acl_error::kInvalidParameter));
    EXPECT_EQ(Acl::Create(8, 5).error(), SysError::Win32(acl_error::kInvalidParameter));
    auto largest = Acl::Create(Acl::kMaxSize, 4);
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->Serialize().size(), Acl::kMaxSize);
}

TEST(Acl, ObjectAcesNeedRevisionFour) {
    auto acl = Acl::Create(64, acl_revision::kRevision);
    ASSERT_TRUE(acl);
    ASSERT_TRUE(acl->Append(ObjectAce()));
    EXPECT_EQ(acl->revision(), acl_revision::kRevisionDs);

    auto bytes = acl->Serialize();
    bytes[0] = acl_revision::kRevision;
    EXPECT_EQ(Acl::Parse(bytes).error().Display(), "object ACE 0 in an ACL below revision 4");
}

TEST(Acl, FittedSizesTheAclToItsAces) {
    auto acl = Acl::Fitted(acl_revision::kRevision, {AllowedAu(), ObjectAce()});
    ASSERT_TRUE(acl);
    EXPECT_EQ(acl->size(), 8 + 20 + 40);
    EXPECT_EQ(acl->bytes_free(), 0u);
    EXPECT_EQ(acl->revision(), acl_revision::kRevisionDs);

    auto big = Ace::Make(0x20, 0, OpaqueAceBody{std::vector<std::uint8_t>(Ace::kMaxSize - 4)});
    ASSERT_TRUE(big);
    EXPECT_EQ(Acl::Fitted(acl_revision::kRevision, {*big}).error(),
              SysError::Win32(acl_error::kAllottedSpaceExceeded));
}

TEST(Acl, FreeSpaceAndTrailingBufferAreNotAces) {
    // AclSize 32 with one 20-byte ACE: 4 bytes of (non-zero) free space, then bytes past the ACL.
    const auto bytes = Hex("04 00 20 00 01 00 00 00 00 00 14 00 00 00 12 00" + kAu + "EE EE EE EE FF FF FF FF");
    auto acl = Acl::Parse(bytes);
    ASSERT_TRUE(acl) << acl.error().Display();
    EXPECT_EQ(acl->size(), 32);
    EXPECT_EQ(acl->bytes_in_use(), 28u);
    EXPECT_EQ(acl->aces(), std::vector<Ace>{AllowedAu()});
    auto expected = std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 28);
    expected.resize(32, 0);
    EXPECT_EQ(acl->Serialize(), expected);

    auto empty = Acl::Parse(Hex("02 00 08 00 00 00 00 00"));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->aces().empty());
}

TEST(Acl, RefusesMalformedBytes) {
    const std::string au_ace = " 00 00 14 00 00 00 12 00 " + kAu;
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* message;
    } cases[] = {
        {Hex("02 00 08 00 00 00 00"), "truncated ACL header"},
        {Hex("01 00 08 00 00 00 00 00"), "unsupported ACL revision 1"},
        {Hex("05 00 08 00 00 00 00 00"), "unsupported ACL revision 5"},
        {Hex("02 00 04 00 00 00 00 00"), "ACL size is smaller than its header"},
        {Hex("02 00 0A 00 00 00 00 00 00 00"), "ACL size is not a multiple of 4"},
        {Hex("02 00 0C 00 00 00 00 00"), "ACL size runs past the end of its buffer"},
        {Hex("02 00 1C 00 02 00 00 00" + au_ace), "ACE 1 header runs past the end of the ACL"},
        {Hex("02 00 20 00 02 00 00 00" + au_ace + "00 00 00 00"), "ACE 1 is smaller than its header"},
        {Hex("02 00 18 00 01 00 00 00" + au_ace), "ACE 0 runs past the end of the ACL"},
        {Hex("02 00 14 00 01 00 00 00 00 00 0C 00 00 00 12 00 01 01 00 00"),
         "invalid ACE 0: truncated SID in ACE"},
    };
    for (const auto& c : cases) {
        auto acl = Acl::Parse(c.bytes);
        ASSERT_FALSE(acl) << c.message;
        EXPECT_EQ(acl.error().Display(), c.message);
    }
}

TEST(AclOrder, ExplicitDenyThenExplicitAllowThenInherited) {
    const Ace deny = Ace::Denied(1, well_known::World());
    const Ace allow = Ace::Allowed(1, well_known::World());
    const Ace inherited_deny = Ace::Denied(1, well_known::World(), ace_flag::kInherited);
    const Ace inherited_allow = Ace::Allowed(1, well_known::World(), ace_flag::kInherited);
    const auto canonical = [](std::vector<Ace> aces) {
        auto acl = Acl::Fitted(acl_revision::kRevision, std::move(aces));
        if (!acl) throw std::logic_error("test ACL");
        return IsCanonicalDacl(*acl);
    };
    EXPECT_TRUE(canonical({}));
    EXPECT_TRUE(canonical({deny, allow, inherited_allow, inherited_deny}));
    EXPECT_TRUE(canonical({deny, Ace::Basic(ace_type::kSystemAudit, 0, 1, well_known::World()), allow}));
    EXPECT_FALSE(canonical({allow, deny}));
    auto object_deny = Ace::Make(ace_type::kAccessDeniedObject, 0,
                                 ObjectAceBody{1, std::nullopt, std::nullopt, well_known::World(), {}});
    ASSERT_TRUE(object_deny);
    EXPECT_FALSE(canonical({ObjectAce(), *object_deny}));
    EXPECT_FALSE(canonical({inherited_allow, allow}));
}

}  // namespace
}  // namespace telvo::winformat
