#include "network_broker/pipe_transfer.h"

#include <algorithm>
#include <variant>

#include "common/try.h"
#include "platform/unique_handle.h"

namespace telvo::network_broker {

namespace {

using platform::Handle;
using platform::Overlapped;
using platform::Platform;
using platform::UniqueHandle;
namespace win32_error = platform::win32_error;

// The longest wait that is not INFINITE.
constexpr std::uint64_t kLongestFiniteWaitMs = 0xFFFFFFFE;

using Buffer = std::variant<std::span<std::byte>, std::span<const std::byte>>;

std::size_t SizeOf(const Buffer& buffer) {
    return std::visit([](const auto& span) { return span.size(); }, buffer);
}

SysResult<void> Start(Platform& platform, Handle pipe, const Buffer& buffer, std::size_t offset,
                      Overlapped& overlapped) {
    if (const auto* read = std::get_if<std::span<std::byte>>(&buffer)) {
        return platform.pipes.ReadFile(pipe, read->subspan(offset), overlapped);
    }
    return platform.pipes.WriteFile(pipe, std::get<std::span<const std::byte>>(buffer).subspan(offset), overlapped);
}

// One chunk: started, then collected; the bytes it moved.
Result<std::uint32_t> TransferChunk(Platform& platform, Handle pipe, const Buffer& buffer, std::size_t offset,
                                    PipeDeadline deadline) {
    TELVO_TRY_ASSIGN(const Handle event_handle, Lift("CreateEventW(pipe operation)",
                                                     platform.pipes.CreateEventW(/*manual_reset=*/true,
                                                                                 /*initial_state=*/false)));
    const UniqueHandle event(platform.kernel, event_handle);
    Overlapped overlapped{};
    overlapped.event = event.get();

    if (auto started = Start(platform, pipe, buffer, offset, overlapped);
        !started && started.error() != SysError::Win32(win32_error::kIoPending)) {
        return FailSys("network pipe transfer", started.error());
    }

    std::uint64_t left = deadline.Left(platform);
    if (left == 0) left = 1;
    const auto wait = static_cast<std::uint32_t>(std::min(left, kLongestFiniteWaitMs));
    auto moved = platform.pipes.GetOverlappedResultEx(pipe, overlapped, wait, /*alertable=*/false);
    if (moved) return *moved;

    const SysError first = moved.error();
    // The operation is cancelled and collected before its buffer may go.
    (void)platform.pipes.CancelIoEx(pipe, overlapped);
    auto cancelled = platform.pipes.GetOverlappedResultEx(pipe, overlapped, kCancelledOperationWaitMs,
                                                          /*alertable=*/false);
    if (!cancelled && (cancelled.error() == SysError::Win32(win32_error::kIoIncomplete) ||
                       cancelled.error() == SysError::Win32(win32_error::kWaitTimeout))) {
        platform.pipes.RaiseFailFastException();
    }
    return FailSys("GetOverlappedResultEx(network pipe)", first);
}

Result<void> Transfer(Platform& platform, Handle pipe, const Buffer& buffer, PipeDeadline deadline) {
    std::size_t done = 0;
    while (done < SizeOf(buffer)) {
        if (deadline.Left(platform) == 0) return Fail("offline-network pipe deadline expired");
        TELVO_TRY_ASSIGN(const std::uint32_t moved, TransferChunk(platform, pipe, buffer, done, deadline));
        if (moved == 0) return Fail("network pipe frame ended early");
        done += moved;
    }
    return {};
}

}  // namespace

PipeDeadline PipeDeadline::After(Platform& platform, std::uint64_t milliseconds) {
    return {platform.kernel.GetTickCount64() + milliseconds};
}

std::uint64_t PipeDeadline::Left(Platform& platform) const {
    const std::uint64_t now = platform.kernel.GetTickCount64();
    return now >= at_ms ? 0 : at_ms - now;
}

Result<void> ReadPipe(Platform& platform, Handle pipe, std::span<std::byte> buffer, PipeDeadline deadline) {
    return Transfer(platform, pipe, buffer, deadline);
}

Result<void> WritePipe(Platform& platform, Handle pipe, std::span<const std::byte> bytes, PipeDeadline deadline) {
    return Transfer(platform, pipe, bytes, deadline);
}

}  // namespace telvo::network_broker
