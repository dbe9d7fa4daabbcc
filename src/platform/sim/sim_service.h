#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/service.h"

namespace telvo::platform::sim {

class SimHost;
class SimHelperProcess;

// One event of the event log as ReportEventW wrote it.
struct SimLoggedEvent {
    std::u16string source;
    std::uint16_t type = 0;
    std::uint32_t event_id = 0;
    std::vector<std::u16string> strings;
    std::uint32_t process_id = 0;
};

// What a service's program does once the SCM has started its process: it
// runs on that process's first thread, as that process (LocalSystem), and
// returns when the process would exit.
using SimServiceProgram = std::function<void()>;

// An installed service as the Service Control Manager keeps it.
struct SimInstalledService {
    ServiceConfig config;
    ServiceStatusProcess status;
    // The service object's self-relative descriptor (owner, group, DACL).
    std::vector<std::uint8_t> security_descriptor;
    // DeleteService marked it: it goes once it is stopped and unopened.
    bool marked_for_delete = false;
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
// - StartServiceW needs START on the handle; a service that is not STOPPED
//   is ERROR_SERVICE_ALREADY_RUNNING, a disabled one ERROR_SERVICE_DISABLED.
//   It starts a process of its own with a LocalSystem token whose image is
//   the binary path's program, sets START_PENDING (wait hint 2000 ms) with
//   that process id and returns; the process runs the program a test gave
//   for the service (ERROR_SERVICE_REQUEST_TIMEOUT without one: the process
//   never reaches the dispatcher). When the process ends without having
//   reported STOPPED (a crash), the service is STOPPED with
//   ERROR_PROCESS_ABORTED and process id 0.
// - StartServiceCtrlDispatcherW from a process the SCM started runs the
//   service main on a thread of its own and serves controls on the calling
//   thread until the service main has returned; a second call in the same
//   process fails with ERROR_SERVICE_ALREADY_RUNNING; from a console (a
//   process the SCM did not start) it fails with 1063.
// - RegisterServiceCtrlHandlerExW needs a dispatcher in the calling process
//   with that name (ERROR_SERVICE_DOES_NOT_EXIST otherwise). SetServiceStatus
//   needs its handle (ERROR_INVALID_HANDLE), a state from STOPPED to PAUSED
//   (ERROR_INVALID_DATA); STOPPED is reported once: the handle is closed
//   after it and the process id reads 0.
// - ControlService, in order: the right for the code (STOP: STOP;
//   INTERROGATE: INTERROGATE; 128-255: USER_DEFINED_CONTROL; pause, continue,
//   parameter and binding changes: PAUSE_CONTINUE; anything else, SHUTDOWN
//   included, ERROR_INVALID_PARAMETER), ERROR_ACCESS_DENIED without it; the
//   state (STOPPED: ERROR_SERVICE_NOT_ACTIVE; STOP_PENDING, and START_PENDING
//   for anything but STOP: ERROR_SERVICE_CANNOT_ACCEPT_CTRL); the accepted
//   controls (STOP without ACCEPT_STOP, pause and continue without
//   ACCEPT_PAUSE_CONTINUE: ERROR_INVALID_SERVICE_CONTROL, the handler is not
//   called; INTERROGATE and user-defined codes are not gated). The control
//   is then handed to the handler on the dispatcher's thread, and the caller
//   gets the status after it; the handler's answer is kept for a test but
//   never reaches the caller. A handler that has not answered within 30
//   seconds is ERROR_SERVICE_REQUEST_TIMEOUT. Controls are delivered one at
//   a time.
// - CreateServiceW needs a manager handle with CREATE_SERVICE (which only an
//   elevated administrator's manager handle holds); a taken name is
//   ERROR_SERVICE_EXISTS, one marked for deletion
//   ERROR_SERVICE_MARKED_FOR_DELETE. The service is STOPPED with the
//   configuration given (an empty account: "LocalSystem", error control as
//   given, no group, tag or dependencies) and the descriptor Windows gives a
//   new service: owner and group LocalSystem; LocalSystem 0x201FD,
//   Administrators 0xF01FF, Interactive and Service users 0x2018D (query,
//   interrogate, user-defined controls, read control). The creator's handle
//   holds the access it asked for, generic rights mapped.
// - DeleteService needs DELETE and marks the service: while it is running or
//   any handle to it is open it stays, and OpenServiceW, CreateServiceW,
//   StartServiceW and a second DeleteService of it fail with
//   ERROR_SERVICE_MARKED_FOR_DELETE; it goes when it is STOPPED and its last
//   handle is closed.
// - SetServiceObjectSecurity needs WRITE_DAC for the DACL and WRITE_OWNER for
//   the owner or group, and replaces exactly those parts (the DACL's protected
//   bit with it); a descriptor that does not parse is
//   ERROR_INVALID_SECURITY_DESCR.
// - A caller polls a service in a pending state (QueryServiceStatusEx of
//   START_PENDING or STOP_PENDING) on the sim's virtual clock while the
//   service's process works in real time: a query waits until the service
//   reports another state, for at most 2 seconds of real time over all the
//   queries of one pending state, so that a service that never leaves it
//   lets the caller's own time-out run.
// - The event log (11.2): RegisterEventSourceW accepts any source name
//   ("Security" excepted: ERROR_ACCESS_DENIED); ReportEventW takes at most
//   256 strings of at most 31,839 units each (ERROR_INVALID_PARAMETER);
//   a closed or unknown source handle is ERROR_INVALID_HANDLE.
class SimServiceControl final : public ServiceControl {
public:
    explicit SimServiceControl(SimHost& host) : host_(host) {}

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

