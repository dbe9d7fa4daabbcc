#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "common/error.h"

namespace telvo::network_broker {

// The messages of the broker pipe: one request from the client, one reply
// from the service, each a JSON object in one frame.

inline constexpr std::uint32_t kProtocolVersion = 1;
inline constexpr std::uint32_t kPolicyVersion = 1;

// `BrokerRequest`, tagged by "operation".
struct StatusRequest {
    std::uint32_t protocol_version = kProtocolVersion;
    bool operator==(const StatusRequest&) const = default;
};
struct RegisterRequest {
    std::uint32_t protocol_version = kProtocolVersion;
    std::string profile_name;
    std::uint32_t process_id = 0;
    std::uint64_t job_handle = 0;  // the client's own handle value to the sandbox Job
    bool operator==(const RegisterRequest&) const = default;
};
struct RecoverRequest {
    std::uint32_t protocol_version = kProtocolVersion;
    std::string profile_name;
    bool operator==(const RecoverRequest&) const = default;
};
struct ReleaseRequest {
    std::uint32_t protocol_version = kProtocolVersion;
    std::string profile_name;
    std::string lease_id;
    std::uint64_t job_handle = 0;
    bool operator==(const ReleaseRequest&) const = default;
};
using BrokerRequest = std::variant<StatusRequest, RegisterRequest, RecoverRequest, ReleaseRequest>;

// `BrokerResult`, tagged by "kind".
struct StatusResult {
    std::uint64_t active_leases = 0;
    std::uint64_t retained_leases = 0;
    bool operator==(const StatusResult&) const = default;
};
struct RegisteredResult {
    std::string lease_id;
    std::array<std::uint64_t, 4> filter_ids{};  // in filter-slot order
    bool operator==(const RegisteredResult&) const = default;
};
struct ReleasedResult {
    bool operator==(const ReleasedResult&) const = default;
};
struct RecoveredResult {
    bool operator==(const RecoveredResult&) const = default;
};
struct ErrorResult {
    std::string message;
    bool operator==(const ErrorResult&) const = default;
};
using BrokerResult = std::variant<StatusResult, RegisteredResult, ReleasedResult, RecoveredResult, ErrorResult>;

// `BrokerReply`.
struct BrokerReply {
    std::uint32_t protocol_version = kProtocolVersion;
    std::uint32_t policy_version = kPolicyVersion;
    std::uint32_t service_pid = 0;
    BrokerResult result;
    bool operator==(const BrokerReply&) const = default;
};

// Compact JSON text: the tag first, then the fields in their declared order.
// Fails only for text that is not valid UTF-8.
Result<std::string> EncodeBrokerRequest(const BrokerRequest& request);
Result<std::string> EncodeBrokerReply(const BrokerReply& reply);

// Strict decoding of one JSON value (only whitespace may follow it). Fields
// may come in any order; a missing or unknown field, a missing tag, a tag
// value not listed, a wrong type, or a `filterIds` array of other than four
// elements is refused with the JSON layer's message.
Result<BrokerRequest> DecodeBrokerRequest(std::string_view text);
Result<BrokerReply> DecodeBrokerReply(std::string_view text);

}  // namespace telvo::network_broker
