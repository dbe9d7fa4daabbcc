#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/sid.h"

namespace telvo::network_broker {

// What the broker reads of tokens: one information class at a time, sized
// by a probe and bounded, checked for the size the class must have.
inline constexpr std::uint32_t kMaxTokenInformationBytes = 64 * 1024;
inline constexpr std::size_t kMaxClientTokenGroups = 4096;

Result<platform::TokenInformation> ReadTokenClass(platform::Platform& platform, platform::Handle token,
                                                  std::uint32_t information_class, std::string_view operation);
// A one-DWORD class (TokenIsAppContainer and the like) as a flag.
Result<bool> ReadTokenFlag(platform::Platform& platform, platform::Handle token, std::uint32_t information_class,
                           std::string_view operation);
// The SID a class hands back (TokenUser, TokenIntegrityLevel, TokenAppContainerSid).
Result<winformat::Sid> ReadTokenSid(platform::Platform& platform, platform::Handle token,
                                    std::uint32_t information_class, std::string_view operation);

// The check every token of a client passes, in order: no AppContainer,
// medium integrity or higher, at most 4096 groups among them Authenticated
// Users. Returns the token user's SID text.
Result<std::string> CheckClientToken(platform::Platform& platform, platform::Handle token);

}  // namespace telvo::network_broker