    // The program the service's process runs when the SCM starts it.
    void SetProgram(const std::u16string& name, SimServiceProgram program);
    // The process the SCM started for the service while it lives (nothing otherwise).
    SimHelperProcess* ServiceProcess(const std::u16string& name);
    // Waits (in real time, at most `timeout_ms`) until the service's status
    // satisfies `ready`; false on time-out.
    bool WaitForStatus(const std::u16string& name, const std::function<bool(const ServiceStatusProcess&)>& ready,
                       std::uint32_t timeout_ms = 20000);
    // Every status the service reported, in order.
    std::vector<ServiceStatus> StatusHistory(const std::u16string& name) const;
    // The answers the service's control handler gave, in order (control, answer).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> HandlerAnswers(const std::u16string& name) const;
    // The system shuts down: SHUTDOWN goes to the service when it accepts it
    // (the handler's answer; nothing when it does not accept it or runs no handler).
    std::optional<std::uint32_t> SendShutdown(const std::u16string& name);
    // The service's process dies at once (killed); the SCM sees it end.
    void KillServiceProcess(const std::u16string& name);
    // Every service process is killed and waited for (the host goes down).
    void EndServiceProcesses();
    // The event log, oldest first.
    std::vector<SimLoggedEvent> Events() const;

private:
    // A process running services: the SCM started it, or a test said the
    // console process was started so.
    struct ServiceProcessState {
        std::u16string key;  // the upper-cased service name
        SimHelperProcess* process = nullptr;
        bool own_process = false;  // started by StartServiceW
        bool dispatcher_called = false;
        std::optional<std::u16string> dispatched;
        ServiceControlHandler handler;
        std::optional<std::uint64_t> status_handle;
        bool main_returned = false;
        bool ended = false;
        // The control being delivered and the handler's answer.
        std::optional<std::uint32_t> pending_control;
        std::optional<std::uint32_t> answer;
        // The dispatcher's thread runs the handler on the pending control:
        // its answer comes even if the service main returns meanwhile.
        bool handler_running = false;
    };
    // Delivers `control` to the handler on the dispatcher's thread and waits
    // for its answer; with `mutex_` held through `lock`.
    std::optional<std::uint32_t> Deliver(std::unique_lock<std::mutex>& lock,
                                         const std::shared_ptr<ServiceProcessState>& state, std::uint32_t control);
    ServiceProcessState* StateOfCaller();
    std::shared_ptr<ServiceProcessState> StateOfService(const std::u16string& key);
    void ProcessEnded(const std::shared_ptr<ServiceProcessState>& state);
    // Erases a service marked for deletion once it is stopped and unopened.
    void DropIfDeleted(const std::u16string& key);

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
    std::condition_variable changed_;
    std::mutex control_mutex_;  // one control at a time
    std::map<std::u16string, SimServiceProgram> programs_;  // by upper-cased name
    std::vector<std::shared_ptr<ServiceProcessState>> processes_;
    std::map<std::uint64_t, std::u16string> event_sources_;
    std::vector<SimLoggedEvent> events_;
    std::map<std::u16string, std::vector<ServiceStatus>> history_;  // by upper-cased name
    std::map<std::u16string, std::vector<std::pair<std::uint32_t, std::uint32_t>>> answers_;
    // The pending state a caller last polled, by upper-cased name, and the
    // end of the real time its queries may wait for the service.
    std::map<std::u16string, std::pair<std::uint32_t, std::chrono::steady_clock::time_point>> pending_grace_;
};

}  // namespace telvo::platform::sim
