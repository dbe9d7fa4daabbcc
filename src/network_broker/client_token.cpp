#include "network_broker/client_token.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "common/size_probe.h"
#include "common/try.h"
#include "winformat/little_endian.h"

namespace telvo::network_broker {

namespace {

using namespace platform;

// The last sub-authority of an integrity SID above this is medium or higher.
constexpr std::uint32_t kBelowMediumIntegrity = 0x1FFF;
constexpr std::uint32_t kDwordClassSize = 4;

Error InvalidSize(std::uint32_t information_class) {
    return Error("invalid token information size for class " + std::to_string(information_class));
}

}  // namespace

Result<TokenInformation> ReadTokenClass(Platform& platform, Handle token, std::uint32_t information_class,
                                        std::string_view operation) {
    std::uint32_t needed = 0;
    auto probe = platform.security.GetTokenInformation(token, information_class, 0, needed);
    if (probe || probe.error() != SysError::Win32(win32_error::kInsufficientBuffer)) {
        if (!probe) return FailSys(operation, probe.error());
        return Fail(InvalidSize(information_class));
    }
    const auto bounded = [&](std::uint32_t size) -> Result<std::size_t> {
        if (size == 0 || size > kMaxTokenInformationBytes) return Fail(InvalidSize(information_class));
        return size;
    };
    TELVO_TRY_ASSIGN(const std::size_t first, bounded(needed));
    std::optional<TokenInformation> answer;
    TELVO_TRY(ProbeSized(first, kSizeProbeAttempts, "token information changed size repeatedly",
                         [&](std::vector<std::uint8_t>& buffer) -> Result<std::optional<std::size_t>> {
                             std::uint32_t returned = 0;
                             auto read = platform.security.GetTokenInformation(
                                 token, information_class, static_cast<std::uint32_t>(buffer.size()), returned);
                             if (read) {
                                 answer = std::move(*read);
                                 return std::nullopt;
                             }
                             if (read.error() != SysError::Win32(win32_error::kInsufficientBuffer)) {
                                 return FailSys(operation, read.error());
                             }
                             TELVO_TRY_ASSIGN(const std::size_t grown, bounded(returned));
                             return std::optional<std::size_t>(grown);
                         }));
    return std::move(*answer);
}

Result<bool> ReadTokenFlag(Platform& platform, Handle token, std::uint32_t information_class,
                           std::string_view operation) {
    TELVO_TRY_ASSIGN(const TokenInformation flag, ReadTokenClass(platform, token, information_class, operation));
    if (flag.bytes.size() != kDwordClassSize) return Fail(InvalidSize(information_class));
    return std::any_of(flag.bytes.begin(), flag.bytes.end(), [](std::uint8_t byte) { return byte != 0; });
}

Result<winformat::Sid> ReadTokenSid(Platform& platform, Handle token, std::uint32_t information_class,
                                    std::string_view operation) {
    TELVO_TRY_ASSIGN(const TokenInformation answer, ReadTokenClass(platform, token, information_class, operation));
    auto sid = winformat::Sid::FromBytes(answer.bytes);
    if (!sid) return Fail(InvalidSize(information_class));
    return std::move(*sid);
}

Result<std::string> CheckClientToken(Platform& platform, Handle token) {
    TELVO_TRY_ASSIGN(const bool app_container,
                     ReadTokenFlag(platform, token, token_information::kIsAppContainer,
                                   "GetTokenInformation(TokenIsAppContainer)"));
    if (app_container) return Fail("AppContainer clients cannot control offline-network leases");

    TELVO_TRY_ASSIGN(const winformat::Sid integrity,
                     ReadTokenSid(platform, token, token_information::kIntegrityLevel,
                                  "GetTokenInformation(TokenIntegrityLevel)"));
    if (integrity.sub_authority_count() == 0) return Fail("invalid client integrity SID");
    if (integrity.sub_authority(integrity.sub_authority_count() - 1u) <= kBelowMediumIntegrity) {
        return Fail("offline-network client requires medium or higher integrity");
    }

    TELVO_TRY_ASSIGN(const TokenInformation groups,
                     ReadTokenClass(platform, token, token_information::kGroups, "GetTokenInformation(TokenGroups)"));
    if (groups.bytes.size() != kDwordClassSize) return Fail(InvalidSize(token_information::kGroups));
    const std::uint32_t count = winformat::le::Read32(groups.bytes, 0);
    if (count > kMaxClientTokenGroups || count != groups.groups.size()) return Fail("invalid token group count");
    const winformat::Sid authenticated = winformat::well_known::AuthenticatedUsers();
    const bool authenticated_user = std::any_of(groups.groups.begin(), groups.groups.end(), [&](const TokenGroupEntry& group) {
        return std::equal(group.sid.begin(), group.sid.end(), authenticated.bytes().begin(), authenticated.bytes().end());
    });
    if (!authenticated_user) return Fail("offline-network client is not an authenticated user");

    TELVO_TRY_ASSIGN(const winformat::Sid user,
                     ReadTokenSid(platform, token, token_information::kUser, "GetTokenInformation(TokenUser)"));
    return user.ToString();
}

}  // namespace telvo::network_broker
