#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.h"

namespace telvo::protocol {

inline constexpr std::uint32_t kProtocolVersion = 1;

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

// Decodes one request body. Only whitespace may follow the value; the error
// is the parser's message, naming the offending key or value and its position.
Result<Request> DecodeRequest(std::string_view body);

// The protocol version the request carries, whatever its variant.
std::uint32_t ProtocolVersionOf(const Request& request);

}  // namespace telvo::protocol
