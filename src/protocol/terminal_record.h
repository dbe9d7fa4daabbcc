#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::protocol {

inline constexpr const char* kBackendErrorCode = "sandbox_backend_error";
inline constexpr const char* kBackendPanicCode = "sandbox_backend_panic";
inline constexpr const char* kPanicMessage = "the native sandbox helper aborted unexpectedly";

struct ExitRecord {
    std::int32_t exit_code = 0;
};

struct ErrorRecord {
    std::string code;
    std::string message;
};

using TerminalRecord = std::variant<ExitRecord, ErrorRecord>;

// The record's exact bytes: compact JSON in key order and one line feed.
Result<std::string> SerializeTerminalRecord(const TerminalRecord& record);

// Writes the record in one go under the standard-output lock; any failure is
// "could not serialize terminal record" with its cause.
Result<void> WriteTerminalRecord(platform::Platform& platform, const TerminalRecord& record);

}  // namespace telvo::protocol
