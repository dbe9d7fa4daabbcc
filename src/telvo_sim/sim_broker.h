#pragma once

#include <array>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_host.h"

namespace telvo::telvo_sim {

// A lease's filters, one for each slot.
inline constexpr std::size_t kFilterSlots = 4;

// One offline lease as the broker installed it: the sandbox profile it
// protects, its lease id (canonical UUID text), the ids of its four
// blocking filters in filter-slot order, and the boot it was installed in.
// A retained lease is one the service found in the filtering engine when it
// started, held by no live registration: only the end of its boot removes it.
struct SimLease {
    std::string profile_name;
    std::string lease_id;
    std::array<std::uint64_t, kFilterSlots> filter_ids{};
    std::string boot_id;
    bool retained = false;
    bool operator==(const SimLease&) const = default;
};

// The offline layout in the filtering engine: the provider and, under it,
// the sublayer that hold every lease's filters. The host commands install
// it; the service verifies it when it starts.
struct SimWfpLayout {
    bool provider = true;
    bool sublayer = true;
    bool operator==(const SimWfpLayout&) const = default;
};

// The offline-network broker of a simulated host and its leases, which live
// in the filtering engine and so outlive every client. It answers the broker
// pipe's requests as the running service does once it has authenticated the
// client; it does not authenticate clients, inspect their Jobs or sweep the
// leases of clients that ended (a lease stays until it is released or
// recovered).
class SimBroker {
public:
    // The broker of boot `boot_id` (canonical UUID text), started in that
    // boot: of `leases` it holds those of this boot, having removed the
    // others as the service does when it starts. The next filter ids follow
    // the largest held.
    explicit SimBroker(std::string boot_id = std::string(kDefaultBootId), std::vector<SimLease> leases = {},
                       SimWfpLayout layout = {});

    static constexpr std::string_view kDefaultBootId = "2f5d0c6e-8a41-4b7e-9d3c-51a0e6b4c7f2";
    SimBroker(const SimBroker&) = delete;
    SimBroker& operator=(const SimBroker&) = delete;

    // The reply frame (4-byte little-endian length, then the JSON of a
    // `BrokerReply` from service process `service_pid`) to the JSON text of
    // one request:
    // - Register: a lease with a fresh lease id and four new filter ids;
    //   "this sandbox profile already has an offline lease" when the profile
    //   holds one, the profile-name error for an invalid name;
    // - Release: "released" when the broker holds an active lease of that
    //   profile and id, which it drops; otherwise an error, and nothing
    //   changes;
    // - Recover: "recovered", dropping the profile's active lease; a
    //   retained lease is refused and stays; for a profile without a lease,
    //   "original helper marker is still live; recovery refused" while the
    //   run's live marker exists;
    // - Status: the numbers of active and of retained leases.
    // A request that does not decode, or of another protocol version, gets
    // an error reply.
    std::string Answer(std::string_view request, std::uint32_t service_pid);

    // The leases held, in the order they were installed.
    std::vector<SimLease> Leases() const;
    const std::string& boot_id() const { return boot_id_; }
    const SimWfpLayout& layout() const { return layout_; }

    // Installing and removing leases is recorded in `changes` from now on.
    void RecordChangesIn(platform::sim::SimChangeLog& changes);
    // Whether a run's live marker (the mutex "Global\<profile>") exists:
    // a recovery of a profile without a lease is refused while it does.
    void CheckLiveMarkersWith(std::function<bool(const std::string& profile)> marker_exists);

private:
    std::string NewLeaseId();
    void Note(platform::sim::SimChange::Kind kind, const SimLease& lease);

    const std::string boot_id_;
    const SimWfpLayout layout_;
    mutable std::mutex mutex_;
    std::vector<SimLease> leases_;
    std::uint64_t next_filter_id_ = 1;
    std::mt19937_64 random_;
    platform::sim::SimChangeLog* changes_ = nullptr;
    std::function<bool(const std::string&)> marker_exists_;
};

// The running service's pipe on `host`: an instance that `broker` answers
// for server process `service_pid` listens for every client in turn, with
// the descriptor the service gives the pipe.
void ServeBrokerPipe(platform::sim::SimHost& host, std::shared_ptr<SimBroker> broker, std::uint32_t service_pid);

}  // namespace telvo::telvo_sim
