#pragma once

#include <cstdint>
#include <functional>

#include "main/dispatcher.h"
#include "platform/platform.h"
#include "protocol/terminal_record.h"

namespace telvo::app {

inline constexpr std::uint32_t kExitSuccess = 0;
inline constexpr std::uint32_t kExitError = 2;
inline constexpr std::uint32_t kExitRecordWriteFailed = 3;
inline constexpr std::uint32_t kExitPanic = 4;

// The process entry: installs the terminate handler, runs the dispatcher
// inside the panic catch, turns the outcome into at most one terminal record
// and an exit code, and ends the process with it. Returns the code where
// ending the process returns (the simulated host).
std::uint32_t ProcessEntry(platform::Platform& platform);

// The same, with the dispatcher given (tests drive the outcome table with it).
std::uint32_t ProcessEntry(platform::Platform& platform,
                           const std::function<DispatchOutcome(platform::Platform&)>& dispatch);

// What the terminate handler does when a fault escapes any thread of the
// process: writes the panic record through the process's one writer (nothing
// when a record was already started) and ends the process with the panic
// code. Nothing reaches standard error. Returns only on the simulated host;
// the installed handler then ends the test process with the panic code.
std::uint32_t EndWithPanic(platform::Platform& platform, protocol::TerminalRecordWriter& writer);

}  // namespace telvo::app
