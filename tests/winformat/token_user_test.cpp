#include "winformat/token_user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/security.h"
#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"

namespace telvo::winformat {
namespace {

TEST(TokenUser, ReadsTheSidThatTheTokenReports) {
    platform::sim::SimHost host;
    auto& security = host.platform().security;
    auto token = security.OpenProcessToken(platform::token_access::kQuery);
    ASSERT_TRUE(token);
    platform::UniqueHandle guard(host.platform().kernel, *token);
    std::uint32_t needed = 0;
    auto probe = security.GetTokenInformation(*token, platform::token_information::kUser, {}, needed);
    ASSERT_FALSE(probe);
    EXPECT_EQ(probe.error(), SysError::Win32(platform::win32_error::kInsufficientBuffer));
    std::vector<std::uint8_t> buffer(needed);
    ASSERT_TRUE(security.GetTokenInformation(*token, platform::token_information::kUser, buffer, needed));
    EXPECT_EQ(SidOfTokenUser(buffer), host.security().TokenUser());
}

TEST(TokenUser, RefusesPointersOutsideTheBuffer) {
    std::vector<std::uint8_t> buffer(40, 0);
    EXPECT_FALSE(SidOfTokenUser(buffer));  // null pointer
    const std::uintptr_t outside = reinterpret_cast<std::uintptr_t>(buffer.data()) + buffer.size();
    std::memcpy(buffer.data(), &outside, sizeof outside);
    EXPECT_FALSE(SidOfTokenUser(buffer));
    // Pointing at a SID header whose sub-authorities run past the end.
    const std::uintptr_t near_end = reinterpret_cast<std::uintptr_t>(buffer.data()) + 28;
    std::memcpy(buffer.data(), &near_end, sizeof near_end);
    buffer[28] = 1;
    buffer[29] = 5;
    EXPECT_FALSE(SidOfTokenUser(buffer));
    EXPECT_FALSE(SidOfTokenUser(std::span<const std::uint8_t>(buffer).first(4)));
}

}  // namespace
}  // namespace telvo::winformat
