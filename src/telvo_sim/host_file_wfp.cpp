// The filtering engine's part of a host file (its terms: host_file_wfp.h).
#include "telvo_sim/host_file_wfp.h"

#include <algorithm>
#include <array>
#include <optional>

#include "identity/identifier_text.h"
#include "identity/profile.h"
#include "offline_network/offline_layout.h"
#include "offline_network/offline_leases.h"
#include "offline_network/wfp_transaction.h"
#include "telvo_sim/host_file.h"
#include "telvo_sim/host_file_terms.h"
#include "telvo_sim/host_process.h"

namespace telvo::telvo_sim {

namespace {

using namespace host_file_terms;
using offline_network::kFilterSlots;
using offline_network::LeaseRecord;

constexpr char kRetained[] = "retained";
constexpr char kActive[] = "active";

Result<std::string> ReadUuid(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(std::string text, json::ReadString(node, key));
    if (auto uuid = identity::ParseCanonicalUuid(text); !uuid) {
        return Fail(std::move(uuid.error()).Context("bad `" + std::string(key) + "` " + node.Where()));
    }
    return text;
}

// The key of filter `slot` of a lease whose file names none: a version-4
// UUID drawn from the lease id, the same for every reading.
std::string DerivedFilterKey(std::string_view lease_id, std::size_t slot) {
    std::array<std::uint8_t, 16> bytes{};
    std::uint64_t hash = 0xcbf29ce484222325;
    const auto mix = [&hash](std::uint8_t byte) { hash = (hash ^ byte) * 0x100000001b3; };
    for (const char c : lease_id) mix(static_cast<std::uint8_t>(c));
    mix(static_cast<std::uint8_t>(slot));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 8 == 0) mix(0xA5);
        bytes[i] = static_cast<std::uint8_t>(hash >> (8 * (i % 8)));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    std::string hex;
    identity::AppendLowerHex(hex, bytes);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

// A lease as one filter's `lease` gives it: the record without its filter keys.
Result<LeaseRecord> ReadLease(const Node& node, const std::string& owner_sid) {
    TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "a lease"));
    LeaseRecord record;
    TELVO_TRY_ASSIGN(const Node profile_node, reader.Take("profile"));
    TELVO_TRY_ASSIGN(record.profile_name, json::ReadString(profile_node, "profile"));
    if (auto valid = identity::ValidateProfileName(record.profile_name); !valid) {
        return Fail(std::move(valid.error()).Context("bad `profile` " + profile_node.Where()));
    }
    TELVO_TRY_ASSIGN(const Node lease_id_node, reader.Take("leaseId"));
    TELVO_TRY_ASSIGN(record.lease_id, ReadUuid(lease_id_node, "leaseId"));
    TELVO_TRY_ASSIGN(const Node boot_node, reader.Take("bootId"));
    TELVO_TRY_ASSIGN(record.boot_id, ReadUuid(boot_node, "bootId"));
    TELVO_TRY_ASSIGN(const auto owner, Optional<std::string>(reader, "ownerSid", json::ReadString));
    record.owner_sid = owner.value_or(owner_sid);
    TELVO_TRY_ASSIGN(const auto pid, Optional<std::uint32_t>(reader, "callerPid", json::ReadU32));
    record.caller_pid = pid.value_or(kDefaultCallerPid);
    TELVO_TRY_ASSIGN(const auto creation, Optional<std::uint64_t>(reader, "callerCreation", json::ReadU64));
    record.caller_creation = creation.value_or(kDefaultCallerCreation);
    if (auto state_node = reader.TakeIfPresent("state")) {
        TELVO_TRY_ASSIGN(const std::string state, json::ReadString(*state_node, "state"));
        if (state == kActive) {
            return FailAt(*state_node, "a lease cannot be \"active\" in a host file: an active lease is a live "
                                       "registration with the running service; leave `state` out (the service "
                                       "keeps a lease of its own boot as retained)");
        }
        if (state != kRetained) return FailAt(*state_node, "`state` is not \"retained\"");
    }
    TELVO_TRY(reader.RefuseUnknown());
    return record;
}

Result<void> RemoveSublayer(platform::Platform& platform) {
    TELVO_TRY_ASSIGN(auto transaction, offline_network::WfpTransaction::Begin(platform.wfp));
    TELVO_TRY(offline_network::LiftWfp(
        "FwpmSubLayerDeleteByKey0",
        platform.wfp.FwpmSubLayerDeleteByKey0(transaction.engine(), offline_network::kSublayerKey)));
    return transaction.Commit();
}

}  // namespace

Result<platform::Guid> ReadBoot(const Node& node) {
    TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "the boot"));
    TELVO_TRY_ASSIGN(const Node id_node, reader.Take("id"));
    TELVO_TRY_ASSIGN(const std::string id, ReadUuid(id_node, "id"));
    TELVO_TRY(reader.RefuseUnknown());
    return offline_network::GuidFromText(id);
}

