// The broker's part of a host file (its terms: host_file_broker.h).
#include "telvo_sim/host_file_broker.h"

#include "identity/identifier_text.h"
#include "identity/profile.h"
#include "telvo_sim/host_file.h"
#include "telvo_sim/host_file_terms.h"

namespace telvo::telvo_sim {

namespace {

using namespace host_file_terms;

constexpr char kActive[] = "active";
constexpr char kRetained[] = "retained";

Result<std::string> ReadUuid(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(std::string text, json::ReadString(node, key));
    if (auto uuid = identity::ParseCanonicalUuid(text); !uuid) {
        return Fail(std::move(uuid.error()).Context("bad `" + std::string(key) + "` " + node.Where()));
    }
    return text;
}

}  // namespace

Result<std::string> ReadBoot(const Node& node) {
    TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "the boot"));
    TELVO_TRY_ASSIGN(const Node id_node, reader.Take("id"));
    TELVO_TRY_ASSIGN(std::string id, ReadUuid(id_node, "id"));
    TELVO_TRY(reader.RefuseUnknown());
    return id;
}

Result<WfpState> ReadWfp(const Node& node) {
    TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "the filtering engine"));
    WfpState state;
    TELVO_TRY_ASSIGN(state.layout.provider, reader.Field("provider", json::ReadBool));
    TELVO_TRY_ASSIGN(state.layout.sublayer, reader.Field("sublayer", json::ReadBool));
    if (state.layout.sublayer && !state.layout.provider) {
        return FailAt(node, "the offline sublayer belongs to the offline provider");
    }
    TELVO_TRY_ASSIGN(const Node filters, reader.Take("filters"));
    TELVO_TRY(reader.RefuseUnknown());
    TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(filters, "filters"));
    std::vector<SimLease> leases;
    std::vector<std::array<bool, kFilterSlots>> filled;
    std::set<std::uint64_t> ids;
    for (const Node& element : elements) {
        TELVO_TRY_ASSIGN(auto filter, ObjectReader::Open(element, "a filter"));
        TELVO_TRY_ASSIGN(const Node id_node, filter.Take("id"));
        TELVO_TRY_ASSIGN(const std::uint64_t id, json::ReadU64(id_node, "id"));
        if (id == 0) return FailAt(id_node, "a filter id is never 0");
        if (!ids.insert(id).second) return FailAt(id_node, "filter id " + std::to_string(id) + " is given twice");
        TELVO_TRY_ASSIGN(const Node slot_node, filter.Take("slot"));
        TELVO_TRY_ASSIGN(const std::uint32_t slot, json::ReadU32(slot_node, "slot"));
        if (slot >= kFilterSlots) return FailAt(slot_node, "`slot` is not 0, 1, 2 or 3");
        TELVO_TRY_ASSIGN(const Node lease_node, filter.Take("lease"));
        TELVO_TRY(filter.RefuseUnknown());

        TELVO_TRY_ASSIGN(auto lease_reader, ObjectReader::Open(lease_node, "a lease"));
        SimLease given;
        TELVO_TRY_ASSIGN(const Node profile_node, lease_reader.Take("profile"));
        TELVO_TRY_ASSIGN(given.profile_name, json::ReadString(profile_node, "profile"));
        if (auto valid = identity::ValidateProfileName(given.profile_name); !valid) {
            return Fail(std::move(valid.error()).Context("bad `profile` " + profile_node.Where()));
        }
        TELVO_TRY_ASSIGN(const Node lease_id_node, lease_reader.Take("leaseId"));
        TELVO_TRY_ASSIGN(given.lease_id, ReadUuid(lease_id_node, "leaseId"));
        TELVO_TRY_ASSIGN(const Node boot_node, lease_reader.Take("bootId"));
        TELVO_TRY_ASSIGN(given.boot_id, ReadUuid(boot_node, "bootId"));
        TELVO_TRY_ASSIGN(const Node state_node, lease_reader.Take("state"));
        TELVO_TRY_ASSIGN(const std::string lease_state, json::ReadString(state_node, "state"));
        if (lease_state != kActive && lease_state != kRetained) {
            return FailAt(state_node, "`state` is not \"active\" or \"retained\"");
        }
        given.retained = lease_state == kRetained;
        TELVO_TRY(lease_reader.RefuseUnknown());

        auto lease = std::ranges::find(leases, given.lease_id, &SimLease::lease_id);
        if (lease == leases.end()) {
            if (std::ranges::find(leases, given.profile_name, &SimLease::profile_name) != leases.end()) {
                return FailAt(profile_node, "profile " + given.profile_name + " has two leases");
            }
            leases.push_back(given);
            filled.emplace_back();
            lease = leases.end() - 1;
        } else if (lease->profile_name != given.profile_name || lease->boot_id != given.boot_id ||
                   lease->retained != given.retained) {
            return FailAt(lease_node, "lease " + given.lease_id + " is given two ways");
        }
        bool& slot_filled = filled[static_cast<std::size_t>(lease - leases.begin())][slot];
        if (slot_filled) {
            return FailAt(slot_node, "slot " + std::to_string(slot) + " of lease " + given.lease_id + " is given twice");
        }
        slot_filled = true;
        lease->filter_ids[slot] = id;
    }
    for (std::size_t i = 0; i < leases.size(); ++i) {
        const auto missing = std::ranges::find(filled[i], false);
        if (missing != filled[i].end()) {
            return FailAt(filters, "lease " + leases[i].lease_id + " has no filter for slot " +
                                       std::to_string(missing - filled[i].begin()));
        }
    }
    if (!leases.empty() && !state.layout.sublayer) return FailAt(filters, "lease filters need the offline sublayer");
    state.leases = std::move(leases);
    return state;
}

Json WriteBoot(const SimBroker& broker) { return Json{{"id", broker.boot_id()}}; }

Json WriteWfp(const SimBroker& broker) {
    Json filters = Json::array();
    for (const SimLease& lease : broker.Leases()) {
        const Json described{{"profile", lease.profile_name},
                             {"leaseId", lease.lease_id},
                             {"bootId", lease.boot_id},
                             {"state", lease.retained ? kRetained : kActive}};
        for (std::size_t slot = 0; slot < lease.filter_ids.size(); ++slot) {
            filters.push_back(Json{{"id", lease.filter_ids[slot]}, {"slot", slot}, {"lease", described}});
        }
    }
    return Json{{"provider", broker.layout().provider}, {"sublayer", broker.layout().sublayer},
                {"filters", std::move(filters)}};
}

}  // namespace telvo::telvo_sim
