#include "platform/sim/sim_service.h"

#include <chrono>
#include <cstring>

#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_host.h"
#include "platform/sim/sim_processes.h"
#include "platform/sim/sim_token.h"
#include "platform/types.h"
#include "winformat/ordinal_case.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

namespace {


constexpr std::uint32_t kReadControl = 0x00020000;
constexpr std::uint32_t kDelete = 0x00010000;
constexpr std::uint32_t kWriteDac = 0x00040000;
constexpr std::uint32_t kWriteOwner = 0x00080000;
constexpr std::uint32_t kOwnerOrGroup = 0x1 | 0x2;  // OWNER_ and GROUP_SECURITY_INFORMATION
constexpr std::uint32_t kDaclInformation = 0x4;
constexpr auto kPendingGrace = std::chrono::seconds(2);
constexpr std::uint32_t kQueryServiceConfigSize = 64;  // sizeof(QUERY_SERVICE_CONFIGW) on x64

// The manager's own descriptor and generic mapping (windows-notes 11.1).
constexpr GenericMapping kManagerMapping{0x00020014, 0x00020022, 0x00020009, 0x000F003F};
constexpr GenericMapping kServiceMapping{service_generic::kRead, service_generic::kWrite, service_generic::kExecute,
                                         service_access::kAllAccess};

const winformat::SecurityDescriptor& ManagerDescriptor() {
    static const winformat::SecurityDescriptor descriptor = [] {
        winformat::SecurityDescriptor built;
        built.owner = winformat::well_known::LocalSystem();
        built.group = winformat::well_known::LocalSystem();
        built.dacl = winformat::AclSlot(*winformat::Acl::Fitted(
            winformat::acl_revision::kRevision,
            {winformat::Ace::Allowed(0x00020015, winformat::well_known::AuthenticatedUsers()),
             winformat::Ace::Allowed(0x00020035, winformat::well_known::LocalSystem()),
             winformat::Ace::Allowed(0x000F003F, winformat::well_known::Administrators())}));
        return built;
    }();
    return descriptor;
}

// What Windows gives a service CreateServiceW makes.
std::vector<std::uint8_t> NewServiceDescriptor() {
    namespace wk = winformat::well_known;
    winformat::SecurityDescriptor built;
    built.owner = wk::LocalSystem();
    built.group = wk::LocalSystem();
    const winformat::Sid interactive = winformat::Sid::Make(winformat::sid_authority::kNt, {4});
    const winformat::Sid service = winformat::Sid::Make(winformat::sid_authority::kNt, {6});
    built.dacl = winformat::AclSlot(*winformat::Acl::Fitted(
        winformat::acl_revision::kRevision,
        {winformat::Ace::Allowed(0x000201FD, wk::LocalSystem()), winformat::Ace::Allowed(0x000F01FF, wk::Administrators()),
         winformat::Ace::Allowed(0x0002018D, interactive), winformat::Ace::Allowed(0x0002018D, service)}));
    return built.ToSelfRelative();
}

bool IsPending(std::uint32_t state) {
    return state == service_state::kStartPending || state == service_state::kStopPending;
}

std::uint32_t StringBytes(const std::u16string& text) { return static_cast<std::uint32_t>((text.size() + 1) * 2); }

constexpr std::uint32_t kServiceDisabled = 1058;   // ERROR_SERVICE_DISABLED
constexpr std::uint32_t kProcessAborted = 1067;    // ERROR_PROCESS_ABORTED
constexpr std::uint32_t kStartWaitHintMs = 2000;
constexpr auto kHandlerTimeout = std::chrono::seconds(30);
constexpr std::size_t kMaxEventStrings = 256;
constexpr std::size_t kMaxEventStringUnits = 31839;

// The right ControlService needs for `control`; nothing for a code no client may send.
std::optional<std::uint32_t> RightForControl(std::uint32_t control) {
    if (control == service_control::kStop) return service_access::kStop;
    if (control == service_control::kInterrogate) return service_access::kInterrogate;
    if (control >= service_control::kFirstUserDefined && control <= service_control::kLastUserDefined) {
        return service_access::kUserDefinedControl;
    }
    // PAUSE, CONTINUE, PARAMCHANGE, NETBINDADD/REMOVE/ENABLE/DISABLE.
    if (control == service_control::kPause || control == service_control::kContinue ||
        (control >= 6 && control <= 10)) {
        return service_access::kPauseContinue;
    }
    return std::nullopt;
}

// The accepted-controls bit a control needs; 0 for the ungated ones.
std::uint32_t AcceptBitForControl(std::uint32_t control) {
    if (control == service_control::kStop) return service_accept::kStop;
    if (control == service_control::kPause || control == service_control::kContinue) {
        return service_accept::kPauseContinue;
    }
    if (control == 6) return 0x8;                       // PARAMCHANGE
    if (control >= 7 && control <= 10) return 0x10;     // NETBIND*
    return 0;
}


}  // namespace

