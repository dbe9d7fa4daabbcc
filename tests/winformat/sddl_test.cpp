#include "winformat/sddl.h"

#include <gtest/gtest.h>

#include <string>

#include "winformat/mandatory_label.h"

namespace telvo::winformat {
namespace {

constexpr const char* kTrustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// What Windows 11 writes for C:\ and for C:\Program Files.
const std::string kVolumeRoot =
    "O:SYG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;LC;;;AU)"
    "(A;OICIIO;SDGXGWGR;;;AU)";
const std::string kProgramFiles =
    std::string("O:") + kTrustedInstaller + "G:" + kTrustedInstaller +
    "D:PAI(A;OICIIO;GA;;;CO)(A;OICIIO;GA;;;SY)(A;;FA;;;SY)(A;OICIIO;GA;;;BA)(A;;FA;;;BA)(A;OICIIO;GXGR;;;BU)"
    "(A;;0x1200a9;;;BU)(A;CIIO;GA;;;" + kTrustedInstaller + ")(A;;FA;;;" + kTrustedInstaller +
    ")(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)(A;;0x1200a9;;;S-1-15-2-2)(A;OICIIO;GXGR;;;S-1-15-2-2)";

TEST(Sddl, ReadsWhatWindowsWritesAndWritesItTheSameWay) {
    for (const std::string& text : {kVolumeRoot, kProgramFiles}) {
        auto descriptor = ParseSddl(text);
        ASSERT_TRUE(descriptor) << descriptor.error().Display();
        auto written = WriteSddl(*descriptor);
        ASSERT_TRUE(written) << written.error().Display();
        EXPECT_EQ(*written, text);
        // The same bytes through a self-relative round trip.
        auto bytes = SecurityDescriptor::ParseSelfRelative(descriptor->ToSelfRelative());
        ASSERT_TRUE(bytes);
        EXPECT_EQ(*bytes, *descriptor);
    }
}

TEST(Sddl, BuildsTheEntriesItNames) {
    auto descriptor = ParseSddl(kProgramFiles);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor->owner->ToString(), kTrustedInstaller);
    EXPECT_EQ(descriptor->control, sd_control::kDaclProtected | sd_control::kDaclAutoInherited);
    const auto& aces = descriptor->dacl.acl()->aces();
    ASSERT_EQ(aces.size(), 13u);
    EXPECT_EQ(aces[0], Ace::Allowed(0x10000000, Sid::Parse("S-1-3-0").value(),
                                    ace_flag::kObjectInherit | ace_flag::kContainerInherit | ace_flag::kInheritOnly));
    EXPECT_EQ(*aces[5].mask(), 0xA0000000u);
    EXPECT_EQ(*aces[9].sid(), well_known::AllApplicationPackages());
    EXPECT_EQ(*aces[11].sid(), well_known::AllRestrictedApplicationPackages());
    EXPECT_EQ(descriptor->dacl.acl()->revision(), acl_revision::kRevision);

