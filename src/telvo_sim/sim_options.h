#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace telvo::telvo_sim {

// The N-th use of a seam call fails with a chosen code.
struct PlannedFailure {
    std::string call;
    std::uint64_t nth = 0;
    SysError error;
};

// What telvo-sim was asked to do:
//   telvo-sim [--host FILE] [--state-out FILE] [--changes] [--fail CALL:N:CODE]...
//             [--crash-after N] [--calls-out FILE] [--] [helper arguments...]
// Options may also be written --name=value. The first argument that is not
// an option (or everything after "--") is handed to the helper.
struct SimOptions {
    std::optional<std::string> host_file;
    std::optional<std::string> state_out;
    bool changes = false;
    std::vector<PlannedFailure> failures;
    std::optional<std::uint64_t> crash_after;
    std::optional<std::string> calls_out;
    std::vector<std::string> helper_arguments;
};

// Refuses an unknown option, an option given twice (but --fail), a missing
// or malformed value, and a --fail code of the wrong kind for its call
// (decimal for a Win32 error, 0x-hexadecimal for an HRESULT or NTSTATUS).
Result<SimOptions> ParseSimOptions(const std::vector<std::string>& arguments);

inline constexpr char kUsage[] =
    "usage: telvo-sim [--host FILE] [--state-out FILE] [--changes] [--fail CALL:N:CODE]...\n"
    "                 [--crash-after N] [--calls-out FILE] [--] [helper arguments...]\n";

}  // namespace telvo::telvo_sim
