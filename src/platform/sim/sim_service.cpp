#include "platform/sim/sim_service.h"

#include <cstring>

#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_host.h"
#include "platform/types.h"
#include "winformat/ordinal_case.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

namespace {


constexpr std::uint32_t kReadControl = 0x00020000;
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

std::uint32_t StringBytes(const std::u16string& text) { return static_cast<std::uint32_t>((text.size() + 1) * 2); }

}  // namespace

SysResult<void> SimServiceControl::StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                                ServiceMain service_main) {
    TELVO_SIM_ENTER(host_, "StartServiceCtrlDispatcherW");
    if (!scm_arguments_) {
        return std::unexpected(SysError::Win32(win32_error::kFailedServiceControllerConnect));
    }
    dispatched_name_ = service_name;
    service_main(*scm_arguments_);
    return {};
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
    if (handles_.erase(static_cast<std::uint64_t>(handle)) == 0) return Win32Failure(win32_error::kInvalidHandle);
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
    std::lock_guard lock(mutex_);
    auto installed = Open(service, service_access::kQueryStatus);
    if (!installed) return std::unexpected(installed.error());
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

}  // namespace telvo::platform::sim