SimServiceControl::ServiceProcessState* SimServiceControl::StateOfCaller() {
    const std::uint32_t id = host_.caller().id();
    for (const auto& state : processes_) {
        if (!state->ended && state->process->id() == id) return state.get();
    }
    return nullptr;
}

std::shared_ptr<SimServiceControl::ServiceProcessState> SimServiceControl::StateOfService(
    const std::u16string& key) {
    for (const auto& state : processes_) {
        if (!state->ended && !state->main_returned && state->key == key) return state;
    }
    return nullptr;
}

SysResult<void> SimServiceControl::StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                                ServiceMain service_main) {
    TELVO_SIM_ENTER(host_, "StartServiceCtrlDispatcherW");
    std::unique_lock lock(mutex_);
    std::shared_ptr<ServiceProcessState> state;
    for (const auto& candidate : processes_) {
        if (!candidate->ended && candidate->process->id() == host_.caller().id()) state = candidate;
    }
    if (!state) {
        if (!scm_arguments_) return Win32Failure(win32_error::kFailedServiceControllerConnect);
        state = std::make_shared<ServiceProcessState>();
        state->key = winformat::Upcased(service_name);
        state->process = &host_.caller();
        processes_.push_back(state);
    }
    if (state->dispatcher_called) return Win32Failure(win32_error::kServiceAlreadyRunning);
    state->dispatcher_called = true;
    state->dispatched = service_name;
    dispatched_name_ = service_name;
    std::vector<std::u16string> arguments = scm_arguments_.value_or(std::vector<std::u16string>{service_name});
    lock.unlock();
    host_.processes().StartThreadFor(*state->process, [this, state, main = std::move(service_main),
                                                       arguments = std::move(arguments)] {
        main(arguments);
        std::lock_guard returned(mutex_);
        state->main_returned = true;
        changed_.notify_all();
    });
    // The dispatcher's thread serves controls until the service main returns.
    lock.lock();
    for (;;) {
        changed_.wait(lock, [&] {
            return (state->pending_control && !state->answer) || state->main_returned || state->ended;
        });
        if (state->main_returned || state->ended) break;
        const std::uint32_t control = *state->pending_control;
        ServiceControlHandler handler = state->handler;
        state->handler_running = true;
        lock.unlock();
        const std::uint32_t answer = handler ? handler(control) : win32_error::kCallNotImplemented;
        lock.lock();
        state->handler_running = false;
        state->answer = answer;
        answers_[state->key].emplace_back(control, answer);
        changed_.notify_all();
    }
    return {};
}

SysResult<ServiceStatusHandle> SimServiceControl::RegisterServiceCtrlHandlerExW(const std::u16string& service_name,
                                                                                ServiceControlHandler handler) {
    TELVO_SIM_ENTER(host_, "RegisterServiceCtrlHandlerExW");
    std::lock_guard lock(mutex_);
    ServiceProcessState* state = StateOfCaller();
    if (state == nullptr || !state->dispatched ||
        winformat::Upcased(*state->dispatched) != winformat::Upcased(service_name)) {
        return Win32Failure(win32_error::kServiceDoesNotExist);
    }
    state->handler = std::move(handler);
    if (!state->status_handle) state->status_handle = next_handle_ += 8;
    return ServiceStatusHandle{*state->status_handle};
}

