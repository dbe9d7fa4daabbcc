#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::host_prepare {

// The service "TelvoOfflineNetwork" as the Service Control Manager keeps
// it: registered, secured, started, quiesced, stopped and deleted by the
// network setup. Every wait for a state polls the service's status on the
// kernel's clock and gives up after 20 seconds.

inline constexpr std::uint32_t kServiceStateWaitMs = 20000;
inline constexpr std::uint32_t kServicePollMs = 50;

// What the setup does to the service; only an elevated Administrator's handle holds it.
inline constexpr std::uint32_t kSetupServiceAccess =
    platform::service_access::kQueryConfig | platform::service_access::kQueryStatus |
    platform::service_access::kStart | platform::service_access::kStop |
    platform::service_access::kUserDefinedControl | platform::file_access::kReadControl |
    platform::file_access::kWriteDac | platform::file_access::kDelete;

// The manager with `access` ("OpenSCManagerW(network setup)" when it cannot be opened).
Result<platform::UniqueServiceHandle> OpenServiceManager(platform::Platform& platform, std::uint32_t access);

// The service with `access`; nothing when it does not exist or is already
// marked for deletion (it goes once its last handle closes).
Result<std::optional<platform::UniqueServiceHandle>> OpenNetworkService(platform::Platform& platform,
                                                                        platform::ServiceHandle manager,
                                                                        std::uint32_t access);

// Registers the service with the fixed configuration for `image_path` and
// narrows its descriptor: LocalSystem and Administrators may do everything,
// Authenticated Users only query it and read its descriptor. When the
// descriptor cannot be set the new service is deleted again.
Result<platform::UniqueServiceHandle> CreateNetworkService(platform::Platform& platform,
                                                           platform::ServiceHandle manager,
                                                           const std::u16string& image_path);

// The status, once the service has left START_PENDING and STOP_PENDING.
Result<platform::ServiceStatusProcess> SettledServiceStatus(platform::Platform& platform,
                                                            platform::ServiceHandle service);

// Starts a stopped service and waits until it runs; a service that stops
// instead fails with its exit code.
Result<void> StartNetworkService(platform::Platform& platform, platform::ServiceHandle service);

// Sends the quiesce control: whether the service now accepts STOP.
Result<bool> QuiesceNetworkService(platform::Platform& platform, platform::ServiceHandle service);

// Stops a quiesced service and waits until it has stopped.
Result<void> StopNetworkService(platform::Platform& platform, platform::ServiceHandle service);

// Marks the service for deletion ("DeleteService(network service)").
Result<void> DeleteNetworkService(platform::Platform& platform, platform::ServiceHandle service);

}  // namespace telvo::host_prepare
