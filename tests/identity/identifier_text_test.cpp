#include "identity/identifier_text.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"

namespace telvo::identity {
namespace {

TEST(AppendLowerHex, WritesEachByteAsTwoLowerCaseDigits) {
    std::string text = "x";
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    AppendLowerHex(text, bytes);
    EXPECT_EQ(text, "x000fa0ff");
}

TEST(ParseCanonicalUuid, ReadsTheDigitsAsOneNumber) {
    auto uuid = ParseCanonicalUuid("00112233-4455-6677-8899-aabbccddeeff");
    ASSERT_TRUE(uuid) << uuid.error().Display();
    EXPECT_EQ(uuid->high, 0x0011223344556677u);
    EXPECT_EQ(uuid->low, 0x8899aabbccddeeffu);

    auto one = ParseCanonicalUuid("00000000-0000-0000-0000-000000000001");
    ASSERT_TRUE(one);
    EXPECT_EQ(*one, (Uuid{0, 1}));
}

TEST(ParseCanonicalUuid, RefusesNonCanonicalText) {
    for (const char* bad : {
             "00112233-4455-6677-8899-AABBCCDDEEFF",   // upper case
             "00112233-4455-6677-8899-aabbccddeeFf",
             "00112233-4455-6677-8899aabbccddeeff",    // missing hyphen
             "00112233-4455-6677-88990aabbccddeeff",   // hyphen replaced by a digit
             "001122334-455-6677-8899-aabbccddeeff",   // hyphen moved
             "00112233445566778899aabbccddeeff",       // 32 digits, no hyphens
             "{00112233-4455-6677-8899-aabbccddeeff}",
             "00112233-4455-6677-8899-aabbccddeeff0",
             "00112233-4455-6677-8899-aabbccddeefg",
             "",
         }) {
        auto result = ParseCanonicalUuid(bad);
        ASSERT_FALSE(result) << bad;
        EXPECT_EQ(result.error().Display(), "expected a canonical lowercase UUID") << bad;
    }
}

TEST(ParseCanonicalUuid, RefusesTheZeroUuid) {
    auto result = ParseCanonicalUuid("00000000-0000-0000-0000-000000000000");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().Display(), "zero UUID is not an identity");
}

TEST(NewUuidText, IsCanonicalVersionFourWithTheRfcVariant) {
    platform::sim::SimHost host;
    for (std::uint64_t seed : {0u, 1u, 2u, 3u}) {
        host.system().SeedRandom(seed);
        auto text = NewUuidText(host.platform().system);
        ASSERT_TRUE(text) << text.error().Display();
        EXPECT_TRUE(ParseCanonicalUuid(*text)) << *text;
        EXPECT_EQ((*text)[14], '4') << *text;
        EXPECT_NE(std::string_view("89ab").find((*text)[19]), std::string_view::npos) << *text;
    }
    auto first = NewUuidText(host.platform().system);
    auto second = NewUuidText(host.platform().system);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
}

TEST(NewUuidText, ReportsTheRandomSourceStatus) {
    platform::sim::SimHost host;
    host.faults().FailAlways("BCryptGenRandom", SysError::NtStatus(0xC000009A));
    auto text = NewUuidText(host.platform().system);
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().Display(), "BCryptGenRandom failed with NTSTATUS 0xc000009a");
}

TEST(SidToString, WritesTheTextWindowsWrites) {
    platform::sim::SimHost host;
    const auto sid = winformat::Sid::Make(15, {2, 1, 2, 3, 4, 5, 6, 4294967295u});
    auto text = SidToString(host.platform().appcontainer, sid);
    ASSERT_TRUE(text) << text.error().Display();
    EXPECT_EQ(*text, "S-1-15-2-1-2-3-4-5-6-4294967295");
    host.faults().FailAlways("ConvertSidToStringSidW", SysError::Win32(8));
    auto failed = SidToString(host.platform().appcontainer, sid);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().Display(), "ConvertSidToStringSidW failed with Win32 error 8");
}

}  // namespace
}  // namespace telvo::identity