SysResult<void> SimServiceControl::SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    TELVO_SIM_ENTER(host_, "SetServiceStatus",
                    {status.service_type, status.current_state, status.controls_accepted, status.win32_exit_code,
                     status.service_specific_exit_code, status.check_point, status.wait_hint});
    std::lock_guard lock(mutex_);
    ServiceProcessState* state = nullptr;
    for (const auto& candidate : processes_) {
        if (candidate->status_handle == static_cast<std::uint64_t>(handle)) state = candidate.get();
    }
    if (state == nullptr) return Win32Failure(win32_error::kInvalidHandle);
    if (status.current_state < service_state::kStopped || status.current_state > service_state::kPaused) {
        return Win32Failure(win32_error::kInvalidData);
    }
    history_[state->key].push_back(status);
    pending_grace_.erase(state->key);
    auto it = services_.find(state->key);
    if (it != services_.end()) {
        const bool stopped = status.current_state == service_state::kStopped;
        it->second.status = ServiceStatusProcess{status, stopped ? 0 : state->process->id(), 0};
    }
    // STOPPED closes the service's side: the handle answers no more.
    if (status.current_state == service_state::kStopped) {
        state->status_handle.reset();
        DropIfDeleted(state->key);
    }
    changed_.notify_all();
    return {};
}

SysResult<void> SimServiceControl::StartServiceW(ServiceHandle service) {
    TELVO_SIM_ENTER(host_, "StartServiceW");
    std::unique_lock lock(mutex_);
    auto installed = Open(service, service_access::kStart);
    if (!installed) return std::unexpected(installed.error());
    const std::u16string key = *handles_.at(static_cast<std::uint64_t>(service)).service;
    if ((*installed)->marked_for_delete) return Win32Failure(win32_error::kServiceMarkedForDelete);
    if ((*installed)->status.current_state != service_state::kStopped) {
        return Win32Failure(win32_error::kServiceAlreadyRunning);
    }
    if ((*installed)->config.start_type == service_start::kDisabled) return Win32Failure(kServiceDisabled);
    auto program = programs_.find(key);
    if (program == programs_.end() || !program->second) return Win32Failure(win32_error::kServiceRequestTimeout);
    const std::u16string image = ProgramOfCommandLine((*installed)->config.binary_path_name);
    SimServiceProgram run = program->second;
    lock.unlock();
    SimHelperProcess& process = host_.StartHelperProcessAs(std::make_shared<const SimToken>(SimToken::LocalSystem()));
    process.SetImagePath(image);
    lock.lock();
    auto state = std::make_shared<ServiceProcessState>();
    state->key = key;
    state->process = &process;
    state->own_process = true;
    pending_grace_.erase(key);
    processes_.push_back(state);
    auto it = services_.find(key);
    if (it != services_.end()) {
        it->second.status = ServiceStatusProcess{
            {it->second.config.service_type, service_state::kStartPending, 0, 0, 0, 0, kStartWaitHintMs},
            process.id(),
            0};
    }
    changed_.notify_all();
    lock.unlock();
    host_.processes().StartThreadFor(process, [this, state, run = std::move(run)] {
        run();
        ProcessEnded(state);
    });
    return {};
}

void SimServiceControl::ProcessEnded(const std::shared_ptr<ServiceProcessState>& state) {
    {
        std::lock_guard lock(mutex_);
        state->ended = true;
        pending_grace_.erase(state->key);
        auto it = services_.find(state->key);
        // A process that ends without having reported STOPPED has crashed.
        if (it != services_.end() && it->second.status.process_id == state->process->id()) {
            it->second.status = ServiceStatusProcess{
                {it->second.config.service_type, service_state::kStopped, 0, kProcessAborted, 0, 0, 0}, 0, 0};
        }
        DropIfDeleted(state->key);
        std::erase(processes_, state);
        changed_.notify_all();
    }
    host_.KillProcess(*state->process);
}

