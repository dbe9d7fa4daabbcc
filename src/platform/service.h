#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"

namespace telvo::platform {

// The service's main entry, called on the dispatcher's thread with the
// service arguments.
using ServiceMain = std::function<void(const std::vector<std::u16string>& arguments)>;

// A HandlerEx control handler: the control code, the answer returned to
// the dispatcher (NO_ERROR, ERROR_CALL_NOT_IMPLEMENTED, ...). It runs on the
// dispatcher's thread.
using ServiceControlHandler = std::function<std::uint32_t(std::uint32_t control)>;

// SERVICE_STATUS_HANDLE: what RegisterServiceCtrlHandlerExW hands back for
// SetServiceStatus; never closed.
enum class ServiceStatusHandle : std::uint64_t {};

// An event source handle of RegisterEventSourceW, closed with DeregisterEventSource.
enum class EventSourceHandle : std::uint64_t {};

// SERVICE_STATUS, as a service reports it.
struct ServiceStatus {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint = 0;
    bool operator==(const ServiceStatus&) const = default;
};

// An SC_HANDLE: a handle of the Service Control Manager, closed with
// CloseServiceHandle (not a kernel handle).
enum class ServiceHandle : std::uint64_t {};
inline constexpr ServiceHandle kNullServiceHandle{0};

// QUERY_SERVICE_CONFIGW copied out as values. `dependencies` keeps the
// double-NUL-terminated list as its units up to the final NUL.
struct ServiceConfig {
    std::uint32_t service_type = 0;
    std::uint32_t start_type = 0;
    std::uint32_t error_control = 0;
    std::u16string binary_path_name;
    std::u16string load_order_group;
    std::uint32_t tag_id = 0;
    std::u16string dependencies;
    std::u16string service_start_name;
    std::u16string display_name;
};

// What CreateServiceW registers: no load order group, tag, dependencies or
// password. An empty start name passes null: the service runs as LocalSystem.
struct ServiceDefinition {
    std::u16string service_name;
    std::u16string display_name;
    std::uint32_t service_type = 0;
    std::uint32_t start_type = 0;
    std::uint32_t error_control = 0;
    std::u16string binary_path_name;
    std::u16string service_start_name;
};

// SERVICE_STATUS_PROCESS: SERVICE_STATUS and the process.
struct ServiceStatusProcess : ServiceStatus {
    std::uint32_t process_id = 0;  // 0 while the service is not running
    std::uint32_t service_flags = 0;
};

// Service Control Manager (advapi32).
class ServiceControl {
public:
    virtual ~ServiceControl() = default;

    // StartServiceCtrlDispatcherW with a table holding the one service;
    // returns when the service has stopped.
    virtual SysResult<void> StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                         ServiceMain service_main) = 0;

    // The service side. RegisterServiceCtrlHandlerExW(name, handler, context)
    // from the service main; SetServiceStatus with that handle.
    virtual SysResult<ServiceStatusHandle> RegisterServiceCtrlHandlerExW(const std::u16string& service_name,
                                                                         ServiceControlHandler handler) = 0;
    virtual SysResult<void> SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;

