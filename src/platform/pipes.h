#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// OVERLAPPED, laid out as on x64 and owned by the caller for the whole life
// of the operation it starts: Windows writes the operation's status and
// byte count into it (and the data into the caller's buffer) until the
// operation has completed or its cancellation has been collected. An
// operation is known by this object's address, as Windows knows it.
struct Overlapped {
    std::uint64_t internal = 0;       // Internal: the operation's status
    std::uint64_t internal_high = 0;  // InternalHigh: bytes moved
    std::uint32_t offset = 0;
    std::uint32_t offset_high = 0;
    Handle event = kNullHandle;  // hEvent: a manual-reset event, signalled on completion
};
static_assert(sizeof(Overlapped) == 32);

// Named pipes, unnamed events and overlapped I/O on pipe handles (kernel32).
// A pipe's client end is opened with Files::CreateFileW on its name.
class Pipes {
public:
    virtual ~Pipes() = default;

    // CreateEventW without security attributes and without a name.
    virtual SysResult<Handle> CreateEventW(bool manual_reset, bool initial_state) = 0;

    // ReadFile / WriteFile on a handle opened with FILE_FLAG_OVERLAPPED.
    // Success: the operation completed at once; ERROR_IO_PENDING: it is under
    // way. Either way its result is collected with GetOverlappedResultEx, and
    // the buffer and `overlapped` stay where they are until then.
    virtual SysResult<void> ReadFile(Handle file, std::span<std::byte> buffer, Overlapped& overlapped) = 0;
    virtual SysResult<void> WriteFile(Handle file, std::span<const std::byte> bytes, Overlapped& overlapped) = 0;

    // GetOverlappedResultEx: the bytes the operation moved once it has
    // completed. Still under way after `milliseconds`: WAIT_TIMEOUT (258), or
    // ERROR_IO_INCOMPLETE (996) for a wait of 0 ms; a cancelled operation:
    // ERROR_OPERATION_ABORTED (995); a failed one: its error.
    virtual SysResult<std::uint32_t> GetOverlappedResultEx(Handle file, Overlapped& overlapped,
                                                           std::uint32_t milliseconds, bool alertable) = 0;
    // CancelIoEx of the one operation `overlapped` started; ERROR_NOT_FOUND
    // when it has already completed. The cancellation is asynchronous: the
    // operation still has to be collected.
    virtual SysResult<void> CancelIoEx(Handle file, Overlapped& overlapped) = 0;

    // WaitNamedPipeW: returns once an instance of the pipe listens, or fails
    // with ERROR_SEM_TIMEOUT (121) after `milliseconds` (ERROR_FILE_NOT_FOUND
    // when no pipe of that name exists).
    virtual SysResult<void> WaitNamedPipeW(const std::u16string& name, std::uint32_t milliseconds) = 0;
    // GetNamedPipeServerProcessId on the client end: the server's process id.
    virtual SysResult<std::uint32_t> GetNamedPipeServerProcessId(Handle pipe) = 0;

    // The server side. CreateNamedPipeW with the open mode, pipe mode,
    // instance limit, buffer sizes and default time-out as given, and the
    // self-relative descriptor `security_descriptor` (none when empty).
    virtual SysResult<Handle> CreateNamedPipeW(const std::u16string& name, std::uint32_t open_mode,
                                               std::uint32_t pipe_mode, std::uint32_t max_instances,
                                               std::uint32_t out_buffer_size, std::uint32_t in_buffer_size,
                                               std::uint32_t default_timeout_ms,
                                               std::span<const std::uint8_t> security_descriptor) = 0;
    // ConnectNamedPipe on an overlapped instance: ERROR_IO_PENDING while no
    // client has come (collected with GetOverlappedResultEx),
    // ERROR_PIPE_CONNECTED (535) when one came before the call.
    virtual SysResult<void> ConnectNamedPipe(Handle pipe, Overlapped& overlapped) = 0;
    // DisconnectNamedPipe: the client's end breaks, and whatever it has not
    // read yet is discarded.
    virtual SysResult<void> DisconnectNamedPipe(Handle pipe) = 0;
    // GetNamedPipeClientProcessId on the server end.
    virtual SysResult<std::uint32_t> GetNamedPipeClientProcessId(Handle pipe) = 0;
    // ImpersonateNamedPipeClient: the calling thread takes the client's
    // identity (ERROR_CANNOT_IMPERSONATE, 1368, before anything was read).
    virtual SysResult<void> ImpersonateNamedPipeClient(Handle pipe) = 0;

    // RaiseFailFastException(no record, no context, no flags): the process
    // ends at once, without unwinding, running no handler.
    [[noreturn]] virtual void RaiseFailFastException() = 0;
};

// CreateNamedPipeW's open mode and pipe mode bits.
namespace pipe_open_mode {
inline constexpr std::uint32_t kAccessInbound = 0x00000001;
inline constexpr std::uint32_t kAccessOutbound = 0x00000002;
inline constexpr std::uint32_t kAccessDuplex = 0x00000003;
inline constexpr std::uint32_t kFirstPipeInstance = 0x00080000;
inline constexpr std::uint32_t kOverlapped = 0x40000000;
}  // namespace pipe_open_mode
namespace pipe_mode {
inline constexpr std::uint32_t kTypeByte = 0x00000000;
inline constexpr std::uint32_t kTypeMessage = 0x00000004;
inline constexpr std::uint32_t kReadModeMessage = 0x00000002;
inline constexpr std::uint32_t kNoWait = 0x00000001;
inline constexpr std::uint32_t kRejectRemoteClients = 0x00000008;
inline constexpr std::uint32_t kUnlimitedInstances = 255;
}  // namespace pipe_mode

// A byte-mode pipe's client end as the broker opens it: generic read and
// write without FILE_APPEND_DATA.
inline constexpr std::uint32_t kPipeReadWriteNoAppend = 0x0012019B;

// CreateFileW's security-quality-of-service flags (honoured only with
// kSqosPresent).
namespace security_qos {
inline constexpr std::uint32_t kAnonymous = 0x00000000;
inline constexpr std::uint32_t kIdentification = 0x00010000;
inline constexpr std::uint32_t kImpersonation = 0x00020000;
inline constexpr std::uint32_t kDelegation = 0x00030000;
inline constexpr std::uint32_t kLevelMask = 0x00030000;
inline constexpr std::uint32_t kSqosPresent = 0x00100000;
}  // namespace security_qos

// Pipe and overlapped-I/O errors.
namespace win32_error {
inline constexpr std::uint32_t kSemTimeout = 121;           // WaitNamedPipe timed out
inline constexpr std::uint32_t kPipeBusy = 231;             // every instance busy
inline constexpr std::uint32_t kPipeNotConnected = 233;
inline constexpr std::uint32_t kNoToken = 1008;             // the thread impersonates no one
inline constexpr std::uint32_t kCantOpenAnonymous = 1347;   // an anonymous-level token
inline constexpr std::uint32_t kCannotImpersonate = 1368;   // nothing read from the client yet
inline constexpr std::uint32_t kPipeConnected = 535;        // a client came before ConnectNamedPipe
inline constexpr std::uint32_t kWaitTimeout = 258;          // WAIT_TIMEOUT as a last error
inline constexpr std::uint32_t kOperationAborted = 995;     // a cancelled operation
inline constexpr std::uint32_t kIoIncomplete = 996;
inline constexpr std::uint32_t kIoPending = 997;
}  // namespace win32_error

}  // namespace telvo::platform
