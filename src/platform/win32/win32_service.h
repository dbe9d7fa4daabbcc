#pragma once

#include "platform/service.h"

namespace telvo::platform::win32 {

class Win32ServiceControl final : public ServiceControl {
public:
    SysResult<void> StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                 ServiceMain service_main) override;
    SysResult<ServiceHandle> OpenSCManagerW(std::uint32_t desired_access) override;
    SysResult<ServiceHandle> OpenServiceW(ServiceHandle manager, const std::u16string& service_name,
                                          std::uint32_t desired_access) override;
    SysResult<void> CloseServiceHandle(ServiceHandle handle) override;
    SysResult<ServiceConfig> QueryServiceConfigW(ServiceHandle service, std::uint32_t buffer_size,
                                                 std::uint32_t& bytes_needed) override;
    SysResult<ServiceStatusProcess> QueryServiceStatusEx(ServiceHandle service) override;
    SysResult<void> QueryServiceObjectSecurity(ServiceHandle service, std::uint32_t security_information,
                                               std::span<std::uint8_t> buffer, std::uint32_t& bytes_needed) override;
};

}  // namespace telvo::platform::win32
