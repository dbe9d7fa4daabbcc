#include "telvo_sim/sim_broker.h"

#include <algorithm>
#include <variant>

#include "identity/identifier_text.h"
#include "identity/profile.h"
#include "network_broker/broker_call.h"
#include "network_broker/broker_message.h"
#include "winformat/little_endian.h"
#include "winformat/sddl.h"
#include "winformat/text.h"

namespace telvo::telvo_sim {

namespace {

using namespace network_broker;

// The pipe as the service creates it: LocalSystem owns it and may do
// anything, authenticated users read and write; medium integrity, no write up.
constexpr char kPipeDescriptor[] = "O:SYG:SYD:P(A;;GA;;;SY)(A;;0x0012019b;;;AU)S:(ML;;NW;;;ME)";

constexpr char kLeaseHeld[] = "this sandbox profile already has an offline lease";
constexpr char kMarkerLive[] = "original helper marker is still live; recovery refused";
constexpr char kRetainedOrphan[] =
    "same-boot orphan has no provable original Job; network protection and filesystem recovery are retained until "
    "reboot";
constexpr char kNoSuchLease[] =
    "matching live offline lease not found; any same-boot orphan protection is retained until reboot";

// A fixed seed: the same host answers the same requests with the same ids.
constexpr std::uint64_t kLeaseIdSeed = 0x7e1c0a52u;

std::string Framed(const std::string& text) {
    std::vector<std::uint8_t> prefix;
    winformat::le::Append32(prefix, static_cast<std::uint32_t>(text.size()));
    return std::string(prefix.begin(), prefix.end()) + text;
}

}  // namespace

SimBroker::SimBroker(std::string boot_id, std::vector<SimLease> leases, SimWfpLayout layout)
    : boot_id_(std::move(boot_id)), layout_(layout), leases_(std::move(leases)), random_(kLeaseIdSeed) {
    std::erase_if(leases_, [this](const SimLease& lease) { return lease.boot_id != boot_id_; });
    for (const SimLease& lease : leases_) {
        next_filter_id_ = std::max(next_filter_id_, std::ranges::max(lease.filter_ids) + 1);
    }
}

std::string SimBroker::NewLeaseId() {
    for (;;) {
        std::uint64_t high = random_();
        std::uint64_t low = random_();
        high = (high & ~0xF000ull) | 0x4000ull;                     // version 4
        low = (low & ~(0xC0ull << 56)) | (0x80ull << 56);            // variant 10
        std::vector<std::uint8_t> bytes;
        for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(high >> shift));
        for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(low >> shift));
        std::string hex;
        identity::AppendLowerHex(hex, bytes);
        std::string id = hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
                         hex.substr(16, 4) + "-" + hex.substr(20);
        // A lease read back from a host file may hold an id this sequence gives again.
        if (std::ranges::find(leases_, id, &SimLease::lease_id) == leases_.end()) return id;
    }
}

