#include <gtest/gtest.h>

#include <cstdint>

#include "contract/contract_host.h"
#include "platform/console.h"

namespace telvo::contract {
namespace {

using platform::StdStream;

// A stream may hold INVALID_HANDLE_VALUE or nothing; either comes back as the
// value, whatever last error an earlier call left.
TEST(ConsoleContract, StandardHandleValuesComeBackAsHeld) {
    auto host = MakeContractHost();
    auto& console = host->platform().console;
    const auto original = console.GetStdHandle(StdStream::error);
    ASSERT_TRUE(original);

    ASSERT_TRUE(host->SetStandardHandle(StdStream::error, platform::kInvalidHandle));
    const auto invalid = console.GetStdHandle(StdStream::error);
    ASSERT_TRUE(host->SetStandardHandle(StdStream::error, platform::kNullHandle));
    const auto none = console.GetStdHandle(StdStream::error);
    ASSERT_TRUE(host->SetStandardHandle(StdStream::error, *original));

    ASSERT_TRUE(invalid) << invalid.error().code;
    EXPECT_EQ(*invalid, platform::kInvalidHandle);
    ASSERT_TRUE(none) << none.error().code;
    EXPECT_EQ(*none, platform::kNullHandle);
}

TEST(ConsoleContract, AnUnknownStreamFails) {
    auto host = MakeContractHost();
    const auto handle = host->platform().console.GetStdHandle(static_cast<StdStream>(static_cast<std::uint32_t>(-13)));
    ASSERT_FALSE(handle);
    EXPECT_EQ(handle.error(), SysError::Win32(platform::win32_error::kInvalidHandle));
}

}  // namespace
}  // namespace telvo::contract
