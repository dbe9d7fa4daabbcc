#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::network_broker {

// A monotonic instant: milliseconds of the system's tick count
// (GetTickCount64), which never goes back.
struct PipeDeadline {
    std::uint64_t at_ms = 0;

    // The deadline `milliseconds` from now.
    static PipeDeadline After(platform::Platform& platform, std::uint64_t milliseconds);
    // Whole milliseconds left; 0 once the deadline has passed.
    std::uint64_t Left(platform::Platform& platform) const;
};

// How long a cancelled pipe operation is waited for.
inline constexpr std::uint32_t kCancelledOperationWaitMs = 5000;

// Moves the whole buffer through an overlapped pipe handle before the
// deadline, chunk by chunk, each chunk with a fresh unnamed manual-reset
// event, waited for with GetOverlappedResultEx (never INFINITE). Fails with
// "offline-network pipe deadline expired" once no time is left, with
// "network pipe frame ended early" when a chunk moves nothing, or with the
// Win32 error of the failing call ("CreateEventW(pipe operation)",
// "network pipe transfer", "GetOverlappedResultEx(network pipe)"). A failed
// wait cancels the operation and waits 5000 ms for it; should it still be
// under way, it may yet write into the buffer, and the process ends at once
// with a fail-fast.
Result<void> ReadPipe(platform::Platform& platform, platform::Handle pipe, std::span<std::byte> buffer,
                      PipeDeadline deadline);
Result<void> WritePipe(platform::Platform& platform, platform::Handle pipe, std::span<const std::byte> bytes,
                       PipeDeadline deadline);

}  // namespace telvo::network_broker