std::string SimBroker::Answer(std::string_view request, std::uint32_t service_pid) {
    const auto reply = [service_pid](BrokerResult result) {
        return Framed(EncodeBrokerReply(BrokerReply{kProtocolVersion, kPolicyVersion, service_pid, std::move(result)})
                          .value());
    };
    const auto error = [&reply](std::string message) { return reply(ErrorResult{std::move(message)}); };
    auto decoded = DecodeBrokerRequest(request);
    if (!decoded) return error(std::move(decoded.error()).Context("invalid network broker JSON").Display());
    const std::uint32_t version = std::visit([](const auto& r) { return r.protocol_version; }, *decoded);
    if (version != kProtocolVersion) return error("unsupported broker protocol version");

    std::lock_guard lock(mutex_);
    const auto of_profile = [](std::string profile) {
        return [profile = std::move(profile)](const SimLease& lease) { return lease.profile_name == profile; };
    };
    if (const auto* registration = std::get_if<RegisterRequest>(&*decoded)) {
        if (auto valid = identity::ValidateProfileName(registration->profile_name); !valid) {
            return error(valid.error().Display());
        }
        if (std::ranges::any_of(leases_, of_profile(registration->profile_name))) return error(kLeaseHeld);
        SimLease lease{registration->profile_name, NewLeaseId(), {}, boot_id_, false};
        for (std::uint64_t& id : lease.filter_ids) id = next_filter_id_++;
        leases_.push_back(lease);
        Note(platform::sim::SimChange::Kind::lease_installed, lease);
        return reply(RegisteredResult{lease.lease_id, lease.filter_ids});
    }
    if (const auto* release = std::get_if<ReleaseRequest>(&*decoded)) {
        const auto held = std::ranges::find_if(leases_, [release](const SimLease& lease) {
            return !lease.retained && lease.profile_name == release->profile_name &&
                   lease.lease_id == release->lease_id;
        });
        if (held == leases_.end()) return error(kNoSuchLease);
        Note(platform::sim::SimChange::Kind::lease_removed, *held);
        leases_.erase(held);
        return reply(ReleasedResult{});
    }
    if (const auto* recover = std::get_if<RecoverRequest>(&*decoded)) {
        const auto leased = std::ranges::find_if(leases_, of_profile(recover->profile_name));
        if (leased == leases_.end() && marker_exists_ && marker_exists_(recover->profile_name)) {
            return error(kMarkerLive);
        }
        if (leased != leases_.end() && leased->retained) return error(kRetainedOrphan);
        for (const SimLease& lease : leases_) {
            if (of_profile(recover->profile_name)(lease)) Note(platform::sim::SimChange::Kind::lease_removed, lease);
        }
        std::erase_if(leases_, of_profile(recover->profile_name));
        return reply(RecoveredResult{});
    }
    const auto retained = static_cast<std::uint64_t>(std::ranges::count(leases_, true, &SimLease::retained));
    return reply(StatusResult{leases_.size() - retained, retained});
}

void SimBroker::CheckLiveMarkersWith(std::function<bool(const std::string& profile)> marker_exists) {
    std::lock_guard lock(mutex_);
    marker_exists_ = std::move(marker_exists);
}

void SimBroker::RecordChangesIn(platform::sim::SimChangeLog& changes) {
    std::lock_guard lock(mutex_);
    changes_ = &changes;
}

// With `mutex_` held.
void SimBroker::Note(platform::sim::SimChange::Kind kind, const SimLease& lease) {
    if (changes_ == nullptr) return;
    changes_->Note([&] {
        std::string detail = "profile " + lease.profile_name + ", filters";
        for (std::size_t slot = 0; slot < kFilterSlots; ++slot) {
            detail += (slot == 0 ? " " : ", ") + std::to_string(lease.filter_ids[slot]);
        }
        return platform::sim::SimChange{kind, winformat::AsciiToUtf16(lease.lease_id),
                                        winformat::AsciiToUtf16(detail)};
    });
}

std::vector<SimLease> SimBroker::Leases() const {
    std::lock_guard lock(mutex_);
    return leases_;
}

void ServeBrokerPipe(platform::sim::SimHost& host, std::shared_ptr<SimBroker> broker, std::uint32_t service_pid) {
    platform::sim::PipeServerScript script;
    script.server_process_id = service_pid;
    script.security_descriptor = winformat::ParseSddl(kPipeDescriptor).value().ToSelfRelative();
    script.keeps_listening = true;
    broker->RecordChangesIn(host.changes());
    broker->CheckLiveMarkersWith([&host](const std::string& profile) {
        return host.sync().FindMutex(u"Global\\" + winformat::AsciiToUtf16(profile)) != nullptr;
    });
    script.respond = [broker = std::move(broker), service_pid](std::string_view request) {
        return broker->Answer(request, service_pid);
    };
    host.pipes().Listen(kBrokerPipeName, std::move(script));
}

}  // namespace telvo::telvo_sim
