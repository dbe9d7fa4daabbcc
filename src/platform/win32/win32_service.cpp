#include "platform/win32/win32_service.h"

#include "platform/win32/win32_common.h"

namespace telvo::platform::win32 {

namespace {

// The dispatcher calls a plain function; it forwards to the one service main
// that the process registered.
ServiceMain g_service_main;

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
    std::vector<std::u16string> arguments;
    for (DWORD i = 0; i < argc; ++i) arguments.push_back(FromWide(argv[i]));
    g_service_main(arguments);
}

// The one control handler of the process; the dispatcher calls it on its thread.
ServiceControlHandler g_control_handler;

DWORD WINAPI HandlerTrampoline(DWORD control, DWORD, LPVOID, LPVOID) { return g_control_handler(control); }

}  // namespace

SysResult<void> Win32ServiceControl::StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                                  ServiceMain service_main) {
    g_service_main = std::move(service_main);
    std::wstring name(service_name.begin(), service_name.end());
    SERVICE_TABLE_ENTRYW table[] = {
        {name.data(), &ServiceMainTrampoline},
        {nullptr, nullptr},
    };
    if (!::StartServiceCtrlDispatcherW(table)) return LastError();
    return {};
}

}  // namespace telvo::platform::win32

namespace telvo::platform::win32 {

namespace {

SC_HANDLE ToNative(ServiceHandle handle) {
    return reinterpret_cast<SC_HANDLE>(static_cast<std::uintptr_t>(handle));
}
ServiceHandle FromNative(SC_HANDLE handle) {
    return ServiceHandle{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle))};
}

std::u16string Copied(const wchar_t* text) { return text == nullptr ? std::u16string() : FromWide(text); }

// A double-NUL-terminated list, up to its final NUL.
std::u16string CopiedList(const wchar_t* list) {
    if (list == nullptr) return {};
    std::size_t length = 0;
    while (list[length] != L'\0' || list[length + 1] != L'\0') ++length;
    if (length > 0) ++length;  // the last entry's NUL
    return std::u16string(reinterpret_cast<const char16_t*>(list), length);
}

}  // namespace

SysResult<ServiceStatusHandle> Win32ServiceControl::RegisterServiceCtrlHandlerExW(const std::u16string& service_name,
                                                                                  ServiceControlHandler handler) {
    g_control_handler = std::move(handler);
    SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(Wide(service_name), &HandlerTrampoline, nullptr);
    if (handle == nullptr) return LastError();
    return ServiceStatusHandle{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle))};
}

SysResult<void> Win32ServiceControl::SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    SERVICE_STATUS native{status.service_type,    status.current_state,
                          status.controls_accepted, status.win32_exit_code,
                          status.service_specific_exit_code, status.check_point,
                          status.wait_hint};
    auto* native_handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<std::uintptr_t>(handle));
    if (!::SetServiceStatus(native_handle, &native)) return LastError();
    return {};
}

SysResult<EventSourceHandle> Win32ServiceControl::RegisterEventSourceW(const std::u16string& source_name) {
    HANDLE source = ::RegisterEventSourceW(nullptr, Wide(source_name));
    if (source == nullptr) return LastError();
    return EventSourceHandle{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(source))};
}

SysResult<void> Win32ServiceControl::ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint32_t event_id,
                                                  std::span<const std::u16string> strings) {
    std::vector<LPCWSTR> pointers;
    for (const std::u16string& text : strings) pointers.push_back(Wide(text));
    if (!::ReportEventW(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(source)), type, 0, event_id, nullptr,
                        static_cast<WORD>(pointers.size()), 0, pointers.empty() ? nullptr : pointers.data(),
                        nullptr)) {
        return LastError();
    }
    return {};
}

SysResult<void> Win32ServiceControl::DeregisterEventSource(EventSourceHandle source) {
    if (!::DeregisterEventSource(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(source)))) return LastError();
    return {};
}

SysResult<void> Win32ServiceControl::StartServiceW(ServiceHandle service) {
    if (!::StartServiceW(ToNative(service), 0, nullptr)) return LastError();
    return {};
}

SysResult<ServiceStatus> Win32ServiceControl::ControlService(ServiceHandle service, std::uint32_t control) {
    SERVICE_STATUS status{};
    if (!::ControlService(ToNative(service), control, &status)) return LastError();
    return ServiceStatus{status.dwServiceType,    status.dwCurrentState,
                         status.dwControlsAccepted, status.dwWin32ExitCode,
                         status.dwServiceSpecificExitCode, status.dwCheckPoint,
                         status.dwWaitHint};
}