    // The event log (advapi32): RegisterEventSourceW(local computer, source);
    // ReportEventW(source, type, category 0, event id, no user SID, the
    // strings, no raw data); DeregisterEventSource.
    virtual SysResult<EventSourceHandle> RegisterEventSourceW(const std::u16string& source_name) = 0;
    virtual SysResult<void> ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint32_t event_id,
                                         std::span<const std::u16string> strings) = 0;
    virtual SysResult<void> DeregisterEventSource(EventSourceHandle source) = 0;

    // StartServiceW without arguments: returns once the SCM has started the
    // service's process (START_PENDING), not when it runs.
    virtual SysResult<void> StartServiceW(ServiceHandle service) = 0;
    // ControlService: the service's status after the control was delivered
    // (the handler's own answer does not come back to the caller).
    virtual SysResult<ServiceStatus> ControlService(ServiceHandle service, std::uint32_t control) = 0;

    // OpenSCManagerW(local machine, active database, desired access).
    virtual SysResult<ServiceHandle> OpenSCManagerW(std::uint32_t desired_access) = 0;
    // OpenServiceW: ERROR_SERVICE_DOES_NOT_EXIST (1060) for an unknown name.
    virtual SysResult<ServiceHandle> OpenServiceW(ServiceHandle manager, const std::u16string& service_name,
                                                  std::uint32_t desired_access) = 0;
    virtual SysResult<void> CloseServiceHandle(ServiceHandle handle) = 0;

    // CreateServiceW on a manager handle holding SC_MANAGER_CREATE_SERVICE:
    // the new service's handle with `desired_access`. A taken name is
    // ERROR_SERVICE_EXISTS (1073), a name marked for deletion
    // ERROR_SERVICE_MARKED_FOR_DELETE (1072).
    virtual SysResult<ServiceHandle> CreateServiceW(ServiceHandle manager, const ServiceDefinition& definition,
                                                    std::uint32_t desired_access) = 0;
    // DeleteService (DELETE on the handle): marks the service for deletion;
    // it goes once it has stopped and its last handle is closed.
    virtual SysResult<void> DeleteService(ServiceHandle service) = 0;
    // SetServiceObjectSecurity with a self-relative descriptor: WRITE_DAC
    // for the DACL, WRITE_OWNER for the owner and group.
    virtual SysResult<void> SetServiceObjectSecurity(ServiceHandle service, std::uint32_t security_information,
                                                     std::span<const std::uint8_t> security_descriptor) = 0;

    // QueryServiceConfigW with a buffer of `buffer_size` bytes that the
    // backend owns (none when 0). `bytes_needed` is set as Windows sets it,
    // also when the call fails with ERROR_INSUFFICIENT_BUFFER.
    virtual SysResult<ServiceConfig> QueryServiceConfigW(ServiceHandle service, std::uint32_t buffer_size,
                                                         std::uint32_t& bytes_needed) = 0;
    // QueryServiceStatusEx(SC_STATUS_PROCESS_INFO).
    virtual SysResult<ServiceStatusProcess> QueryServiceStatusEx(ServiceHandle service) = 0;
    // QueryServiceObjectSecurity into `buffer` as a self-relative descriptor;
    // `bytes_needed` is set also when the call fails with ERROR_INSUFFICIENT_BUFFER.
    virtual SysResult<void> QueryServiceObjectSecurity(ServiceHandle service, std::uint32_t security_information,
                                                       std::span<std::uint8_t> buffer,
                                                       std::uint32_t& bytes_needed) = 0;
};

// Owns one SC_HANDLE and closes it with CloseServiceHandle on every path.
class UniqueServiceHandle {
public:
    UniqueServiceHandle(ServiceControl& scm, ServiceHandle handle) : scm_(&scm), handle_(handle) {}
    UniqueServiceHandle(UniqueServiceHandle&& other) noexcept
        : scm_(other.scm_), handle_(std::exchange(other.handle_, kNullServiceHandle)) {}
    UniqueServiceHandle& operator=(UniqueServiceHandle&&) = delete;
    UniqueServiceHandle(const UniqueServiceHandle&) = delete;
    UniqueServiceHandle& operator=(const UniqueServiceHandle&) = delete;
    ~UniqueServiceHandle() {
        // A failed close leaves nothing to undo.
        if (handle_ != kNullServiceHandle) (void)scm_->CloseServiceHandle(handle_);
    }

    ServiceHandle get() const { return handle_; }

private:
    ServiceControl* scm_;
    ServiceHandle handle_;
};

// SC_MANAGER_* and SERVICE_* access rights.
namespace scm_access {
inline constexpr std::uint32_t kConnect = 0x0001;        // SC_MANAGER_CONNECT
inline constexpr std::uint32_t kCreateService = 0x0002;  // SC_MANAGER_CREATE_SERVICE
}  // namespace scm_access
namespace service_access {
inline constexpr std::uint32_t kQueryConfig = 0x0001;
inline constexpr std::uint32_t kChangeConfig = 0x0002;
inline constexpr std::uint32_t kQueryStatus = 0x0004;
inline constexpr std::uint32_t kEnumerateDependents = 0x0008;
inline constexpr std::uint32_t kStart = 0x0010;
inline constexpr std::uint32_t kStop = 0x0020;
inline constexpr std::uint32_t kPauseContinue = 0x0040;
inline constexpr std::uint32_t kInterrogate = 0x0080;
inline constexpr std::uint32_t kUserDefinedControl = 0x0100;
inline constexpr std::uint32_t kAllAccess = 0x000F01FF;
}  // namespace service_access

