#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::protocol {

inline constexpr std::uint32_t kProtocolVersion = 1;
inline constexpr std::uint32_t kMaxRequestLength = 1048576;

enum class RunMode { read_only, workspace_write };

struct Run {
    std::uint32_t protocol_version = 0;
    std::string command;
    std::string cwd;
    std::string root;
    RunMode mode = RunMode::read_only;
    std::vector<std::string> readable_roots;
    std::vector<std::string> private_paths;
    bool network_access = false;
};

struct Recover {
    std::uint32_t protocol_version = 0;
};

using Request = std::variant<Run, Recover>;

// Reads one framed request from standard input under the standard-input
// lock, decodes it and checks its version. Reads nothing after the body:
// standard input stays open for the parent-death monitor. A standard input
// that is missing or invalid, or a pipe whose writer has gone, is end of
// input: "failed to fill whole buffer".
Result<Request> ReadControllerRequest(platform::Platform& platform);

// Decodes one request body: exactly one JSON value (no byte-order mark),
// followed by whitespace only. The error is the parser's message, naming the
// offending key or value and its position. The version is not checked here.
Result<Request> DecodeRequest(std::string_view body);

// The protocol version the request carries, whatever its variant.
std::uint32_t ProtocolVersionOf(const Request& request);

}  // namespace telvo::protocol
