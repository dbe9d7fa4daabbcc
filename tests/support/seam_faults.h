#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/sim/fault_plan.h"
#include "platform/types.h"

namespace telvo::testing {

// Calls whose failure nobody can act on, left out of fault sweeps: a clock
// read cannot fail, a failed close leaves nothing to undo (the guards drop
// it), and the rest have no error to report.
inline bool UnfailableCall(std::string_view call) {
    return call == "GetTickCount64" || call == "CloseHandle" || call == "CloseServiceHandle" ||
           call == "GetDriveTypeW" || call == "ExitProcess" || call == "DeleteProcThreadAttributeList" ||
           call == "RaiseFailFastException" || call == "Sleep";
}

// An error Windows gives for `call`, in the kind the call reports: what a
// fault sweep makes it fail with.
inline SysError WindowsFailureFor(std::string_view call) {
    using platform::win32_error::kAccessDenied;
    if (call == "BCryptGenRandom") return SysError::NtStatus(0xC0000001);  // STATUS_UNSUCCESSFUL
    switch (platform::sim::ErrorKindOfCall(call)) {
        case SysError::Kind::hresult:
            return SysError::HResult(0x80070005);  // E_ACCESSDENIED
        case SysError::Kind::ntstatus:
            return SysError::NtStatus(0xC0000022);  // STATUS_ACCESS_DENIED
        case SysError::Kind::win32:
            break;
    }
    if (call == "ReadFile(overlapped)" || call == "WriteFile(overlapped)" || call == "GetOverlappedResultEx") {
        return SysError::Win32(platform::win32_error::kBrokenPipe);
    }
    if (call == "CreateEventW") return SysError::Win32(platform::win32_error::kNotEnoughMemory);
    if (call == "RegGetValueW") return SysError::Win32(platform::win32_error::kFileNotFound);
    if (call == "GetNamedPipeServerProcessId" || call == "WaitForSingleObject") {
        return SysError::Win32(platform::win32_error::kInvalidHandle);
    }
    return SysError::Win32(kAccessDenied);
}

}  // namespace telvo::testing
