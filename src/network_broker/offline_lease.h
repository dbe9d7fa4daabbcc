#pragma once

#include <memory>
#include <string>

#include "common/error.h"
#include "network_broker/broker_message.h"
#include "platform/platform.h"
#include "process/sandbox_job.h"

namespace telvo::network_broker {

// An offline-network lease that the broker installed for one sandbox: the
// profile name, the lease id and a shared reference to the sandbox Job. It
// lives in the run that registered it. Discarding a lease that was never
// released makes the same release attempt as ReleaseOfflineLease (active
// process test included) and drops its error: the broker then keeps the
// lease until its own clean-up or recovery. A lease whose holder made its
// own attempt and reported the outcome is left to the broker instead
// (KeepWithBroker): no second attempt follows unseen.
class OfflineLease {
public:
    OfflineLease(platform::Platform& platform, std::string profile_name, std::string lease_id,
                 std::shared_ptr<process::SandboxJob> job);
    OfflineLease(OfflineLease&& other) noexcept;
    OfflineLease& operator=(OfflineLease&&) = delete;
    OfflineLease(const OfflineLease&) = delete;
    OfflineLease& operator=(const OfflineLease&) = delete;
    ~OfflineLease();

    const std::string& profile_name() const { return profile_name_; }
    const std::string& lease_id() const { return lease_id_; }
    bool released() const { return released_; }
    // The holder gives up on releasing it: discarding it sends nothing.
    void KeepWithBroker() { kept_ = true; }

private:
    friend Result<void> ReleaseOfflineLease(OfflineLease& lease);

    platform::Platform& platform_;
    std::string profile_name_;
    std::string lease_id_;
    std::shared_ptr<process::SandboxJob> job_;
    bool released_ = false;
    bool kept_ = false;
};

// Registers the suspended sandbox child `process_id` of `job` under
// `profile_name`. The reply must be "registered" with a non-empty lease id
// and four non-zero filter ids, else "unexpected network broker
// registration reply"; the filter ids are not kept.
Result<OfflineLease> RegisterOfflineLease(platform::Platform& platform, const std::string& profile_name,
                                          std::uint32_t process_id, std::shared_ptr<process::SandboxJob> job);

// Releases the lease; does nothing when it is already released. While the
// Job still has active processes it fails with "Windows sandbox job still
// has <n> active process(es)" and contacts nobody. A "released" reply marks
// the lease released; another fails with "unexpected network broker release
// reply" and leaves it registered.
Result<void> ReleaseOfflineLease(OfflineLease& lease);

// Asks the broker to recover the lease of `profile_name` (a stale run's);
// the reply must be "recovered", else "unexpected network broker recovery reply".
Result<void> RecoverOfflineLease(platform::Platform& platform, const std::string& profile_name);

// The broker's status reply: its lease counts, process id and policy version.
struct BrokerStatusReply {
    std::uint64_t active_leases = 0;
    std::uint64_t retained_leases = 0;
    std::uint32_t service_pid = 0;
    std::uint32_t policy_version = 0;
};

// Sends Status. A reply of another kind fails with "unexpected offline
// network status reply".
Result<BrokerStatusReply> QueryBrokerStatus(platform::Platform& platform);

}  // namespace telvo::network_broker
