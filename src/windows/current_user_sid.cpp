#include "windows/current_user_sid.h"

#include <vector>

#include "platform/security.h"
#include "platform/unique_handle.h"
#include "winformat/token_user.h"

namespace telvo::windows {

namespace {
// TOKEN_USER is 16 bytes before its SID; a SID is at most 68 bytes, so the
// upper bound is generous and only keeps a nonsense answer from allocating.
constexpr std::uint32_t kMinTokenUserSize = 16;
constexpr std::uint32_t kMaxTokenUserSize = 16384;
}  // namespace

Result<winformat::Sid> CurrentUserSid(platform::Platform& platform) {
    auto opened = platform.security.OpenProcessToken(platform::token_access::kQuery);
    if (!opened) return FailSys("OpenProcessToken", opened.error());
    const platform::UniqueHandle token(platform.kernel, *opened);

    std::uint32_t needed = 0;
    (void)platform.security.GetTokenInformation(token.get(), platform::token_information::kUser, {}, needed);
    if (needed < kMinTokenUserSize || needed > kMaxTokenUserSize) {
        return Fail("GetTokenInformation returned an invalid user SID size");
    }
    std::vector<std::uint8_t> buffer(needed);
    auto read = platform.security.GetTokenInformation(token.get(), platform::token_information::kUser, buffer, needed);
    if (!read) return FailSys("GetTokenInformation(TokenUser)", read.error());
    auto sid = winformat::SidOfTokenUser(buffer);
    if (!sid) return Fail("the current process token has no user SID");
    return std::move(*sid);
}

}  // namespace telvo::windows
