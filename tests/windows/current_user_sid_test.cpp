#include "support/forwarding_security.h"
#include "support/platform_with.h"
#include "windows/current_user_sid.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/sim/sim_host.h"

namespace telvo::windows {
namespace {

using platform::Handle;
using platform::sim::SimHost;

std::string ErrorOf(const Result<winformat::Sid>& result) {
    return result ? "(succeeded)" : result.error().Display();
}

TEST(CurrentUserSid, ReadsTheTokensUserWithOneProbeAndOneQuery) {
    SimHost host;
    const std::size_t handles = host.handles().OpenCount();
    auto user = CurrentUserSid(host.platform());
    ASSERT_TRUE(user) << user.error().Display();
    EXPECT_EQ(*user, host.security().TokenUser());
    EXPECT_EQ(host.faults().Count("GetTokenInformation"), 2u);
    EXPECT_EQ(host.handles().OpenCount(), handles);
}

TEST(CurrentUserSid, RefusesWhatIsNoUserSid) {
    SimHost host;
    const std::size_t handles = host.handles().OpenCount();
    const auto answer = [&](std::vector<std::uint8_t> bytes) {
        host.security().SetTokenUserAnswer(std::move(bytes));
        return ErrorOf(CurrentUserSid(host.platform()));
    };
    EXPECT_EQ(answer({}), "the current process token has no user SID");
    EXPECT_EQ(answer({1, 20, 0, 0, 0, 0, 0, 5}), "the current process token has no user SID");
    EXPECT_EQ(answer({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0, 0}), "the current process token has no user SID");
    // 16 + 16369 bytes is past the bound a user SID could ever need.
    EXPECT_EQ(answer(std::vector<std::uint8_t>(16368, 1)), "the current process token has no user SID");
    EXPECT_EQ(answer(std::vector<std::uint8_t>(16369, 1)), "GetTokenInformation returned an invalid user SID size");
    EXPECT_EQ(host.handles().OpenCount(), handles);
}

TEST(CurrentUserSid, NamesTheFailedCall) {
    SimHost host;
    const std::size_t handles = host.handles().OpenCount();
    const auto fail = [&](const char* call, std::uint64_t nth, std::uint32_t code) {
        host.faults().FailOn(call, host.faults().Count(call) + nth, SysError::Win32(code));
        return ErrorOf(CurrentUserSid(host.platform()));
    };
    EXPECT_EQ(fail("OpenProcessToken", 1, 5), "OpenProcessToken failed with Win32 error 5");
    EXPECT_EQ(fail("GetTokenInformation", 1, 5), "GetTokenInformation returned an invalid user SID size");
    // The probe must ask for a size: ERROR_INSUFFICIENT_BUFFER with no size is no answer.
    EXPECT_EQ(fail("GetTokenInformation", 1, 122), "GetTokenInformation returned an invalid user SID size");
    EXPECT_EQ(fail("GetTokenInformation", 2, 5), "GetTokenInformation(TokenUser) failed with Win32 error 5");
    EXPECT_EQ(host.handles().OpenCount(), handles);
}

// Token queries whose answers a test rewrites: `script` gets the buffer
// length asked for, the sim's answer and its return length.
using TokenScript = std::function<SysResult<platform::TokenInformation>(
    std::uint32_t, SysResult<platform::TokenInformation>, std::uint32_t&)>;

class ScriptedToken final : public telvo::testing::ForwardingSecurity {
public:
    ScriptedToken(platform::Security& inner, TokenScript script)
        : ForwardingSecurity(inner), script_(std::move(script)) {}

    SysResult<platform::TokenInformation> GetTokenInformation(Handle token, std::uint32_t information_class,
                                                              std::uint32_t buffer_length,
                                                              std::uint32_t& return_length) override {
        auto read = inner_.GetTokenInformation(token, information_class, buffer_length, return_length);
        return script_(buffer_length, std::move(read), return_length);
    }

private:
    TokenScript script_;
};

Result<winformat::Sid> ScriptedCurrentUserSid(SimHost& host, TokenScript script) {
    ScriptedToken security(host.platform().security, std::move(script));
    platform::Platform scripted = telvo::testing::PlatformWith(host.platform(), {.security = &security});
    return CurrentUserSid(scripted);
}

TEST(CurrentUserSid, TheProbeMustAskForABuffer) {
    SimHost host;
    // A probe that fails otherwise is no size, whatever length it reports.
    auto user = ScriptedCurrentUserSid(host, [](std::uint32_t length, auto read, std::uint32_t&) {
        if (length == 0) return SysResult<platform::TokenInformation>(std::unexpected(SysError::Win32(5)));
        return read;
    });
    EXPECT_EQ(ErrorOf(user), "GetTokenInformation returned an invalid user SID size");
}

TEST(CurrentUserSid, QueriesAgainWhileTheSizeGrowsButNotForever) {
    for (const int growths : {2, 3}) {
        SimHost host;
        const std::size_t handles = host.handles().OpenCount();
        int left = growths;
        auto user = ScriptedCurrentUserSid(host, [&](std::uint32_t length, auto read, std::uint32_t& needed) {
            if (length == 0 || left == 0) return read;
            --left;
            needed = length + 4;
            return SysResult<platform::TokenInformation>(
                std::unexpected(SysError::Win32(platform::win32_error::kInsufficientBuffer)));
        });
        if (growths == 2) {
            ASSERT_TRUE(user) << user.error().Display();
            EXPECT_EQ(*user, host.security().TokenUser());
        } else {
            EXPECT_EQ(ErrorOf(user), "GetTokenInformation(TokenUser) changed size repeatedly");
        }
        EXPECT_EQ(host.faults().Count("GetTokenInformation"), 4u);
        EXPECT_EQ(host.handles().OpenCount(), handles);
    }
}

}  // namespace
}  // namespace telvo::windows
