#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::protocol {

inline constexpr const char* kBackendErrorCode = "sandbox_backend_error";
inline constexpr const char* kBackendPanicCode = "sandbox_backend_panic";
inline constexpr const char* kPanicMessage = "the native sandbox helper aborted unexpectedly";

// Written in place of a record that cannot be serialized: fixed bytes that
// need no serializer.
inline constexpr std::string_view kUnserializableRecord =
    "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\","
    "\"message\":\"could not serialize terminal record\"}\n";

struct ExitRecord {
    std::int32_t exit_code = 0;
};

struct ErrorRecord {
    std::string code;
    std::string message;
};

using TerminalRecord = std::variant<ExitRecord, ErrorRecord>;

// Writes all bytes to standard output, in one WriteFile where the pipe takes
// them. A missing or invalid standard output swallows the bytes.
Result<void> WriteAllToStandardOutput(platform::Platform& platform, std::string_view bytes);

// The record's exact bytes: compact JSON in key order and one line feed. A
// message that is not valid UTF-8 cannot be serialized.
Result<std::string> SerializeTerminalRecord(const TerminalRecord& record);

// The one writer of standard output in controller mode. The process entry
// owns the only one of its process; every thread that ends the process goes
// through it, so the process writes at most one record.
class TerminalRecordWriter {
public:
    explicit TerminalRecordWriter(platform::Platform& platform) : platform_(platform) {}
    TerminalRecordWriter(const TerminalRecordWriter&) = delete;
    TerminalRecordWriter& operator=(const TerminalRecordWriter&) = delete;

    // Writes the record in one go under the standard-output lock. A standard
    // output that is missing or invalid swallows it (the write counts as
    // done). Once any byte of a record was attempted, whatever became of
    // it, no further record is written. A record that cannot be serialized
    // is replaced by kUnserializableRecord. Every failure is
    // "could not serialize terminal record" with its cause.
    Result<void> Write(const TerminalRecord& record);

private:
    platform::Platform& platform_;
    // Recursive: a terminate handler that runs on the thread holding the lock
    // finds the record started and writes nothing.
    std::recursive_mutex stdout_lock_;
    bool record_started_ = false;
};

}  // namespace telvo::protocol