std::optional<std::uint32_t> SimServiceControl::Deliver(std::unique_lock<std::mutex>& lock,
                                                        const std::shared_ptr<ServiceProcessState>& state,
                                                        std::uint32_t control) {
    state->pending_control = control;
    state->answer.reset();
    changed_.notify_all();
    // A handler that stops the service may see its main return before it
    // answers; the answer still comes, as ControlService returns what the
    // handler said.
    changed_.wait_for(lock, kHandlerTimeout, [&] {
        return state->answer.has_value() || state->ended || (state->main_returned && !state->handler_running);
    });
    const std::optional<std::uint32_t> answer = state->answer;
    state->pending_control.reset();
    state->answer.reset();
    return answer;
}

SysResult<ServiceStatus> SimServiceControl::ControlService(ServiceHandle service, std::uint32_t control) {
    TELVO_SIM_ENTER(host_, "ControlService", {control});
    std::lock_guard serial(control_mutex_);
    std::unique_lock lock(mutex_);
    auto opened = handles_.find(static_cast<std::uint64_t>(service));
    if (opened == handles_.end() || !opened->second.service) return Win32Failure(win32_error::kInvalidHandle);
    const std::optional<std::uint32_t> right = RightForControl(control);
    if (!right) return Win32Failure(win32_error::kInvalidParameter);
    auto installed = Open(service, *right);
    if (!installed) return std::unexpected(installed.error());
    const std::u16string key = *opened->second.service;
    const ServiceStatusProcess& status = (*installed)->status;
    if (status.current_state == service_state::kStopped) return Win32Failure(win32_error::kServiceNotActive);
    if (status.current_state == service_state::kStopPending ||
        (status.current_state == service_state::kStartPending && control != service_control::kStop)) {
        return Win32Failure(win32_error::kServiceCannotAcceptCtrl);
    }
    const std::uint32_t accept_bit = AcceptBitForControl(control);
    if (accept_bit != 0 && (status.controls_accepted & accept_bit) == 0) {
        return Win32Failure(win32_error::kInvalidServiceControl);
    }
    const auto state = StateOfService(key);
    if (state == nullptr || !state->dispatcher_called) return Win32Failure(win32_error::kServiceRequestTimeout);
    const std::uint32_t process_id = state->process->id();
    const bool answered = Deliver(lock, state, control).has_value();
    host_.pipes().InterruptRealWaits(process_id);
    if (!answered) return Win32Failure(win32_error::kServiceRequestTimeout);
    auto after = services_.find(key);
    if (after == services_.end()) return Win32Failure(win32_error::kInvalidHandle);
    return static_cast<const ServiceStatus&>(after->second.status);
}

void SimServiceControl::SetProgram(const std::u16string& name, SimServiceProgram program) {
    std::lock_guard lock(mutex_);
    programs_[winformat::Upcased(name)] = std::move(program);
}

SimHelperProcess* SimServiceControl::ServiceProcess(const std::u16string& name) {
    std::lock_guard lock(mutex_);
    const auto state = StateOfService(winformat::Upcased(name));
    return state == nullptr ? nullptr : state->process;
}

bool SimServiceControl::WaitForStatus(const std::u16string& name,
                                      const std::function<bool(const ServiceStatusProcess&)>& ready,
                                      std::uint32_t timeout_ms) {
    std::unique_lock lock(mutex_);
    const std::u16string key = winformat::Upcased(name);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        auto it = services_.find(key);
        return it != services_.end() && ready(it->second.status);
    });
}