SysResult<ServiceHandle> Win32ServiceControl::OpenSCManagerW(std::uint32_t desired_access) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, desired_access);
    if (manager == nullptr) return LastError();
    return FromNative(manager);
}

SysResult<ServiceHandle> Win32ServiceControl::OpenServiceW(ServiceHandle manager, const std::u16string& service_name,
                                                           std::uint32_t desired_access) {
    SC_HANDLE service = ::OpenServiceW(ToNative(manager), Wide(service_name), desired_access);
    if (service == nullptr) return LastError();
    return FromNative(service);
}

SysResult<void> Win32ServiceControl::CloseServiceHandle(ServiceHandle handle) {
    if (!::CloseServiceHandle(ToNative(handle))) return LastError();
    return {};
}

SysResult<ServiceHandle> Win32ServiceControl::CreateServiceW(ServiceHandle manager,
                                                             const ServiceDefinition& definition,
                                                             std::uint32_t desired_access) {
    const std::wstring name(definition.service_name.begin(), definition.service_name.end());
    const std::wstring display(definition.display_name.begin(), definition.display_name.end());
    const std::wstring binary(definition.binary_path_name.begin(), definition.binary_path_name.end());
    const std::wstring account(definition.service_start_name.begin(), definition.service_start_name.end());
    SC_HANDLE service = ::CreateServiceW(ToNative(manager), name.c_str(), display.c_str(), desired_access,
                                         definition.service_type, definition.start_type, definition.error_control,
                                         binary.c_str(), nullptr, nullptr, nullptr,
                                         account.empty() ? nullptr : account.c_str(), nullptr);
    if (service == nullptr) return LastError();
    return FromNative(service);
}

SysResult<void> Win32ServiceControl::DeleteService(ServiceHandle service) {
    if (!::DeleteService(ToNative(service))) return LastError();
    return {};
}

SysResult<void> Win32ServiceControl::SetServiceObjectSecurity(ServiceHandle service,
                                                              std::uint32_t security_information,
                                                              std::span<const std::uint8_t> security_descriptor) {
    // The call does not write through the pointer; a copy keeps the caller's bytes const.
    std::vector<std::uint8_t> descriptor(security_descriptor.begin(), security_descriptor.end());
    if (!::SetServiceObjectSecurity(ToNative(service), security_information,
                                    reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor.data()))) {
        return LastError();
    }
    return {};
}

SysResult<ServiceConfig> Win32ServiceControl::QueryServiceConfigW(ServiceHandle service, std::uint32_t buffer_size,
                                                                  std::uint32_t& bytes_needed) {
    // Pointer-aligned storage for the structure and the strings after it.
    std::vector<std::uint64_t> storage((buffer_size + 7) / 8);
    auto* config = buffer_size == 0 ? nullptr : reinterpret_cast<QUERY_SERVICE_CONFIGW*>(storage.data());
    DWORD needed = 0;
    const BOOL ok = ::QueryServiceConfigW(ToNative(service), config, buffer_size, &needed);
    const DWORD error = ::GetLastError();
    bytes_needed = needed;
    if (!ok) return std::unexpected(SysError::Win32(error));
    ServiceConfig copied;
    copied.service_type = config->dwServiceType;
    copied.start_type = config->dwStartType;
    copied.error_control = config->dwErrorControl;
    copied.binary_path_name = Copied(config->lpBinaryPathName);
    copied.load_order_group = Copied(config->lpLoadOrderGroup);
    copied.tag_id = config->dwTagId;
    copied.dependencies = CopiedList(config->lpDependencies);
    copied.service_start_name = Copied(config->lpServiceStartName);
    copied.display_name = Copied(config->lpDisplayName);
    return copied;
}

SysResult<ServiceStatusProcess> Win32ServiceControl::QueryServiceStatusEx(ServiceHandle service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(ToNative(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed)) {
        return LastError();
    }
    return ServiceStatusProcess{{status.dwServiceType, status.dwCurrentState, status.dwControlsAccepted,
                                 status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
                                 status.dwWaitHint},
                                status.dwProcessId,
                                status.dwServiceFlags};
}

SysResult<void> Win32ServiceControl::QueryServiceObjectSecurity(ServiceHandle service,
                                                                std::uint32_t security_information,
                                                                std::span<std::uint8_t> buffer,
                                                                std::uint32_t& bytes_needed) {
    DWORD needed = 0;
    const BOOL ok = ::QueryServiceObjectSecurity(ToNative(service), security_information,
                                                 buffer.empty() ? nullptr : buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), &needed);
    const DWORD error = ::GetLastError();
    bytes_needed = needed;
    if (!ok) return std::unexpected(SysError::Win32(error));
    return {};
}

}  // namespace telvo::platform::win32
