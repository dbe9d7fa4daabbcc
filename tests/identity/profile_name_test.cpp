#include "identity/profile_name.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "identity/hex_text.h"
#include "platform/sim/sim_host.h"

namespace telvo::identity {
namespace {

using platform::sim::SimHost;

TEST(NewProfileName, IsPrefixAndSixteenRandomBytesInLowerCaseHex) {
    SimHost host;
    host.system().SeedRandom(42);
    SimHost twin;
    twin.system().SeedRandom(42);
    std::array<std::uint8_t, 16> bytes{};
    ASSERT_TRUE(twin.platform().system.BCryptGenRandom(bytes, platform::bcrypt_flag::kUseSystemPreferredRng));
    std::string expected = "Telvo.Sandbox.";
    AppendLowerHex(expected, bytes);

    auto name = NewProfileName(host.platform().system);
    ASSERT_TRUE(name) << name.error().Display();
    EXPECT_EQ(*name, expected);
    EXPECT_EQ(name->size(), 46u);
    EXPECT_TRUE(ValidateProfileName(*name));

    auto next = NewProfileName(host.platform().system);
    ASSERT_TRUE(next);
    EXPECT_NE(*next, *name);
}

TEST(NewProfileName, ReportsTheRandomSourceStatus) {
    SimHost host;
    host.faults().FailOn("BCryptGenRandom", 1, SysError::NtStatus(0xC0000001));
    auto name = NewProfileName(host.platform().system);
    ASSERT_FALSE(name);
    EXPECT_EQ(name.error().Display(), "BCryptGenRandom failed with NTSTATUS 0xc0000001");
}

TEST(ValidateProfileName, AcceptsDigitsOfEitherCase) {
    EXPECT_TRUE(ValidateProfileName("Telvo.Sandbox.0123456789abcdef0123456789abcdef"));
    EXPECT_TRUE(ValidateProfileName("Telvo.Sandbox.0123456789ABCDEF0123456789AbCdEf"));
}

TEST(ValidateProfileName, RefusesAnythingElse) {
    const std::string digits(32, 'a');
    for (const std::string& bad : {
             "Telvo.Sandbox." + digits.substr(1),         // 45 bytes
             "Telvo.Sandbox." + digits + "0",             // 47 bytes
             "telvo.sandbox." + digits,                   // prefix differs in case only
             "Telvo-Sandbox." + digits,                   // wrong prefix
             "Telvo.Sandbox." + digits.substr(1) + "g",   // not a hexadecimal digit
             "Telvo.Sandbox." + digits.substr(2) + "\xC3\xA9",  // non-ASCII, 46 bytes
             "Telvo.Sandbox." + digits.substr(1) + std::string(1, '\0'),
             std::string(),
         }) {
        auto result = ValidateProfileName(bad);
        ASSERT_FALSE(result) << bad;
        EXPECT_EQ(result.error().Display(), "invalid Telvo AppContainer profile name");
    }
}

}  // namespace
}  // namespace telvo::identity