    auto root = ParseSddl(kVolumeRoot);
    ASSERT_TRUE(root);
    EXPECT_EQ(*root->dacl.acl()->aces()[4].mask(), 0x4u);
    EXPECT_EQ(*root->dacl.acl()->aces()[5].mask(), 0xE0010000u);
}

TEST(Sddl, WritesMasksAsWholeLettersComposedLettersOrHex) {
    const auto written = [](std::uint32_t mask, std::uint8_t type = ace_type::kAccessAllowed) {
        SecurityDescriptor sd;
        sd.dacl = AclSlot(Acl::Fitted(acl_revision::kRevision, {Ace::Basic(type, 0, mask, well_known::World())}).value());
        return WriteSddl(sd).value();
    };
    EXPECT_EQ(written(0x1F01FF), "D:(A;;FA;;;WD)");
    EXPECT_EQ(written(0x120089), "D:(A;;FR;;;WD)");
    EXPECT_EQ(written(0x120116), "D:(A;;FW;;;WD)");
    EXPECT_EQ(written(0x1200A0), "D:(A;;FX;;;WD)");
    EXPECT_EQ(written(0x000F01FF), "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)");
    EXPECT_EQ(written(0x1301BF), "D:(A;;0x1301bf;;;WD)");  // SYNCHRONIZE has no letter
    EXPECT_EQ(written(0), "D:(A;;0x0;;;WD)");
    EXPECT_EQ(written(0x10000000, ace_type::kAccessDenied), "D:(D;;GA;;;WD)");
    // Every one of them reads back to its mask.
    for (const std::uint32_t mask : {0x1F01FFu, 0xF01FFu, 0x1301BFu, 0u, 0xFFFFFFFFu}) {
        auto again = ParseSddl(written(mask));
        ASSERT_TRUE(again);
        EXPECT_EQ(*again->dacl.acl()->aces()[0].mask(), mask);
    }
}

TEST(Sddl, KeepsFlagsNullAndEmptyDaclsLabelsAndObjectAces) {
    struct Case {
        std::string text;
        std::string canonical;
    };
    const Case cases[] = {
        {"D:NO_ACCESS_CONTROL", "D:NO_ACCESS_CONTROL"},
        {"D:", "D:"},
        {"D:ARPAI", "D:PAIAR"},
        {"G:BAO:SY", "O:SYG:BA"},
        {"D:(A;IDCIOINPIO;0x1;;;S-1-5-21-1-2-3-1001)", "D:(A;OICINPIOID;CC;;;S-1-5-21-1-2-3-1001)"},
        {"S:P(ML;OICI;NWNR;;;LW)", "S:P(ML;OICI;NWNR;;;LW)"},
        {"S:AI(AU;SAFA;FA;;;WD)", "S:AI(AU;SAFA;FA;;;WD)"},
        {"D:(OA;;RP;bf967aba-0de6-11d0-a285-00aa003049e2;;AU)(OD;CI;0x10;;BF967ABA-0DE6-11D0-A285-00AA003049E2;WD)",
         "D:(OA;;RP;bf967aba-0de6-11d0-a285-00aa003049e2;;AU)(OD;CI;RP;;bf967aba-0de6-11d0-a285-00aa003049e2;WD)"},
    };
    for (const Case& c : cases) {
        auto parsed = ParseSddl(c.text);
        ASSERT_TRUE(parsed) << c.text << ": " << parsed.error().Display();
        auto written = WriteSddl(*parsed);
        ASSERT_TRUE(written) << c.text;
        EXPECT_EQ(*written, c.canonical);
        EXPECT_EQ(ParseSddl(*written).value(), *parsed) << c.text;
    }
    EXPECT_TRUE(ParseSddl("D:NO_ACCESS_CONTROL")->dacl.is_null());
    EXPECT_EQ(ParseSddl("D:")->dacl.acl()->aces().size(), 0u);
    EXPECT_FALSE(ParseSddl("O:SY")->dacl.present());
    auto label = FindMandatoryLabel(ParseSddl("S:(ML;;NW;;;HI)").value());
    ASSERT_TRUE(label && *label);
    EXPECT_EQ((*label)->integrity_rid, integrity_rid::kHigh);
    // An object ACE raises the ACL's revision; the GUID's first groups are stored little-endian.
    auto object = ParseSddl("D:(OA;;CR;01020304-0506-0708-090a-0b0c0d0e0f10;;SY)").value();
    EXPECT_EQ(object.dacl.acl()->revision(), acl_revision::kRevisionDs);
    const auto& body = std::get<ObjectAceBody>(object.dacl.acl()->aces()[0].body());
    EXPECT_EQ(*body.object_type, (GuidBytes{4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16}));
}

TEST(Sddl, RefusesWhatItDoesNotKnow) {
    const char* refused[] = {
        "X:SY",                         // no such part
        "O:SYO:BA",                     // a part twice
        "O:XX",                         // unknown alias
        "O:",                           // empty SID
        "O:S-1-5-x",                    // bad SID
        "O:sy",                         // aliases are upper case
        "D:Q(A;;FA;;;SY)",              // bad ACL flags
        "D:PP",                         // a flag twice
        "D:(A;;FA;;SY)",                // five fields
        "D:(A;;FA;;;SY",                // unclosed
        "D:(A;;FA;;;SY)x",              // text after an ACE
        "D:(XA;;FA;;;SY)",              // unknown type
        "D:(ML;;NW;;;LW)",              // a label in the DACL
        "S:(A;;FA;;;SY)",               // an allowed ACE in the SACL
        "D:(A;XY;FA;;;SY)",             // unknown ACE flag
        "D:(A;;FAGR;;;SY)",             // a whole-mask letter among others
        "D:(A;;0x;;;SY)",               // no digits
        "D:(A;;0x100000000;;;SY)",      // more than 32 bits
        "D:(A;;0X1;;;SY)",              // upper-case prefix
        "D:(A;;123;;;SY)",              // decimal
        "D:(A;;FA;;;SY) ",              // trailing space
        "D:(A;;FA;x;;SY)",              // a GUID on a basic ACE
        "D:(OA;;FA;0102;;SY)",          // short GUID
        "D:(OA;;FA;01020304-0506-0708-090a-0b0c0d0e0f1g;;SY)",  // bad digit
        "S:NO_ACCESS_CONTROL",          // no null SACL
        "D:PNO_ACCESS_CONTROL",
        "D:(XA;;FA;;;SY;(@User.x==1))",
    };
    for (const char* text : refused) {
        auto parsed = ParseSddl(text);
        EXPECT_FALSE(parsed) << text;
        if (!parsed) {
            EXPECT_FALSE(parsed.error().Display().empty());
        }
    }
}

TEST(Sddl, BoundsItsInput) {
    std::string text = "D:";
    while (text.size() <= kMaxSddlLength) text += "(A;;FA;;;SY)";
    auto parsed = ParseSddl(text);
    ASSERT_FALSE(parsed);
    EXPECT_NE(parsed.error().Display().find("longer than"), std::string::npos);
    // More entries than an ACL holds are refused rather than cut.
    std::string many = "D:";
    for (int i = 0; i < 5000; ++i) many += "(A;;FA;;;SY)";
    ASSERT_LE(many.size(), kMaxSddlLength);
    EXPECT_FALSE(ParseSddl(many));
}

TEST(Sddl, RefusesToWriteWhatSddlCannotCarry) {
    SecurityDescriptor defaulted;
    defaulted.control = sd_control::kOwnerDefaulted;
    EXPECT_FALSE(WriteSddl(defaulted));
    SecurityDescriptor rm;
    rm.resource_manager_control = 1;
    rm.control = sd_control::kRmControlValid;
    EXPECT_FALSE(WriteSddl(rm));
    SecurityDescriptor flags_without_dacl;
    flags_without_dacl.control = sd_control::kDaclProtected;
    EXPECT_FALSE(WriteSddl(flags_without_dacl));
    SecurityDescriptor callback;
    callback.dacl = AclSlot(Acl::Fitted(acl_revision::kRevision,
                                        {Ace::Basic(ace_type::kAccessAllowedCallback, 0, 1, well_known::World())})
                                .value());
    EXPECT_FALSE(WriteSddl(callback));
    SecurityDescriptor critical;
    critical.dacl = AclSlot(
        Acl::Fitted(acl_revision::kRevision, {Ace::Allowed(1, well_known::World(), ace_flag::kCritical)}).value());
    EXPECT_FALSE(WriteSddl(critical));
}

}  // namespace
}  // namespace telvo::winformat
