#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::network_broker {

// The process at the other end of the broker pipe, once proved: its handle
// (SYNCHRONIZE, PROCESS_QUERY_LIMITED_INFORMATION, PROCESS_DUP_HANDLE), its
// id and creation time, and its user, the same in the token it impersonated
// and in its process token.
struct AuthenticatedClient {
    platform::UniqueHandle process;
    std::uint32_t process_id = 0;
    std::uint64_t creation = 0;
    std::string user_sid;
};

// Authenticates the client of `pipe`, whose request has been read. The
// calling thread impersonates the client only while it reads the client's
// token; should it fail to revert, the process ends at once with a
// fail-fast, so that it never goes on under the client's identity.
Result<AuthenticatedClient> AuthenticateClient(platform::Platform& platform, platform::Handle pipe);

}  // namespace telvo::network_broker
