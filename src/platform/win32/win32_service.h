#pragma once

#include "platform/service.h"

namespace telvo::platform::win32 {

class Win32ServiceControl final : public ServiceControl {
public:
    SysResult<void> StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                 ServiceMain service_main) override;
    SysResult<ServiceStatusHandle> RegisterServiceCtrlHandlerExW(const std::u16string& service_name,
                                                                 ServiceControlHandler handler) override;
    SysResult<void> SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override;
    SysResult<EventSourceHandle> RegisterEventSourceW(const std::u16string& source_name) override;
    SysResult<void> ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint32_t event_id,
                                 std::span<const std::u16string> strings) override;
    SysResult<void> DeregisterEventSource(EventSourceHandle source) override;
    SysResult<void> StartServiceW(ServiceHandle service) override;
    SysResult<ServiceStatus> ControlService(ServiceHandle service, std::uint32_t control) override;
    SysResult<ServiceHandle> OpenSCManagerW(std::uint32_t desired_access) override;
    SysResult<ServiceHandle> OpenServiceW(ServiceHandle manager, const std::u16string& service_name,
                                          std::uint32_t desired_access) override;
    SysResult<void> CloseServiceHandle(ServiceHandle handle) override;
    SysResult<ServiceHandle> CreateServiceW(ServiceHandle manager, const ServiceDefinition& definition,
                                            std::uint32_t desired_access) override;
    SysResult<void> DeleteService(ServiceHandle service) override;
    SysResult<void> SetServiceObjectSecurity(ServiceHandle service, std::uint32_t security_information,
                                             std::span<const std::uint8_t> security_descriptor) override;
    SysResult<ServiceConfig> QueryServiceConfigW(ServiceHandle service, std::uint32_t buffer_size,
                                                 std::uint32_t& bytes_needed) override;
    SysResult<ServiceStatusProcess> QueryServiceStatusEx(ServiceHandle service) override;
    SysResult<void> QueryServiceObjectSecurity(ServiceHandle service, std::uint32_t security_information,
                                               std::span<std::uint8_t> buffer, std::uint32_t& bytes_needed) override;
};

}  // namespace telvo::platform::win32