// SERVICE_ERROR_* of CreateServiceW.
namespace service_error_control {
inline constexpr std::uint32_t kNormal = 1;
}  // namespace service_error_control

// The generic mapping of service objects.
namespace service_generic {
inline constexpr std::uint32_t kRead = 0x00020000 | service_access::kQueryConfig | service_access::kQueryStatus |
                                       service_access::kInterrogate | service_access::kEnumerateDependents;
inline constexpr std::uint32_t kWrite = 0x00020000 | service_access::kChangeConfig;
inline constexpr std::uint32_t kExecute = 0x00020000 | service_access::kStart | service_access::kStop |
                                          service_access::kPauseContinue | service_access::kUserDefinedControl;
}  // namespace service_generic

namespace service_type {
inline constexpr std::uint32_t kWin32OwnProcess = 0x00000010;
inline constexpr std::uint32_t kWin32ShareProcess = 0x00000020;
}  // namespace service_type

namespace service_start {
inline constexpr std::uint32_t kAutoStart = 2;
inline constexpr std::uint32_t kDemandStart = 3;
inline constexpr std::uint32_t kDisabled = 4;
}  // namespace service_start

namespace service_state {
inline constexpr std::uint32_t kStopped = 1;
inline constexpr std::uint32_t kStartPending = 2;
inline constexpr std::uint32_t kStopPending = 3;
inline constexpr std::uint32_t kRunning = 4;
inline constexpr std::uint32_t kContinuePending = 5;
inline constexpr std::uint32_t kPausePending = 6;
inline constexpr std::uint32_t kPaused = 7;
}  // namespace service_state

// SERVICE_ACCEPT_* bits of controls_accepted.
namespace service_accept {
inline constexpr std::uint32_t kStop = 0x1;
inline constexpr std::uint32_t kPauseContinue = 0x2;
inline constexpr std::uint32_t kShutdown = 0x4;
}  // namespace service_accept

// SERVICE_CONTROL_* codes.
namespace service_control {
inline constexpr std::uint32_t kStop = 1;
inline constexpr std::uint32_t kPause = 2;
inline constexpr std::uint32_t kContinue = 3;
inline constexpr std::uint32_t kInterrogate = 4;
inline constexpr std::uint32_t kShutdown = 5;
inline constexpr std::uint32_t kFirstUserDefined = 128;
inline constexpr std::uint32_t kLastUserDefined = 255;
}  // namespace service_control

// EVENTLOG_*_TYPE of ReportEventW.
namespace event_type {
inline constexpr std::uint16_t kError = 0x0001;
inline constexpr std::uint16_t kWarning = 0x0002;
inline constexpr std::uint16_t kInformation = 0x0004;
}  // namespace event_type

// Service Control Manager errors.
namespace win32_error {
inline constexpr std::uint32_t kCallNotImplemented = 120;
inline constexpr std::uint32_t kServiceRequestTimeout = 1053;
inline constexpr std::uint32_t kInvalidServiceControl = 1052;
inline constexpr std::uint32_t kServiceAlreadyRunning = 1056;
inline constexpr std::uint32_t kServiceDoesNotExist = 1060;
inline constexpr std::uint32_t kServiceCannotAcceptCtrl = 1061;
inline constexpr std::uint32_t kServiceNotActive = 1062;
inline constexpr std::uint32_t kServiceSpecificError = 1066;
inline constexpr std::uint32_t kServiceMarkedForDelete = 1072;
inline constexpr std::uint32_t kServiceExists = 1073;
}  // namespace win32_error

}  // namespace telvo::platform
