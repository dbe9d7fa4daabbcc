#include "host_prepare/service_installation.h"

#include <functional>

#include "common/try.h"
#include "network_broker/service_main.h"
#include "winformat/sddl.h"
#include "winformat/security_descriptor.h"

namespace telvo::host_prepare {

namespace {

using namespace platform;

constexpr char16_t kDisplayName[] = u"Telvo offline network";
constexpr char16_t kServiceArgument[] = u" --network-service";
// No one but LocalSystem and Administrators may change, stop or control the
// service (by default any interactive user may send it user-defined controls).
constexpr std::string_view kServiceDacl = "D:(A;;0xf01ff;;;SY)(A;;0xf01ff;;;BA)(A;;0x2008d;;;AU)";
constexpr std::uint32_t kQuiesceControl = 128;
constexpr char kStateTimeout[] = "network service did not reach requested state within 20 seconds";

bool IsPending(std::uint32_t state) {
    return state == service_state::kStartPending || state == service_state::kStopPending;
}

Result<ServiceStatusProcess> QueryStatus(Platform& platform, ServiceHandle service) {
    return Lift("QueryServiceStatusEx(network service)", platform.service.QueryServiceStatusEx(service));
}

// Polls until `done` holds, at most kServiceStateWaitMs.
Result<ServiceStatusProcess> WaitForStatus(Platform& platform, ServiceHandle service,
                                           const std::function<bool(const ServiceStatusProcess&)>& done) {
    const std::uint64_t deadline = platform.kernel.GetTickCount64() + kServiceStateWaitMs;
    for (;;) {
        TELVO_TRY_ASSIGN(const ServiceStatusProcess status, QueryStatus(platform, service));
        if (done(status)) return status;
        if (platform.kernel.GetTickCount64() >= deadline) return Fail(kStateTimeout);
        platform.kernel.Sleep(kServicePollMs);
    }
}


}  // namespace

Result<UniqueServiceHandle> OpenServiceManager(Platform& platform, std::uint32_t access) {
    TELVO_TRY_ASSIGN(const ServiceHandle manager,
                     Lift("OpenSCManagerW(network setup)", platform.service.OpenSCManagerW(access)));
    return UniqueServiceHandle(platform.service, manager);
}

Result<std::optional<UniqueServiceHandle>> OpenNetworkService(Platform& platform, ServiceHandle manager,
                                                              std::uint32_t access) {
    auto opened = platform.service.OpenServiceW(manager, network_broker::kServiceName, access);
    if (!opened && (opened.error() == SysError::Win32(win32_error::kServiceDoesNotExist) ||
                    opened.error() == SysError::Win32(win32_error::kServiceMarkedForDelete))) {
        return std::optional<UniqueServiceHandle>();
    }
    TELVO_TRY_ASSIGN(const ServiceHandle service, Lift("OpenServiceW(network service)", std::move(opened)));
    return std::optional<UniqueServiceHandle>(std::in_place, platform.service, service);
}

Result<UniqueServiceHandle> CreateNetworkService(Platform& platform, ServiceHandle manager,
                                                 const std::u16string& image_path) {
    auto dacl = winformat::ParseSddl(kServiceDacl);
    if (!dacl) return Fail(std::move(dacl.error()).Context("network service descriptor"));
    const ServiceDefinition definition{std::u16string(network_broker::kServiceName),
                                       kDisplayName,
                                       service_type::kWin32OwnProcess,
                                       service_start::kAutoStart,
                                       service_error_control::kNormal,
                                       u"\"" + image_path + u"\"" + kServiceArgument,
                                       u""};
    TELVO_TRY_ASSIGN(const ServiceHandle created,
                     Lift("CreateServiceW(network service)",
                          platform.service.CreateServiceW(manager, definition, kSetupServiceAccess)));
    UniqueServiceHandle service(platform.service, created);
    auto secured = platform.service.SetServiceObjectSecurity(service.get(), security_information::kDacl,
                                                             dacl->ToSelfRelative());
    if (!secured) {
        // Left with the default descriptor it would be a foreign service; it never ran.
        Error error = Error::FromSys("SetServiceObjectSecurity(network service)", secured.error());
        auto deleted = DeleteNetworkService(platform, service.get());
        if (!deleted) return Fail(std::move(deleted.error()).Context(error.Display() + "; undoing the registration"));
        return Fail(std::move(error));
    }
    return service;
}

Result<ServiceStatusProcess> SettledServiceStatus(Platform& platform, ServiceHandle service) {
    return WaitForStatus(platform, service,
                         [](const ServiceStatusProcess& status) { return !IsPending(status.current_state); });
}

Result<void> StartNetworkService(Platform& platform, ServiceHandle service) {
    auto started = platform.service.StartServiceW(service);
    if (!started && started.error() != SysError::Win32(win32_error::kServiceAlreadyRunning)) {
        return FailSys("StartServiceW(network service)", started.error());
    }
    TELVO_TRY_ASSIGN(const ServiceStatusProcess status, SettledServiceStatus(platform, service));
    if (status.current_state == service_state::kRunning) return {};
    return Fail("network service stopped while starting (exit code " + std::to_string(status.win32_exit_code) +
                ", service-specific " + std::to_string(status.service_specific_exit_code) + ")");
}

Result<bool> QuiesceNetworkService(Platform& platform, ServiceHandle service) {
    TELVO_TRY_ASSIGN(const ServiceStatus status, Lift("ControlService(network service quiesce)",
                                                      platform.service.ControlService(service, kQuiesceControl)));
    return status.current_state == service_state::kRunning && (status.controls_accepted & service_accept::kStop) != 0;
}

Result<void> StopNetworkService(Platform& platform, ServiceHandle service) {
    TELVO_TRY(Lift("ControlService(network service stop)",
                   platform.service.ControlService(service, service_control::kStop)));
    TELVO_TRY(WaitForStatus(platform, service, [](const ServiceStatusProcess& current) {
        return current.current_state == service_state::kStopped;
    }));
    return {};
}

Result<void> DeleteNetworkService(Platform& platform, ServiceHandle service) {
    auto deleted = platform.service.DeleteService(service);
    // Marked already (by a run that failed before its handle closed): it goes all the same.
    if (!deleted && deleted.error() == SysError::Win32(win32_error::kServiceMarkedForDelete)) return {};
    return Lift("DeleteService(network service)", std::move(deleted));
}

}  // namespace telvo::host_prepare
