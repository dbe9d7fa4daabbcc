#include "host_prepare/network_service_setup.h"

#include <algorithm>
#include <span>
#include <variant>

#include "common/try.h"
#include "host_prepare/service_files.h"
#include "host_prepare/service_installation.h"
#include "network_broker/broker_call.h"
#include "network_broker/protected_service.h"
#include "offline_network/offline_layout.h"
#include "winformat/text.h"

namespace telvo::host_prepare {

namespace {

using namespace platform;

constexpr char kLeasesExist[] =
    "network setup cannot change while active or retained sandbox leases exist; finish runs or resolve recovery "
    "first";
constexpr char kNotQuiesced[] =
    "network service could not quiesce: active/retained leases or a concurrent operation prevent stopping; nothing "
    "was stopped";
constexpr char kPreparePartWay[] =
    "network preparation stopped part-way; run host-prepare --network again to complete it (host-status --network "
    "shows the host's state)";
constexpr char kRemovePartWay[] =
    "network removal stopped part-way; run host-remove --network again to complete it (host-status --network shows "
    "the host's state)";

struct Leases {
    std::uint64_t active = 0;
    std::uint64_t retained = 0;
};

Result<Leases> BrokerLeases(Platform& platform) {
    TELVO_TRY_ASSIGN(const network_broker::BrokerReply reply,
                     network_broker::CallBroker(platform, network_broker::StatusRequest{}));
    const auto* counts = std::get_if<network_broker::StatusResult>(&reply.result);
    if (counts == nullptr) return Fail("unexpected offline network status reply");
    return Leases{counts->active_leases, counts->retained_leases};
}

// Whether the existing service passes the protected service query; a
// foreign one is reported as not installed.
Result<bool> PassesProtectedQuery(Platform& platform) {
    auto query = network_broker::QueryProtectedService(platform);
    if (query) return true;
    if (query.error().message() == network_broker::kForeignServiceConfiguration) return false;
    return std::unexpected(std::move(query.error()));
}

// `own` is this executable's bytes, read once by the operation.
Result<NetworkSetupReport> Status(Platform& platform, const std::u16string& image_path,
                                  std::span<const std::byte> own) {
    NetworkSetupReport report;
    TELVO_TRY_ASSIGN(report.install_path, winformat::Utf16ToUtf8(image_path));
    TELVO_TRY_ASSIGN(const auto installed_image, ReadInstalledImage(platform, image_path));
    report.binary_matches = installed_image && std::ranges::equal(*installed_image, own);

    TELVO_TRY_ASSIGN(const UniqueServiceHandle manager, OpenServiceManager(platform, scm_access::kConnect));
    TELVO_TRY_ASSIGN(const auto service, OpenNetworkService(platform, manager.get(), service_access::kQueryStatus));
    if (!service) return report;
    TELVO_TRY_ASSIGN(report.installed, PassesProtectedQuery(platform));
    TELVO_TRY_ASSIGN(const ServiceStatusProcess status,
                     Lift("QueryServiceStatusEx(network service)",
                          platform.service.QueryServiceStatusEx(service->get())));
    report.running = status.current_state == service_state::kRunning;
    report.quiesced = report.running && (status.controls_accepted & service_accept::kStop) != 0;
    report.service_pid = report.running ? status.process_id : 0;
    if (report.installed && report.running) {
        TELVO_TRY_ASSIGN(const Leases leases, BrokerLeases(platform));
        report.active_leases = leases.active;
        report.retained_leases = leases.retained;
    }
    report.prepared = report.installed && report.running && !report.quiesced && report.binary_matches;
    return report;
}

// Refuses an installation that is not ours before anything is changed.
Result<void> RefuseForeign(Platform& platform, const std::optional<UniqueServiceHandle>& service,
                           const std::u16string& image_path) {
    if (service) TELVO_TRY(network_broker::CheckServiceObject(platform, service->get(), image_path));
    return CheckServiceDirectory(platform, image_path);
}

// Each step after the first change reports that a re-run completes the work.
class Steps {
public:
    explicit Steps(const char* part_way) : part_way_(part_way) {}
    template <class T>
    Result<T> Run(Result<T> result) {
        if (!result && changed) return Fail(std::move(result.error()).Context(part_way_));
        return result;
    }
    bool changed = false;

private:
    const char* part_way_;
};

// A running service quiesced and stopped; refused while it holds leases. A
// quiesced service takes no more registrations: from then on a failure
// leaves work for a re-run.
Result<void> StopForChange(Platform& platform, ServiceHandle service, Steps& steps) {
    TELVO_TRY_ASSIGN(const ServiceStatusProcess status, steps.Run(SettledServiceStatus(platform, service)));
    if (status.current_state == service_state::kStopped) return {};
    TELVO_TRY_ASSIGN(const Leases leases, steps.Run(BrokerLeases(platform)));
    if (leases.active != 0 || leases.retained != 0) return steps.Run(Result<void>(Fail(kLeasesExist)));
    TELVO_TRY_ASSIGN(const bool quiesced, steps.Run(QuiesceNetworkService(platform, service)));
    if (!quiesced) return steps.Run(Result<void>(Fail(kNotQuiesced)));
    steps.changed = true;
    return steps.Run(StopNetworkService(platform, service));
}

Result<NetworkSetupReport> Prepare(Platform& platform, const std::u16string& image_path) {
    TELVO_TRY_ASSIGN(const std::vector<std::byte> own, ReadOwnImage(platform));
    TELVO_TRY_ASSIGN(const UniqueServiceHandle manager,
                     OpenServiceManager(platform, scm_access::kConnect | scm_access::kCreateService));
    TELVO_TRY_ASSIGN(std::optional<UniqueServiceHandle> service,
                     OpenNetworkService(platform, manager.get(), kSetupServiceAccess));
    TELVO_TRY(RefuseForeign(platform, service, image_path));

    Steps steps(kPreparePartWay);
    TELVO_TRY_ASSIGN(const auto layout_leases, offline_network::OfflineLayoutLeaseCount(platform));
    TELVO_TRY(offline_network::InstallOfflineLayout(platform));
    steps.changed = !layout_leases.has_value();

    TELVO_TRY_ASSIGN(const auto installed_image, steps.Run(ReadInstalledImage(platform, image_path)));
    if (!installed_image || !std::ranges::equal(*installed_image, own)) {
        if (service) {
            TELVO_TRY(StopForChange(platform, service->get(), steps));
        }
        steps.changed = true;
        TELVO_TRY(steps.Run(InstallServiceImage(platform, image_path, own)));
    }
    if (!service) {
        TELVO_TRY_ASSIGN(UniqueServiceHandle created,
                         steps.Run(CreateNetworkService(platform, manager.get(), image_path)));
        service.emplace(std::move(created));
        steps.changed = true;
    }
    TELVO_TRY_ASSIGN(const ServiceStatusProcess status, steps.Run(SettledServiceStatus(platform, service->get())));
    if (status.current_state == service_state::kRunning && (status.controls_accepted & service_accept::kStop) != 0) {
        // Quiesced by a removal that did not finish: it takes no registrations until it starts again.
        steps.changed = true;
        TELVO_TRY(steps.Run(StopNetworkService(platform, service->get())));
    }
    if (status.current_state != service_state::kRunning || (status.controls_accepted & service_accept::kStop) != 0) {
        steps.changed = true;
        TELVO_TRY(steps.Run(StartNetworkService(platform, service->get())));
    }
    TELVO_TRY_ASSIGN(NetworkSetupReport report, steps.Run(Status(platform, image_path, own)));
    if (!report.prepared) {
        return steps.Run(Result<NetworkSetupReport>(
            Fail("the network service does not pass its own checks after preparation")));
    }
    report.changed = steps.changed;
    return report;
}

Result<NetworkSetupReport> Remove(Platform& platform, const std::u16string& image_path) {
    TELVO_TRY_ASSIGN(const std::vector<std::byte> own, ReadOwnImage(platform));
    TELVO_TRY_ASSIGN(const UniqueServiceHandle manager, OpenServiceManager(platform, scm_access::kConnect));
    TELVO_TRY_ASSIGN(std::optional<UniqueServiceHandle> service,
                     OpenNetworkService(platform, manager.get(), kSetupServiceAccess));
    TELVO_TRY(RefuseForeign(platform, service, image_path));
    TELVO_TRY_ASSIGN(const auto layout_leases, offline_network::OfflineLayoutLeaseCount(platform));
    if (layout_leases.value_or(0) != 0) return Fail(kLeasesExist);

    Steps steps(kRemovePartWay);
    if (service) {
        TELVO_TRY(StopForChange(platform, service->get(), steps));
        TELVO_TRY(steps.Run(DeleteNetworkService(platform, service->get())));
        steps.changed = true;
        service.reset();  // the service goes with its last handle
    }
    TELVO_TRY_ASSIGN(const bool files_removed, steps.Run(RemoveServiceImage(platform, image_path)));
    steps.changed = steps.changed || files_removed;
    if (layout_leases) {
        TELVO_TRY(steps.Run(offline_network::RemoveOfflineLayout(platform)));
        steps.changed = true;
    }
    TELVO_TRY_ASSIGN(NetworkSetupReport report, steps.Run(Status(platform, image_path, own)));
    report.changed = steps.changed;
    return report;
}

}  // namespace

Result<NetworkSetupReport> RunNetworkOperation(Platform& platform, HostOperation operation) {
    TELVO_TRY_ASSIGN(const std::u16string image_path, network_broker::InstalledServiceImagePath(platform));
    switch (operation) {
        case HostOperation::status: {
            TELVO_TRY_ASSIGN(const std::vector<std::byte> own, ReadOwnImage(platform));
            return Status(platform, image_path, own);
        }
        case HostOperation::prepare: return Prepare(platform, image_path);
        case HostOperation::remove: return Remove(platform, image_path);
    }
    throw InternalFault("unknown host operation");
}

}  // namespace telvo::host_prepare
