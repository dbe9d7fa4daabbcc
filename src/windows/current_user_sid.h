#pragma once

#include <cstdint>
#include <expected>

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/sid.h"

namespace telvo::windows {

// Why reading the process token's user SID failed, so that each caller can
// word it in its own terms.
struct TokenUserFailure {
    enum class Step : std::uint8_t {
        open,     // OpenProcessToken(TOKEN_QUERY) failed: `sys`
        size,     // the size probe did not fail with ERROR_INSUFFICIENT_BUFFER
                  // (`sys`, Win32 0 when it succeeded) or reported a size
                  // outside 16..16384 bytes
        query,    // the sized GetTokenInformation(TokenUser) failed: `sys`
        changed,  // the size grew on every sized query
        sid,      // the token handed back no SID, or bytes that are not one
    };
    Step step = Step::open;
    SysError sys;
};

// The one read of the process token's user SID (TokenUser): opens the token
// for TOKEN_QUERY, probes the size, and queries it in a buffer of that size,
// again when the size grew in between (a bounded number of times). The token
// handle is closed on every path.
std::expected<winformat::Sid, TokenUserFailure> ReadProcessTokenUser(platform::Platform& platform);

// The process token's user SID, failures worded as "OpenProcessToken failed
// with Win32 error <n>", "GetTokenInformation returned an invalid user SID
// size", "GetTokenInformation(TokenUser) failed with Win32 error <n>",
// "GetTokenInformation(TokenUser) changed size repeatedly" and "the current
// process token has no user SID".
Result<winformat::Sid> CurrentUserSid(platform::Platform& platform);

}  // namespace telvo::windows
