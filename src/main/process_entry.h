#pragma once

#include <cstdint>
#include <functional>

#include "main/dispatcher.h"
#include "platform/platform.h"

namespace telvo::app {

inline constexpr std::uint32_t kExitSuccess = 0;
inline constexpr std::uint32_t kExitError = 2;
inline constexpr std::uint32_t kExitRecordWriteFailed = 3;
inline constexpr std::uint32_t kExitPanic = 4;

// The process entry: runs the dispatcher inside the panic catch, turns the
// outcome into at most one terminal record and an exit code, and ends the
// process with it. Returns the code where ending the process returns (the
// simulated host).
std::uint32_t ProcessEntry(platform::Platform& platform);

// The same, with the dispatcher given (tests drive the outcome table with it).
std::uint32_t ProcessEntry(platform::Platform& platform,
                           const std::function<DispatchOutcome(platform::Platform&)>& dispatch);

}  // namespace telvo::app
