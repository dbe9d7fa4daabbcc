#include "winformat/ace.h"

#include <gtest/gtest.h>

#include <string>

#include "winformat/hex_bytes.h"

namespace telvo::winformat {
namespace {

using testing::Hex;

const std::string kAu = " 01 01 00 00 00 00 00 05 0B 00 00 00 ";  // S-1-5-11
const std::string kSy = " 01 01 00 00 00 00 00 05 12 00 00 00 ";  // S-1-5-18
const std::string kBu = " 01 02 00 00 00 00 00 05 20 00 00 00 21 02 00 00 ";  // S-1-5-32-545
const std::string kWd = " 01 01 00 00 00 00 00 01 00 00 00 00 ";  // S-1-1-0
const std::string kGuid1 = " 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 ";
const std::string kGuid2 = " 22 22 22 22 22 22 22 22 22 22 22 22 22 22 22 22 ";

GuidBytes Filled(std::uint8_t value) {
    GuidBytes guid;
    guid.fill(value);
    return guid;
}

TEST(Ace, AllowedAceHasTheDocumentedLayout) {
    const auto bytes = Hex("00 03 18 00 A9 00 12 00" + kBu);
    const Ace ace = Ace::Allowed(0x1200A9, well_known::Users(), ace_flag::kObjectInherit | ace_flag::kContainerInherit);
    EXPECT_EQ(ace.size(), 24);
    EXPECT_EQ(ace.Serialize(), bytes);
    auto parsed = Ace::Parse(bytes);
    ASSERT_TRUE(parsed) << parsed.error().Display();
    EXPECT_EQ(*parsed, ace);
    EXPECT_EQ(parsed->mask(), 0x1200A9u);
    EXPECT_EQ(*parsed->sid(), well_known::Users());
}

TEST(Ace, ObjectAceGuidsAndSidFollowTheObjectFlags) {
    const auto both = Hex("05 02 38 00 00 01 00 00 03 00 00 00" + kGuid1 + kGuid2 + kAu);
    auto ace = Ace::Parse(both);
    ASSERT_TRUE(ace) << ace.error().Display();
    const auto& body = std::get<ObjectAceBody>(ace->body());
    EXPECT_EQ(body.mask, 0x100u);
    EXPECT_EQ(body.object_type, Filled(0x11));
    EXPECT_EQ(body.inherited_object_type, Filled(0x22));
    EXPECT_EQ(body.sid, well_known::AuthenticatedUsers());
    EXPECT_EQ(ace->Serialize(), both);

    // Only the inherited-object GUID: it takes the first GUID slot and the SID moves up.
    const auto inherited_only = Hex("06 00 28 00 10 00 00 00 02 00 00 00" + kGuid2 + kSy);
    ace = Ace::Parse(inherited_only);
    ASSERT_TRUE(ace) << ace.error().Display();
    const auto& second = std::get<ObjectAceBody>(ace->body());
    EXPECT_FALSE(second.object_type);
    EXPECT_EQ(second.inherited_object_type, Filled(0x22));
    EXPECT_EQ(second.sid, well_known::LocalSystem());
    EXPECT_EQ(ace->Serialize(), inherited_only);

    auto made = Ace::Make(ace_type::kAccessDeniedObject, 0,
                          ObjectAceBody{0x10, std::nullopt, Filled(0x22), well_known::LocalSystem(), {}});
    ASSERT_TRUE(made);
    EXPECT_EQ(made->Serialize(), inherited_only);
}

TEST(Ace, BytesAfterTheSidAreKept) {
    // A conditional callback ACE ("artx" application data) and a plain ACE with slack.
    const struct {
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint8_t> after_sid;
    } cases[] = {
        {Hex("09 00 1C 00 01 00 00 00" + kWd + "61 72 74 78 00 00 00 00"), Hex("61 72 74 78 00 00 00 00")},
        {Hex("00 00 18 00 01 00 00 00" + kAu + "00 00 00 00"), Hex("00 00 00 00")},
    };
    for (const auto& c : cases) {
        auto ace = Ace::Parse(c.bytes);
        ASSERT_TRUE(ace) << ace.error().Display();
        EXPECT_EQ(std::get<BasicAceBody>(ace->body()).application_data, c.after_sid);
        EXPECT_EQ(ace->Serialize(), c.bytes);
    }
}

TEST(Ace, UnknownAndCompoundTypesStayOpaque) {
    for (const auto& bytes : {Hex("12 00 0C 00 00 00 00 00 AA BB CC DD"), Hex("04 00 08 00 01 00 00 00"),
                              Hex("FF 13 04 00")}) {
        auto ace = Ace::Parse(bytes);
        ASSERT_TRUE(ace) << ace.error().Display();
        EXPECT_EQ(ace->form(), AceForm::opaque);
        EXPECT_EQ(ace->sid(), nullptr);
        EXPECT_FALSE(ace->mask());
        EXPECT_EQ(std::get<OpaqueAceBody>(ace->body()).bytes.size(), bytes.size() - 4);
        EXPECT_EQ(ace->Serialize(), bytes);
    }
}

TEST(Ace, RefusesMalformedBytes) {
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* message;
    } cases[] = {
        {Hex("00 00 08"), "truncated ACE header"},
        {Hex("00 00 10 00 00 00 00 00 00 00 00 00"), "ACE size does not match its bytes"},
        {Hex("12 00 06 00 00 00"), "ACE size is not a multiple of 4"},
        {Hex("00 00 04 00"), "truncated ACE"},
        {Hex("00 00 0C 00 01 00 00 00 01 01 00 00"), "truncated SID in ACE"},
        {Hex("00 00 10 00 01 00 00 00 01 02 00 00 00 00 00 05"), "truncated SID in ACE"},
        {Hex("01 00 14 00 01 00 00 00 02 01 00 00 00 00 00 05 12 00 00 00"), "invalid SID in ACE"},
        {Hex("11 00 14 00 01 00 00 00 01 10 00 00 00 00 00 10 00 10 00 00"), "invalid SID in ACE"},
        {Hex("05 00 08 00 01 00 00 00"), "truncated object ACE"},
        {Hex("05 00 18 00 01 00 00 00 04 00 00 00" + kSy), "unsupported object ACE flags"},
        {Hex("05 00 18 00 01 00 00 00 01 00 00 00" + kSy), "truncated object ACE"},
        {Hex("05 00 1C 00 01 00 00 00 02 00 00 00" + kGuid1), "truncated SID in ACE"},
    };
    for (const auto& c : cases) {
        auto ace = Ace::Parse(c.bytes);
        ASSERT_FALSE(ace) << c.message;
        EXPECT_EQ(ace.error().Display(), c.message);
    }
}

TEST(Ace, MakeKeepsSizeAndFormConsistent) {
    EXPECT_EQ(Ace::Make(ace_type::kAccessAllowed, 0, OpaqueAceBody{{0, 0, 0, 0}}).error().Display(),
              "ACE body does not match its type");
    EXPECT_EQ(Ace::Make(ace_type::kAccessAllowedCallback, 0, BasicAceBody{1, well_known::World(), {'a', 'r'}})
                  .error()
                  .Display(),
              "ACE size is not a multiple of 4");
    EXPECT_EQ(Ace::Make(0x20, 0, OpaqueAceBody{std::vector<std::uint8_t>(Ace::kMaxSize)}).error().Display(),
              "ACE is too large");
    auto largest = Ace::Make(0x20, 0, OpaqueAceBody{std::vector<std::uint8_t>(Ace::kMaxSize - 4)});
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->size(), Ace::kMaxSize);
    EXPECT_THROW(Ace::Basic(ace_type::kAccessAllowedObject, 0, 1, well_known::World()), InternalFault);
}

TEST(Ace, SidBytesAreFoundAtAnyOffsetButNotCut) {
    // The SID right after the header, and the SID ending at the last byte.
    for (const auto& bytes : {Hex("13 00 14 00" + kAu + "00 00 00 00"), Hex("13 00 14 00 00 00 00 00" + kAu)}) {
        EXPECT_TRUE(ContainsSidBytes(bytes, well_known::AuthenticatedUsers()));
        EXPECT_FALSE(ContainsSidBytes(bytes, well_known::LocalSystem()));
    }
    auto cut = Hex(kAu);
    cut.pop_back();
    EXPECT_FALSE(ContainsSidBytes(cut, well_known::AuthenticatedUsers()));
    EXPECT_TRUE(ContainsSidBytes(Hex(kAu), well_known::AuthenticatedUsers()));
}

}  // namespace
}  // namespace telvo::winformat