std::vector<ServiceStatus> SimServiceControl::StatusHistory(const std::u16string& name) const {
    std::lock_guard lock(mutex_);
    auto it = history_.find(winformat::Upcased(name));
    return it == history_.end() ? std::vector<ServiceStatus>{} : it->second;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> SimServiceControl::HandlerAnswers(const std::u16string& name) const {
    std::lock_guard lock(mutex_);
    auto it = answers_.find(winformat::Upcased(name));
    return it == answers_.end() ? std::vector<std::pair<std::uint32_t, std::uint32_t>>{} : it->second;
}

std::optional<std::uint32_t> SimServiceControl::SendShutdown(const std::u16string& name) {
    std::lock_guard serial(control_mutex_);
    std::unique_lock lock(mutex_);
    const std::u16string key = winformat::Upcased(name);
    auto it = services_.find(key);
    const auto state = StateOfService(key);
    if (it == services_.end() || state == nullptr || !state->dispatcher_called ||
        (it->second.status.controls_accepted & service_accept::kShutdown) == 0) {
        return std::nullopt;
    }
    const std::uint32_t process_id = state->process->id();
    const std::optional<std::uint32_t> answer = Deliver(lock, state, service_control::kShutdown);
    host_.pipes().InterruptRealWaits(process_id);
    return answer;
}

void SimServiceControl::KillServiceProcess(const std::u16string& name) {
    SimHelperProcess* process = nullptr;
    {
        std::lock_guard lock(mutex_);
        const auto state = StateOfService(winformat::Upcased(name));
        if (state == nullptr) return;
        process = state->process;
    }
    host_.KillProcess(*process);
    std::lock_guard lock(mutex_);
    for (const auto& state : processes_) {
        if (state->process == process) state->ended = true;
    }
    changed_.notify_all();
}

void SimServiceControl::EndServiceProcesses() {
    std::vector<SimHelperProcess*> running;
    {
        std::lock_guard lock(mutex_);
        for (const auto& state : processes_) {
            // A console process that a test marked stays the test's.
            if (state->own_process) running.push_back(state->process);
        }
    }
    for (SimHelperProcess* process : running) host_.KillProcess(*process);
    std::lock_guard lock(mutex_);
    for (const auto& state : processes_) state->ended = true;
    changed_.notify_all();
}

SysResult<EventSourceHandle> SimServiceControl::RegisterEventSourceW(const std::u16string& source_name) {
    TELVO_SIM_ENTER(host_, "RegisterEventSourceW");
    if (winformat::Upcased(source_name) == u"SECURITY") return Win32Failure(win32_error::kAccessDenied);
    std::lock_guard lock(mutex_);
    const std::uint64_t value = next_handle_ += 8;
    event_sources_[value] = source_name;
    return EventSourceHandle{value};
}

SysResult<void> SimServiceControl::ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint32_t event_id,
                                                std::span<const std::u16string> strings) {
    TELVO_SIM_ENTER(host_, "ReportEventW", {type, event_id, strings.size()});
    std::lock_guard lock(mutex_);
    auto it = event_sources_.find(static_cast<std::uint64_t>(source));
    if (it == event_sources_.end()) return Win32Failure(win32_error::kInvalidHandle);
    if (strings.size() > kMaxEventStrings) return Win32Failure(win32_error::kInvalidParameter);
    for (const std::u16string& text : strings) {
        if (text.size() > kMaxEventStringUnits) return Win32Failure(win32_error::kInvalidParameter);
    }
    events_.push_back(SimLoggedEvent{it->second, type, event_id, {strings.begin(), strings.end()}, host_.caller().id()});
    return {};
}

SysResult<void> SimServiceControl::DeregisterEventSource(EventSourceHandle source) {
    TELVO_SIM_ENTER(host_, "DeregisterEventSource");
    std::lock_guard lock(mutex_);
    if (event_sources_.erase(static_cast<std::uint64_t>(source)) == 0) return Win32Failure(win32_error::kInvalidHandle);
    return {};
}

std::vector<SimLoggedEvent> SimServiceControl::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void SimServiceControl::StartedByServiceControlManager(std::vector<std::u16string> arguments) {
    scm_arguments_ = std::move(arguments);
}

