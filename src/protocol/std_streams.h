#pragma once

#include <cstddef>
#include <mutex>
#include <span>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::protocol {

// Process-wide locks of the standard streams: one reader of standard input
// and one writer of standard output at a time.
std::mutex& StandardInputLock();
std::mutex& StandardOutputLock();

// Standard input as an exact byte reader. A missing or invalid handle and a
// closed pipe read as end of input.
class StandardInput {
public:
    explicit StandardInput(platform::Platform& platform) : platform_(platform) {}

    // Fills the whole buffer; at end of input: "failed to fill whole buffer".
    Result<void> ReadExact(std::span<std::byte> buffer);

private:
    platform::Platform& platform_;
};

// Writes all bytes to standard output in one WriteFile where the pipe takes
// them. A missing or invalid standard output swallows the bytes.
Result<void> WriteAllToStandardOutput(platform::Platform& platform, std::string_view bytes);

}  // namespace telvo::protocol