Result<WfpState> ReadWfp(const Node& node, const std::string& owner_sid) {
    TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "the filtering engine"));
    WfpState state;
    TELVO_TRY_ASSIGN(state.provider, reader.Field("provider", json::ReadBool));
    TELVO_TRY_ASSIGN(state.sublayer, reader.Field("sublayer", json::ReadBool));
    if (state.sublayer && !state.provider) {
        return FailAt(node, "the offline sublayer belongs to the offline provider");
    }
    TELVO_TRY_ASSIGN(const Node filters, reader.Take("filters"));
    TELVO_TRY(reader.RefuseUnknown());
    TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(filters, "filters"));
    std::vector<LeaseRecord> leases;
    std::vector<std::array<std::optional<std::string>, kFilterSlots>> keys;
    std::vector<std::array<bool, kFilterSlots>> filled;
    for (const Node& element : elements) {
        TELVO_TRY_ASSIGN(auto filter, ObjectReader::Open(element, "a filter"));
        // The engine gives every filter a runtime id of its own.
        TELVO_TRY(Optional<std::uint64_t>(filter, "id", json::ReadU64));
        TELVO_TRY_ASSIGN(const auto key, Optional<std::string>(filter, "key", ReadUuid));
        TELVO_TRY_ASSIGN(const Node slot_node, filter.Take("slot"));
        TELVO_TRY_ASSIGN(const std::uint32_t slot, json::ReadU32(slot_node, "slot"));
        if (slot >= kFilterSlots) return FailAt(slot_node, "`slot` is not 0, 1, 2 or 3");
        TELVO_TRY_ASSIGN(const Node lease_node, filter.Take("lease"));
        TELVO_TRY(filter.RefuseUnknown());
        TELVO_TRY_ASSIGN(const LeaseRecord given, ReadLease(lease_node, owner_sid));

        auto lease = std::ranges::find(leases, given.lease_id, &LeaseRecord::lease_id);
        if (lease == leases.end()) {
            if (std::ranges::find(leases, given.profile_name, &LeaseRecord::profile_name) != leases.end()) {
                return FailAt(lease_node, "profile " + given.profile_name + " has two leases");
            }
            leases.push_back(given);
            keys.emplace_back();
            filled.emplace_back();
            lease = leases.end() - 1;
        } else if (*lease != given) {
            return FailAt(lease_node, "lease " + given.lease_id + " is given two ways");
        }
        const auto index = static_cast<std::size_t>(lease - leases.begin());
        if (filled[index][slot]) {
            return FailAt(slot_node, "slot " + std::to_string(slot) + " of lease " + given.lease_id + " is given twice");
        }
        filled[index][slot] = true;
        keys[index][slot] = key;
    }
    for (std::size_t i = 0; i < leases.size(); ++i) {
        const auto missing = std::ranges::find(filled[i], false);
        if (missing != filled[i].end()) {
            return FailAt(filters, "lease " + leases[i].lease_id + " has no filter for slot " +
                                       std::to_string(missing - filled[i].begin()));
        }
        for (std::size_t slot = 0; slot < kFilterSlots; ++slot) {
            leases[i].filter_keys[slot] = keys[i][slot].value_or(DerivedFilterKey(leases[i].lease_id, slot));
        }
    }
    if (!leases.empty() && !state.sublayer) return FailAt(filters, "lease filters need the offline sublayer");
    state.leases = std::move(leases);
    return state;
}

Result<void> InstallWfpState(platform::sim::SimHost& host, const platform::Guid& boot, const WfpState& state) {
    host.wfp().SetBootIdentifier(boot);
    if (!state.provider) return {};
    return AsSystemProcess(host, [&](platform::Platform& platform) -> Result<void> {
        TELVO_TRY(offline_network::InstallOfflineLayout(platform));
        if (!state.sublayer) {
            TELVO_TRY(RemoveSublayer(platform));
        }
        for (LeaseRecord record : state.leases) {
            TELVO_TRY_ASSIGN(const winformat::Sid package,
                             identity::DeriveProfileSid(platform.appcontainer, record.profile_name));
            record.package_sid = package.ToString();
            TELVO_TRY_ASSIGN(const platform::Guid lease_boot, offline_network::GuidFromText(record.boot_id));
            // A lease of another boot went in while that boot ran.
            host.wfp().SetBootIdentifier(lease_boot);
            auto installed = offline_network::InstallOfflineLease(platform, record);
            host.wfp().SetBootIdentifier(boot);
            if (!installed) return Fail(std::move(installed.error()).Context("lease " + record.lease_id));
        }
        return {};
    });
}

json::Json WriteBoot(platform::sim::SimHost& host) {
    return json::Json{{"id", offline_network::GuidText(host.wfp().BootIdentifier())}};
}

Result<json::Json> WriteWfp(platform::sim::SimHost& host) {
    const bool provider = host.wfp().Provider(offline_network::kProviderKey).has_value();
    const bool sublayer = host.wfp().Sublayer(offline_network::kSublayerKey).has_value();
    json::Json filters = json::Json::array();
    if (provider && sublayer) {
        TELVO_TRY_ASSIGN(const auto leases,
                         AsSystemProcess(host, [](platform::Platform& platform)
                                                   -> Result<std::vector<offline_network::OfflineLease>> {
                             TELVO_TRY_ASSIGN(auto transaction, offline_network::WfpTransaction::Begin(platform.wfp));
                             return offline_network::EnumerateOfflineLeases(platform, transaction.engine());
                         }));
        for (const auto& lease : leases) {
            const LeaseRecord& record = lease.record;
            const json::Json described{{"profile", record.profile_name},   {"leaseId", record.lease_id},
                                       {"bootId", record.boot_id},         {"ownerSid", record.owner_sid},
                                       {"callerPid", record.caller_pid},   {"callerCreation", record.caller_creation}};
            for (std::size_t slot = 0; slot < kFilterSlots; ++slot) {
                filters.push_back(json::Json{{"id", lease.filter_ids[slot]},
                                             {"key", record.filter_keys[slot]},
                                             {"slot", slot},
                                             {"lease", described}});
            }
        }
    }
    return json::Json{{"provider", provider}, {"sublayer", sublayer}, {"filters", std::move(filters)}};
}

}  // namespace telvo::telvo_sim
