#include "windows/current_user_sid.h"

#include <optional>
#include <vector>

#include "common/size_probe.h"
#include "platform/security.h"
#include "platform/unique_handle.h"

namespace telvo::windows {

namespace {

using Step = TokenUserFailure::Step;

// TOKEN_USER is 16 bytes before its SID; a SID is at most 68 bytes, so the
// upper bound is generous and only keeps a nonsense answer from allocating.
constexpr std::uint32_t kMinTokenUserSize = 16;
constexpr std::uint32_t kMaxTokenUserSize = 16384;

bool PlausibleSize(std::uint32_t size) { return size >= kMinTokenUserSize && size <= kMaxTokenUserSize; }

std::unexpected<TokenUserFailure> Failure(Step step, SysError sys = SysError::Win32(0)) {
    return std::unexpected(TokenUserFailure{step, sys});
}

}  // namespace

std::expected<winformat::Sid, TokenUserFailure> ReadProcessTokenUser(platform::Platform& platform) {
    auto opened = platform.security.OpenProcessToken(platform::kCurrentProcess, platform::token_access::kQuery);
    if (!opened) return Failure(Step::open, opened.error());
    const platform::UniqueHandle token(platform.kernel, *opened);

    std::uint32_t needed = 0;
    auto probe = platform.security.GetTokenInformation(token.get(), platform::token_information::kUser, 0, needed);
    if (probe || probe.error() != SysError::Win32(platform::win32_error::kInsufficientBuffer)) {
        return Failure(Step::size, probe ? SysError::Win32(0) : probe.error());
    }
    if (!PlausibleSize(needed)) return Failure(Step::size, probe.error());

    // The seam owns the buffer, so the probe's buffer only carries the size
    // to ask for; the answer and the failed step are kept here, and the
    // probe's own error only says that it stopped.
    std::optional<platform::TokenInformation> user;
    std::optional<TokenUserFailure> failure;
    auto probed = ProbeSized(needed, kSizeProbeAttempts, "token user changed size repeatedly",
                             [&](std::span<std::uint8_t> buffer) -> Result<std::optional<std::size_t>> {
        std::uint32_t length = 0;
        auto read = platform.security.GetTokenInformation(token.get(), platform::token_information::kUser,
                                                          static_cast<std::uint32_t>(buffer.size()), length);
        if (read) {
            user = std::move(*read);
            return std::nullopt;
        }
        const bool grew = read.error() == SysError::Win32(platform::win32_error::kInsufficientBuffer);
        if (grew && PlausibleSize(length)) return std::optional<std::size_t>(length);
        failure = TokenUserFailure{grew ? Step::size : Step::query, read.error()};
        return Fail("token user query stopped");
    });
    if (failure) return std::unexpected(*failure);
    if (!probed) return Failure(Step::changed);

    auto sid = winformat::Sid::FromBytes(user->bytes);
    if (!sid) return Failure(Step::sid);
    return std::move(*sid);
}

Result<winformat::Sid> CurrentUserSid(platform::Platform& platform) {
    auto user = ReadProcessTokenUser(platform);
    if (user) return std::move(*user);
    switch (user.error().step) {
        case Step::open:
            return FailSys("OpenProcessToken", user.error().sys);
        case Step::size:
            return Fail("GetTokenInformation returned an invalid user SID size");
        case Step::query:
            return FailSys("GetTokenInformation(TokenUser)", user.error().sys);
        case Step::changed:
            return Fail("GetTokenInformation(TokenUser) changed size repeatedly");
        case Step::sid:
            break;
    }
    return Fail("the current process token has no user SID");
}

}  // namespace telvo::windows