void SimServiceControl::Install(const std::u16string& name, SimInstalledService service) {
    std::lock_guard lock(mutex_);
    const std::u16string key = winformat::Upcased(name);
    host_.changes().Note([&] {
        return SimChange{SimChange::Kind::service_changed, name, services_.contains(key) ? u"changed" : u"installed"};
    });
    services_[key] = std::move(service);
    installed_names_[key] = name;
}

std::vector<std::pair<std::u16string, SimInstalledService>> SimServiceControl::Installed() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::u16string, SimInstalledService>> all;
    for (const auto& [key, service] : services_) all.emplace_back(installed_names_.at(key), service);
    return all;
}

SimInstalledService* SimServiceControl::Find(const std::u16string& name) {
    std::lock_guard lock(mutex_);
    auto it = services_.find(winformat::Upcased(name));
    return it == services_.end() ? nullptr : &it->second;
}

std::size_t SimServiceControl::OpenHandleCount() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

SysResult<ServiceHandle> SimServiceControl::OpenSCManagerW(std::uint32_t desired_access) {
    TELVO_SIM_ENTER(host_, "OpenSCManagerW", {desired_access});
    const std::uint32_t access = MapGenericBits(desired_access, kManagerMapping);
    auto decision =
        EvaluateAccess(ManagerDescriptor(), host_.security().ProcessToken().identity, access, kManagerMapping);
    if (!decision) return std::unexpected(decision.error());
    if (!decision->granted) return Win32Failure(win32_error::kAccessDenied);
    std::lock_guard lock(mutex_);
    const std::uint64_t value = next_handle_ += 8;
    handles_[value] = OpenHandle{std::nullopt, decision->granted_access};
    return ServiceHandle{value};
}

SysResult<ServiceHandle> SimServiceControl::OpenServiceW(ServiceHandle manager, const std::u16string& service_name,
                                                         std::uint32_t desired_access) {
    TELVO_SIM_ENTER(host_, "OpenServiceW", {desired_access});
    std::lock_guard lock(mutex_);
    auto opened = handles_.find(static_cast<std::uint64_t>(manager));
    if (opened == handles_.end() || opened->second.service) return Win32Failure(win32_error::kInvalidHandle);
    if ((opened->second.granted & scm_access::kConnect) == 0) return Win32Failure(win32_error::kAccessDenied);
    const std::u16string key = winformat::Upcased(service_name);
    auto it = services_.find(key);
    if (it == services_.end()) return Win32Failure(win32_error::kServiceDoesNotExist);
    if (it->second.marked_for_delete) return Win32Failure(win32_error::kServiceMarkedForDelete);
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(it->second.security_descriptor);
    if (!descriptor) return Win32Failure(win32_error::kInvalidSecurityDescr);
    const std::uint32_t access = MapGenericBits(desired_access, kServiceMapping);
    auto decision = EvaluateAccess(*descriptor, host_.security().ProcessToken().identity, access, kServiceMapping);
    if (!decision) return std::unexpected(decision.error());
    if (!decision->granted) return Win32Failure(win32_error::kAccessDenied);
    const std::uint64_t value = next_handle_ += 8;
    handles_[value] = OpenHandle{key, decision->granted_access};
    return ServiceHandle{value};
}

SysResult<void> SimServiceControl::CloseServiceHandle(ServiceHandle handle) {
    TELVO_SIM_ENTER(host_, "CloseServiceHandle");
    std::lock_guard lock(mutex_);
    auto it = handles_.find(static_cast<std::uint64_t>(handle));
    if (it == handles_.end()) return Win32Failure(win32_error::kInvalidHandle);
    const std::optional<std::u16string> service = it->second.service;
    handles_.erase(it);
    if (service) DropIfDeleted(*service);
    return {};
}

SysResult<SimInstalledService*> SimServiceControl::Open(ServiceHandle handle, std::uint32_t access) {
    auto opened = handles_.find(static_cast<std::uint64_t>(handle));
    if (opened == handles_.end() || !opened->second.service) return Win32Failure(win32_error::kInvalidHandle);
    if ((opened->second.granted & access) != access) return Win32Failure(win32_error::kAccessDenied);
    auto it = services_.find(*opened->second.service);
    if (it == services_.end()) return Win32Failure(win32_error::kInvalidHandle);
    return &it->second;
}

