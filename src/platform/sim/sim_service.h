#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/service.h"

namespace telvo::platform::sim {

class SimHost;

// An installed service as the Service Control Manager keeps it.
struct SimInstalledService {
    ServiceConfig config;
    ServiceStatusProcess status;
    // The service object's self-relative descriptor (owner, group, DACL).
    std::vector<std::uint8_t> security_descriptor;
};

// The Service Control Manager. As seen by a service process: started from a
// console the dispatcher fails with 1063, as on Windows; a test can make it
// behave as if the SCM had started the process. As seen by a client: the
// installed services, their configuration, status and descriptors. What it
// assumes of Windows (windows-notes section 11.1):
// - OpenSCManagerW grants local users CONNECT, ENUMERATE_SERVICE,
//   QUERY_LOCK_STATUS and READ_CONTROL; anything more needs an elevated
//   administrator's token (ERROR_ACCESS_DENIED otherwise).
// - OpenServiceW needs a manager handle with CONNECT; an unknown name is
//   ERROR_SERVICE_DOES_NOT_EXIST (names compare ignoring case); the desired
//   access is checked against the service object's descriptor with the
//   caller's token and the service generic mapping. Later calls test the
//   handle's granted access: QueryServiceConfigW needs QUERY_CONFIG,
//   QueryServiceStatusEx QUERY_STATUS, QueryServiceObjectSecurity
//   READ_CONTROL (ERROR_ACCESS_DENIED).
// - QueryServiceConfigW asks for the size of the structure and its strings
//   packed as Windows packs them (64 bytes, then each string with its NUL,
//   the dependencies with their double NUL); a smaller buffer fails with
//   ERROR_INSUFFICIENT_BUFFER and the size needed.
// - A closed or unknown handle is ERROR_INVALID_HANDLE.
class SimServiceControl final : public ServiceControl {
public:
    explicit SimServiceControl(SimHost& host) : host_(host) {}

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

    // Test side.
    void StartedByServiceControlManager(std::vector<std::u16string> arguments);
    const std::optional<std::u16string>& DispatchedName() const { return dispatched_name_; }
    // Installs the service, or replaces its state and configuration: a host change.
    void Install(const std::u16string& name, SimInstalledService service);
    // The installed service, for a test to change (nothing when not installed).
    SimInstalledService* Find(const std::u16string& name);
    // Every installed service under the name it was installed with, ordered ignoring case.
    std::vector<std::pair<std::u16string, SimInstalledService>> Installed() const;
    std::size_t OpenHandleCount() const;

private:
    struct OpenHandle {
        std::optional<std::u16string> service;  // nothing: the manager
        std::uint32_t granted = 0;
    };
    // The service behind a handle that holds `access`, or the error.
    SysResult<SimInstalledService*> Open(ServiceHandle handle, std::uint32_t access);

    SimHost& host_;
    std::optional<std::vector<std::u16string>> scm_arguments_;
    std::optional<std::u16string> dispatched_name_;
    mutable std::mutex mutex_;
    std::map<std::u16string, SimInstalledService> services_;  // by upper-cased name
    std::map<std::u16string, std::u16string> installed_names_;  // upper-cased -> as installed
    std::map<std::uint64_t, OpenHandle> handles_;
    std::uint64_t next_handle_ = 0x5C0000;
};

}  // namespace telvo::platform::sim
