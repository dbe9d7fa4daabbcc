#include "winformat/security_descriptor.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "winformat/hex_bytes.h"
#include "winformat/mandatory_label.h"

namespace telvo::winformat {
namespace {

using testing::Hex;

const std::string kSy = " 01 01 00 00 00 00 00 05 12 00 00 00 ";
const std::string kBa = " 01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00 ";
const std::string kBu = " 01 02 00 00 00 00 00 05 20 00 00 00 21 02 00 00 ";
const std::string kLw = " 01 01 00 00 00 00 00 10 00 10 00 00 ";  // S-1-16-4096

Acl Fitted(std::vector<Ace> aces) {
    auto acl = Acl::Fitted(acl_revision::kRevision, std::move(aces));
    if (!acl) throw std::logic_error("test ACL");
    return *acl;
}

// Owner BA, group SY, a protected auto-inherited DACL (SY full access OI|CI, BU
// 0x1200A9) and a SACL holding a Low no-write-up label.
SecurityDescriptor KnownDescriptor() {
    SecurityDescriptor sd;
    sd.control = sd_control::kDaclProtected | sd_control::kDaclAutoInherited;
    sd.owner = well_known::Administrators();
    sd.group = well_known::LocalSystem();
    sd.dacl = AclSlot(Fitted({Ace::Allowed(0x1F01FF, well_known::LocalSystem(),
                                           ace_flag::kObjectInherit | ace_flag::kContainerInherit),
                              Ace::Allowed(0x1200A9, well_known::Users())}));
    sd.sacl = AclSlot(Fitted({MandatoryLabelAce(integrity_rid::kLow, mandatory_policy::kNoWriteUp)}));
    return sd;
}

const std::vector<std::uint8_t> kKnownBytes =
    Hex("01 00 14 94 64 00 00 00 74 00 00 00 14 00 00 00 30 00 00 00"
        "02 00 1C 00 01 00 00 00"
        "11 00 14 00 01 00 00 00" + kLw +
        "02 00 34 00 02 00 00 00"
        "00 03 14 00 FF 01 1F 00" + kSy +
        "00 00 18 00 A9 00 12 00" + kBu + kBa + kSy);

TEST(SecurityDescriptor, SelfRelativeFormHasTheDocumentedLayout) {
    const SecurityDescriptor sd = KnownDescriptor();
    EXPECT_EQ(sd.ToSelfRelative(), kKnownBytes);
    auto parsed = SecurityDescriptor::ParseSelfRelative(kKnownBytes);
    ASSERT_TRUE(parsed) << parsed.error().Display();
    EXPECT_EQ(*parsed, sd);
    EXPECT_EQ(parsed->Control(), 0x1414);
    auto label = FindMandatoryLabel(*parsed);
    ASSERT_TRUE(label);
    EXPECT_EQ(*label, (MandatoryLabel{integrity_rid::kLow, mandatory_policy::kNoWriteUp}));
}

TEST(SecurityDescriptor, FollowsOffsetsInAnyOrder) {
    // Owner and group first, then an empty DACL; trailing buffer bytes are ignored.
    const auto bytes = Hex("01 00 04 80 14 00 00 00 24 00 00 00 00 00 00 00 30 00 00 00" + kBa + kSy +
                           "02 00 08 00 00 00 00 00 00 00 00 00 00 00 00 00");
    auto sd = SecurityDescriptor::ParseSelfRelative(bytes);
    ASSERT_TRUE(sd) << sd.error().Display();
    EXPECT_EQ(sd->owner, well_known::Administrators());
    EXPECT_EQ(sd->group, well_known::LocalSystem());
    EXPECT_FALSE(sd->sacl.present());
    ASSERT_NE(sd->dacl.acl(), nullptr);
    EXPECT_TRUE(sd->dacl.acl()->aces().empty());
    auto again = SecurityDescriptor::ParseSelfRelative(sd->ToSelfRelative());
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *sd);
}

TEST(SecurityDescriptor, AbsentNullAndEmptyDaclsStayApart) {
    const auto absent = Hex("01 00 00 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    const auto null = Hex("01 00 04 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    const auto empty = Hex("01 00 04 80 00 00 00 00 00 00 00 00 00 00 00 00 14 00 00 00 02 00 08 00 00 00 00 00");
    std::vector<SecurityDescriptor> parsed;
    for (const auto& bytes : {absent, null, empty}) {
        auto sd = SecurityDescriptor::ParseSelfRelative(bytes);
        ASSERT_TRUE(sd) << sd.error().Display();
        EXPECT_EQ(sd->ToSelfRelative(), bytes);
        parsed.push_back(*sd);
    }
    EXPECT_FALSE(parsed[0].dacl.present());
    EXPECT_TRUE(parsed[1].dacl.present());
    EXPECT_TRUE(parsed[1].dacl.is_null());
    EXPECT_TRUE(parsed[2].dacl.present());
    EXPECT_FALSE(parsed[2].dacl.is_null());
    EXPECT_NE(parsed[0], parsed[1]);
    EXPECT_NE(parsed[1], parsed[2]);
    EXPECT_NE(parsed[0], parsed[2]);
}

TEST(SecurityDescriptor, ControlBitsAndResourceManagerByteSurvive) {
    SecurityDescriptor sd;
    sd.control = sd_control::kDaclProtected | sd_control::kDaclAutoInherited | sd_control::kRmControlValid |
                 sd_control::kServerSecurity;
    sd.resource_manager_control = 0x5A;
    sd.dacl = AclSlot::Null();
    const auto bytes = sd.ToSelfRelative();
    EXPECT_EQ(bytes, Hex("01 5A 84 D4 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    auto parsed = SecurityDescriptor::ParseSelfRelative(bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, sd);

    // Presence and self-relative bits come from the slots and the form, not from `control`.
    SecurityDescriptor claims;
    claims.control = sd_control::kDaclPresent | sd_control::kSaclPresent | sd_control::kSelfRelative |
                     sd_control::kDaclProtected;
    EXPECT_EQ(claims.Control(), sd_control::kDaclProtected);
    SecurityDescriptor plain;
    plain.control = sd_control::kDaclProtected;
    EXPECT_EQ(claims, plain);
}

TEST(SecurityDescriptor, RefusesMalformedBytes) {
    const std::string no_offsets = " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ";
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* message;
    } cases[] = {
        {Hex("01 00 04 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"), "truncated security descriptor header"},
        {Hex("02 00 04 80" + no_offsets), "unsupported security descriptor revision 2"},
        {Hex("01 00 04 00" + no_offsets), "security descriptor is not self-relative"},
        {Hex("01 00 00 80 14 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
         "owner offset is past the end of the security descriptor"},
        {Hex("01 00 00 80 08 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00" + kSy),
         "owner offset points into the security descriptor header"},
        {Hex("01 00 00 80 00 00 00 00 16 00 00 00 00 00 00 00 00 00 00 00 00 00" + kSy),
         "group offset is not a multiple of 4"},
        {Hex("01 00 00 80 14 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 02 00 00 00 00 00 05 20 00 00 00"),
         "owner is not a valid SID inside the security descriptor"},
        {Hex("01 00 00 80 00 00 00 00 14 00 00 00 00 00 00 00 00 00 00 00 02 01 00 00 00 00 00 05 12 00 00 00"),
         "group is not a valid SID inside the security descriptor"},
        {Hex("01 00 00 80 00 00 00 00 00 00 00 00 00 00 00 00 14 00 00 00 02 00 08 00 00 00 00 00"),
         "DACL offset is set although the DACL is not present"},
        {Hex("01 00 04 80 00 00 00 00 00 00 00 00 00 00 00 00 14 00 00 00 02 00 10 00 00 00 00 00"),
         "invalid DACL: ACL size runs past the end of its buffer"},
        {Hex("01 00 10 80 00 00 00 00 00 00 00 00 14 00 00 00 00 00 00 00 02 00 10 00 01 00 00 00 11 00 08 00 "
             "00 00 00 00"),
         "invalid SACL: invalid ACE 0: truncated SID in ACE"},
        {Hex("01 00 00 80 14 00 00 00 14 00 00 00 00 00 00 00 00 00 00 00" + kSy),
         "security descriptor components overlap"},
        // A DACL of AclSize 20 whose free space holds the owner.
        {Hex("01 00 04 80 1C 00 00 00 00 00 00 00 00 00 00 00 14 00 00 00 02 00 14 00 00 00 00 00" + kSy),
         "security descriptor components overlap"},
    };
    for (const auto& c : cases) {
        auto sd = SecurityDescriptor::ParseSelfRelative(c.bytes);
        ASSERT_FALSE(sd) << c.message;
        EXPECT_EQ(sd.error().Display(), c.message);
    }
}

TEST(MandatoryLabel, TheFirstLabelThatAppliesToTheObjectCounts) {
    SecurityDescriptor sd;
    auto found = FindMandatoryLabel(sd);
    ASSERT_TRUE(found);
    EXPECT_FALSE(*found);

    sd.sacl = AclSlot(Fitted({Ace::Basic(ace_type::kSystemAudit, ace_flag::kFailedAccess, 1, well_known::World()),
                              MandatoryLabelAce(integrity_rid::kHigh, mandatory_policy::kValidMask,
                                                ace_flag::kContainerInherit | ace_flag::kInheritOnly),
                              MandatoryLabelAce(integrity_rid::kMedium, mandatory_policy::kNoReadUp),
                              MandatoryLabelAce(integrity_rid::kSystem, mandatory_policy::kNoWriteUp)}));
    found = FindMandatoryLabel(sd);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (MandatoryLabel{integrity_rid::kMedium, mandatory_policy::kNoReadUp}));

    sd.sacl = AclSlot(Fitted({Ace::Basic(ace_type::kSystemMandatoryLabel, 0, 1, well_known::LocalSystem())}));
    EXPECT_EQ(FindMandatoryLabel(sd).error().Display(), "mandatory label ACE does not name an integrity level");
}

}  // namespace
}  // namespace telvo::winformat