SysResult<ServiceConfig> SimServiceControl::QueryServiceConfigW(ServiceHandle service, std::uint32_t buffer_size,
                                                                std::uint32_t& bytes_needed) {
    TELVO_SIM_ENTER(host_, "QueryServiceConfigW", {buffer_size});
    std::lock_guard lock(mutex_);
    auto installed = Open(service, service_access::kQueryConfig);
    if (!installed) return std::unexpected(installed.error());
    const ServiceConfig& config = (*installed)->config;
    bytes_needed = kQueryServiceConfigSize + StringBytes(config.binary_path_name) +
                   StringBytes(config.load_order_group) + StringBytes(config.dependencies) + 2 +
                   StringBytes(config.service_start_name) + StringBytes(config.display_name);
    if (buffer_size < bytes_needed) return Win32Failure(win32_error::kInsufficientBuffer);
    return config;
}

SysResult<ServiceStatusProcess> SimServiceControl::QueryServiceStatusEx(ServiceHandle service) {
    TELVO_SIM_ENTER(host_, "QueryServiceStatusEx");
    std::unique_lock lock(mutex_);
    auto installed = Open(service, service_access::kQueryStatus);
    if (!installed) return std::unexpected(installed.error());
    const std::uint32_t seen = (*installed)->status.current_state;
    // pending_grace_ is forgotten whenever the service's status or process changes.
    if (IsPending(seen)) {
        auto& [state, grace] = pending_grace_[*handles_.at(static_cast<std::uint64_t>(service)).service];
        if (state != seen) {
            state = seen;
            grace = std::chrono::steady_clock::now() + kPendingGrace;
        }
        // A copy: the entry goes with the next status report, while this waits.
        const auto grace_end = grace;
        changed_.wait_until(lock, grace_end, [&] {
            auto now = Open(service, service_access::kQueryStatus);
            return !now || (*now)->status.current_state != seen;
        });
        installed = Open(service, service_access::kQueryStatus);
        if (!installed) return std::unexpected(installed.error());
    }
    return (*installed)->status;
}

SysResult<void> SimServiceControl::QueryServiceObjectSecurity(ServiceHandle service,
                                                              std::uint32_t security_information,
                                                              std::span<std::uint8_t> buffer,
                                                              std::uint32_t& bytes_needed) {
    TELVO_SIM_ENTER(host_, "QueryServiceObjectSecurity", {security_information, buffer.size()});
    std::lock_guard lock(mutex_);
    auto installed = Open(service, kReadControl);
    if (!installed) return std::unexpected(installed.error());
    auto parts = SelectDescriptorParts((*installed)->security_descriptor, security_information);
    if (!parts) return std::unexpected(*parts.error().sys());
    bytes_needed = static_cast<std::uint32_t>(parts->size());
    if (buffer.size() < parts->size()) return Win32Failure(win32_error::kInsufficientBuffer);
    std::memcpy(buffer.data(), parts->data(), parts->size());
    return {};
}

void SimServiceControl::DropIfDeleted(const std::u16string& key) {
    auto it = services_.find(key);
    if (it == services_.end() || !it->second.marked_for_delete ||
        it->second.status.current_state != service_state::kStopped) {
        return;
    }
    for (const auto& [value, open] : handles_) {
        if (open.service == key) return;
    }
    const std::u16string name = installed_names_.at(key);
    host_.changes().Note([&] { return SimChange{SimChange::Kind::service_changed, name, u"deleted"}; });
    services_.erase(it);
    installed_names_.erase(key);
    changed_.notify_all();
}

