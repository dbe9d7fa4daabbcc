#include "network_broker/offline_lease.h"

#include <algorithm>

#include "common/try.h"
#include "network_broker/broker_call.h"

namespace telvo::network_broker {

OfflineLease::OfflineLease(platform::Platform& platform, std::string profile_name, std::string lease_id,
                           std::shared_ptr<process::SandboxJob> job)
    : platform_(platform), profile_name_(std::move(profile_name)), lease_id_(std::move(lease_id)), job_(std::move(job)) {}

OfflineLease::OfflineLease(OfflineLease&& other) noexcept
    : platform_(other.platform_),
      profile_name_(std::move(other.profile_name_)),
      lease_id_(std::move(other.lease_id_)),
      job_(std::move(other.job_)),
      released_(std::exchange(other.released_, true)),
      kept_(other.kept_) {}

OfflineLease::~OfflineLease() {
    // A moved-from lease is marked released; the error of a last attempt has
    // no one to go to.
    if (!released_ && !kept_) (void)ReleaseOfflineLease(*this);
}

Result<OfflineLease> RegisterOfflineLease(platform::Platform& platform, const std::string& profile_name,
                                          std::uint32_t process_id, std::shared_ptr<process::SandboxJob> job) {
    const RegisterRequest request{kProtocolVersion, profile_name, process_id,
                                  static_cast<std::uint64_t>(job->handle())};
    TELVO_TRY_ASSIGN(BrokerReply reply, CallBroker(platform, request));
    auto* registered = std::get_if<RegisteredResult>(&reply.result);
    if (registered == nullptr || registered->lease_id.empty() ||
        std::ranges::find(registered->filter_ids, std::uint64_t{0}) != registered->filter_ids.end()) {
        return Fail("unexpected network broker registration reply");
    }
    return OfflineLease(platform, profile_name, std::move(registered->lease_id), std::move(job));
}

Result<void> ReleaseOfflineLease(OfflineLease& lease) {
    if (lease.released_) return {};
    TELVO_TRY_ASSIGN(const std::uint32_t active, process::JobActiveProcessCount(*lease.job_));
    if (active != 0) {
        return Fail("Windows sandbox job still has " + std::to_string(active) + " active process(es)");
    }
    const ReleaseRequest request{kProtocolVersion, lease.profile_name_, lease.lease_id_,
                                 static_cast<std::uint64_t>(lease.job_->handle())};
    TELVO_TRY_ASSIGN(const BrokerReply reply, CallBroker(lease.platform_, request));
    if (!std::holds_alternative<ReleasedResult>(reply.result)) return Fail("unexpected network broker release reply");
    lease.released_ = true;
    return {};
}

Result<void> RecoverOfflineLease(platform::Platform& platform, const std::string& profile_name) {
    TELVO_TRY_ASSIGN(const BrokerReply reply, CallBroker(platform, RecoverRequest{kProtocolVersion, profile_name}));
    if (!std::holds_alternative<RecoveredResult>(reply.result)) {
        return Fail("unexpected network broker recovery reply");
    }
    return {};
}

Result<BrokerStatusReply> QueryBrokerStatus(platform::Platform& platform) {
    TELVO_TRY_ASSIGN(const BrokerReply reply, CallBroker(platform, StatusRequest{kProtocolVersion}));
    const auto* status = std::get_if<StatusResult>(&reply.result);
    if (status == nullptr) return Fail("unexpected offline network status reply");
    return BrokerStatusReply{status->active_leases, status->retained_leases, reply.service_pid, reply.policy_version};
}

}  // namespace telvo::network_broker
