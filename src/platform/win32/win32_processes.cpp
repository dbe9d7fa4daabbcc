#include "platform/win32/win32_processes.h"

#include <memory>

#include "platform/win32/win32_common.h"

namespace telvo::platform::win32 {

namespace {

// The job structures cross the seam as bytes; their sizes on x64 must be the
// ones the callers build.
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == job_layout::kExtendedLimitSize);
static_assert(sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION) == job_layout::kBasicAccountingSize);
static_assert(offsetof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION, ActiveProcesses) ==
              job_layout::kActiveProcessesOffset);
static_assert(sizeof(JOBOBJECT_BASIC_UI_RESTRICTIONS) == job_layout::kUiRestrictionsSize);

DWORD WINAPI RunThread(LPVOID parameter) {
    std::unique_ptr<std::function<void()>> start(static_cast<std::function<void()>*>(parameter));
    (*start)();
    return 0;
}

// SetThreadDescription (Windows 10 1607) has no declaration in the MinGW
// headers: it is resolved from kernel32 once.
using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFunction SetThreadDescriptionExport() {
    static const SetThreadDescriptionFunction resolved = [] {
        const HMODULE module = ::GetModuleHandleW(L"kernel32.dll");
        if (module == nullptr) return SetThreadDescriptionFunction{nullptr};
        return reinterpret_cast<SetThreadDescriptionFunction>(
            reinterpret_cast<void (*)()>(::GetProcAddress(module, "SetThreadDescription")));
    }();
    return resolved;
}

}  // namespace

SysResult<Handle> Win32Processes::CreateJobObjectW() {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return LastError();
    return FromNative(job);
}

SysResult<void> Win32Processes::SetInformationJobObject(Handle job, std::uint32_t information_class,
                                                        std::span<const std::uint8_t> information) {
    if (!::SetInformationJobObject(ToNative(job), static_cast<JOBOBJECTINFOCLASS>(information_class),
                                   const_cast<std::uint8_t*>(information.data()),
                                   static_cast<DWORD>(information.size()))) {
        return LastError();
    }
    return {};
}

SysResult<std::uint32_t> Win32Processes::QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                                   std::span<std::uint8_t> buffer) {
    DWORD returned = 0;
    if (!::QueryInformationJobObject(ToNative(job), static_cast<JOBOBJECTINFOCLASS>(information_class),
                                     buffer.data(), static_cast<DWORD>(buffer.size()), &returned)) {
        return LastError();
    }
    return returned;
}

SysResult<void> Win32Processes::TerminateJobObject(Handle job, std::uint32_t exit_code) {
    if (!::TerminateJobObject(ToNative(job), exit_code)) return LastError();
    return {};
}

SysResult<Handle> Win32Processes::CreateThread(std::function<void()> start) {
    auto owned = std::make_unique<std::function<void()>>(std::move(start));
    HANDLE thread = ::CreateThread(nullptr, 0, RunThread, owned.get(), 0, nullptr);
    if (thread == nullptr) return LastError();
    owned.release();  // the thread owns it now
    return FromNative(thread);
}

SysResult<void> Win32Processes::SetThreadDescription(Handle thread, const std::u16string& description) {
    const SetThreadDescriptionFunction set_description = SetThreadDescriptionExport();
    // E_NOTIMPL where the system predates the call.
    if (set_description == nullptr) return std::unexpected(SysError::HResult(0x80004001));
    const HRESULT result = set_description(ToNative(thread), Wide(description));
    if (FAILED(result)) return std::unexpected(SysError::HResult(static_cast<std::uint32_t>(result)));
    return {};
}

}  // namespace telvo::platform::win32