SysResult<ServiceHandle> SimServiceControl::CreateServiceW(ServiceHandle manager, const ServiceDefinition& definition,
                                                           std::uint32_t desired_access) {
    TELVO_SIM_ENTER(host_, "CreateServiceW",
                    {definition.service_type, definition.start_type, definition.error_control, desired_access});
    std::lock_guard lock(mutex_);
    auto opened = handles_.find(static_cast<std::uint64_t>(manager));
    if (opened == handles_.end() || opened->second.service) return Win32Failure(win32_error::kInvalidHandle);
    if ((opened->second.granted & scm_access::kCreateService) == 0) return Win32Failure(win32_error::kAccessDenied);
    if (definition.service_name.empty() || definition.binary_path_name.empty()) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    const std::u16string key = winformat::Upcased(definition.service_name);
    if (auto it = services_.find(key); it != services_.end()) {
        return Win32Failure(it->second.marked_for_delete ? win32_error::kServiceMarkedForDelete
                                                         : win32_error::kServiceExists);
    }
    SimInstalledService created;
    created.config.service_type = definition.service_type;
    created.config.start_type = definition.start_type;
    created.config.error_control = definition.error_control;
    created.config.binary_path_name = definition.binary_path_name;
    created.config.service_start_name =
        definition.service_start_name.empty() ? u"LocalSystem" : definition.service_start_name;
    created.config.display_name = definition.display_name;
    created.status.service_type = definition.service_type;
    created.status.current_state = service_state::kStopped;
    created.security_descriptor = NewServiceDescriptor();
    host_.changes().Note(
        [&] { return SimChange{SimChange::Kind::service_changed, definition.service_name, u"installed"}; });
    services_[key] = std::move(created);
    installed_names_[key] = definition.service_name;
    const std::uint64_t value = next_handle_ += 8;
    handles_[value] = OpenHandle{key, MapGenericBits(desired_access, kServiceMapping)};
    changed_.notify_all();
    return ServiceHandle{value};
}

SysResult<void> SimServiceControl::DeleteService(ServiceHandle service) {
    TELVO_SIM_ENTER(host_, "DeleteService");
    std::lock_guard lock(mutex_);
    auto installed = Open(service, kDelete);
    if (!installed) return std::unexpected(installed.error());
    if ((*installed)->marked_for_delete) return Win32Failure(win32_error::kServiceMarkedForDelete);
    (*installed)->marked_for_delete = true;
    return {};
}

SysResult<void> SimServiceControl::SetServiceObjectSecurity(ServiceHandle service, std::uint32_t security_information,
                                                            std::span<const std::uint8_t> security_descriptor) {
    TELVO_SIM_ENTER(host_, "SetServiceObjectSecurity", {security_information});
    std::lock_guard lock(mutex_);
    std::uint32_t needed = 0;
    if (security_information & kDaclInformation) needed |= kWriteDac;
    if (security_information & kOwnerOrGroup) needed |= kWriteOwner;
    if (needed == 0 || (security_information & ~(kDaclInformation | kOwnerOrGroup)) != 0) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    auto installed = Open(service, needed);
    if (!installed) return std::unexpected(installed.error());
    auto passed = winformat::SecurityDescriptor::ParseSelfRelative(security_descriptor);
    auto stored = winformat::SecurityDescriptor::ParseSelfRelative((*installed)->security_descriptor);
    if (!passed || !stored) return Win32Failure(win32_error::kInvalidSecurityDescr);
    if (security_information & 0x1) stored->owner = passed->owner;
    if (security_information & 0x2) stored->group = passed->group;
    if (security_information & kDaclInformation) {
        stored->dacl = passed->dacl;
        stored->control = static_cast<std::uint16_t>((stored->control & ~winformat::sd_control::kDaclProtected) |
                                                     (passed->control & winformat::sd_control::kDaclProtected));
    }
    (*installed)->security_descriptor = stored->ToSelfRelative();
    const std::u16string name = installed_names_.at(*handles_.at(static_cast<std::uint64_t>(service)).service);
    host_.changes().Note([&] { return SimChange{SimChange::Kind::service_changed, name, u"descriptor changed"}; });
    return {};
}

}  // namespace telvo::platform::sim
