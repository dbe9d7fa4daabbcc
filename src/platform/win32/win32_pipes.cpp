#include "platform/win32/win32_pipes.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "platform/win32/win32_common.h"

namespace telvo::platform::win32 {

namespace {

// The seam's Overlapped is OVERLAPPED's x64 layout; Windows writes into the
// caller's object itself.
static_assert(sizeof(OVERLAPPED) == sizeof(Overlapped));
static_assert(offsetof(OVERLAPPED, Internal) == offsetof(Overlapped, internal));
static_assert(offsetof(OVERLAPPED, InternalHigh) == offsetof(Overlapped, internal_high));
static_assert(offsetof(OVERLAPPED, hEvent) == offsetof(Overlapped, event));

OVERLAPPED* Native(Overlapped& overlapped) { return reinterpret_cast<OVERLAPPED*>(&overlapped); }

DWORD Length(std::size_t size) { return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD)); }

}  // namespace

SysResult<Handle> Win32Pipes::CreateEventW(bool manual_reset, bool initial_state) {
    HANDLE event = ::CreateEventW(nullptr, manual_reset ? TRUE : FALSE, initial_state ? TRUE : FALSE, nullptr);
    if (event == nullptr) return LastError();
    return FromNative(event);
}

SysResult<void> Win32Pipes::ReadFile(Handle file, std::span<std::byte> buffer, Overlapped& overlapped) {
    if (!::ReadFile(ToNative(file), buffer.data(), Length(buffer.size()), nullptr, Native(overlapped))) {
        return LastError();
    }
    return {};
}

SysResult<void> Win32Pipes::WriteFile(Handle file, std::span<const std::byte> bytes, Overlapped& overlapped) {
    if (!::WriteFile(ToNative(file), bytes.data(), Length(bytes.size()), nullptr, Native(overlapped))) {
        return LastError();
    }
    return {};
}

SysResult<std::uint32_t> Win32Pipes::GetOverlappedResultEx(Handle file, Overlapped& overlapped,
                                                           std::uint32_t milliseconds, bool alertable) {
    DWORD moved = 0;
    if (!::GetOverlappedResultEx(ToNative(file), Native(overlapped), &moved, milliseconds,
                                 alertable ? TRUE : FALSE)) {
        return LastError();
    }
    return moved;
}

SysResult<void> Win32Pipes::CancelIoEx(Handle file, Overlapped& overlapped) {
    if (!::CancelIoEx(ToNative(file), Native(overlapped))) return LastError();
    return {};
}

SysResult<void> Win32Pipes::WaitNamedPipeW(const std::u16string& name, std::uint32_t milliseconds) {
    if (!::WaitNamedPipeW(Wide(name), milliseconds)) return LastError();
    return {};
}

SysResult<std::uint32_t> Win32Pipes::GetNamedPipeServerProcessId(Handle pipe) {
    ULONG process_id = 0;
    if (!::GetNamedPipeServerProcessId(ToNative(pipe), &process_id)) return LastError();
    return process_id;
}

SysResult<Handle> Win32Pipes::CreateNamedPipeW(const std::u16string& name, std::uint32_t open_mode,
                                               std::uint32_t pipe_mode, std::uint32_t max_instances,
                                               std::uint32_t out_buffer_size, std::uint32_t in_buffer_size,
                                               std::uint32_t default_timeout_ms,
                                               std::span<const std::uint8_t> security_descriptor) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor =
        security_descriptor.empty() ? nullptr : const_cast<std::uint8_t*>(security_descriptor.data());
    attributes.bInheritHandle = FALSE;
    HANDLE pipe = ::CreateNamedPipeW(Wide(name), open_mode, pipe_mode, max_instances, out_buffer_size,
                                     in_buffer_size, default_timeout_ms, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) return LastError();
    return FromNative(pipe);
}

SysResult<void> Win32Pipes::ConnectNamedPipe(Handle pipe, Overlapped& overlapped) {
    if (!::ConnectNamedPipe(ToNative(pipe), Native(overlapped))) return LastError();
    return {};
}

SysResult<void> Win32Pipes::DisconnectNamedPipe(Handle pipe) {
    if (!::DisconnectNamedPipe(ToNative(pipe))) return LastError();
    return {};
}

SysResult<std::uint32_t> Win32Pipes::GetNamedPipeClientProcessId(Handle pipe) {
    ULONG process_id = 0;
    if (!::GetNamedPipeClientProcessId(ToNative(pipe), &process_id)) return LastError();
    return process_id;
}

SysResult<void> Win32Pipes::ImpersonateNamedPipeClient(Handle pipe) {
    if (!::ImpersonateNamedPipeClient(ToNative(pipe))) return LastError();
    return {};
}

void Win32Pipes::RaiseFailFastException() {
    ::RaiseFailFastException(nullptr, nullptr, 0);
    // Not reached; should the call ever return, the process still ends here
    // without unwinding.
    std::abort();
}

}  // namespace telvo::platform::win32
