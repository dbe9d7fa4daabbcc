#include "offline_network/offline_leases.h"

#include <algorithm>
#include <map>
#include <string>

#include "common/try.h"
#include "identity/profile.h"
#include "offline_network/lease_filter.h"
#include "offline_network/offline_layout.h"
#include "offline_network/wfp_transaction.h"

namespace telvo::offline_network {

namespace {

// Owns an enumeration handle and destroys it on every path.
class FilterEnumeration {
public:
    FilterEnumeration(platform::Wfp& wfp, platform::WfpEngine engine, platform::WfpEnum handle)
        : wfp_(wfp), engine_(engine), handle_(handle) {}
    FilterEnumeration(const FilterEnumeration&) = delete;
    FilterEnumeration& operator=(const FilterEnumeration&) = delete;
    ~FilterEnumeration() { (void)wfp_.FwpmFilterDestroyEnumHandle0(engine_, handle_); }

    platform::WfpEnum get() const { return handle_; }

private:
    platform::Wfp& wfp_;
    platform::WfpEngine engine_;
    platform::WfpEnum handle_;
};

// Every filter of the layout, by batches of 256, at most 100000 filters in all.
Result<std::vector<platform::WfpFilter>> LayoutFilters(platform::Wfp& wfp, platform::WfpEngine engine) {
    TELVO_TRY_ASSIGN(const platform::WfpEnum handle,
                     LiftWfp("FwpmFilterCreateEnumHandle0", wfp.FwpmFilterCreateEnumHandle0(engine)));
    const FilterEnumeration enumeration(wfp, engine, handle);
    std::vector<platform::WfpFilter> filters;
    std::size_t seen = 0;
    while (true) {
        TELVO_TRY_ASSIGN(platform::WfpFilterBatch batch,
                         LiftWfp("FwpmFilterEnum0", wfp.FwpmFilterEnum0(engine, enumeration.get(), kFilterEnumBatch)));
        if (batch.num_entries_returned == 0) return filters;
        if (batch.num_entries_returned > kFilterEnumBatch || !batch.entries ||
            batch.entries->size() != batch.num_entries_returned) {
            return Fail("invalid WFP enumeration batch");
        }
        seen += batch.num_entries_returned;
        if (seen > kMaxEnumeratedFilters) return Fail("WFP filter enumeration exceeds supported bound");
        for (auto& entry : *batch.entries) {
            if (!entry) return Fail("null WFP filter entry");
            if (entry->sublayer_key == kSublayerKey || entry->provider_key == kProviderKey) {
                filters.push_back(std::move(*entry));
            }
        }
    }
}

const OfflineLease* FindByLeaseId(const std::vector<OfflineLease>& leases, const std::string& lease_id) {
    auto it = std::ranges::find_if(leases, [&](const OfflineLease& lease) { return lease.record.lease_id == lease_id; });
    return it == leases.end() ? nullptr : &*it;
}

// Opens the transaction of a lease change: the record checked and encoded,
// the layout verified, the leases enumerated.
struct LeaseChange {
    WfpTransaction transaction;
    std::string encoded;
    std::vector<OfflineLease> leases;
};

Result<LeaseChange> BeginLeaseChange(platform::Platform& platform, const LeaseRecord& record,
                                     bool require_current_boot) {
    TELVO_TRY_ASSIGN(std::string encoded, EncodeLeaseRecord(platform.appcontainer, record));
    if (require_current_boot) {
        TELVO_TRY_ASSIGN(const std::string boot, ReadBootIdentity(platform.wfp));
        if (boot != record.boot_id) return Fail("cannot install a lease for a different Windows boot");
    }
    TELVO_TRY_ASSIGN(WfpTransaction transaction, WfpTransaction::Begin(platform.wfp));
    TELVO_TRY(VerifyOfflineLayout(platform.wfp, transaction.engine()));
    TELVO_TRY_ASSIGN(std::vector<OfflineLease> leases, EnumerateOfflineLeases(platform, transaction.engine()));
    return LeaseChange{std::move(transaction), std::move(encoded), std::move(leases)};
}

}  // namespace

Result<std::vector<OfflineLease>> EnumerateOfflineLeases(platform::Platform& platform, platform::WfpEngine engine) {
    TELVO_TRY_ASSIGN(const std::vector<platform::WfpFilter> filters, LayoutFilters(platform.wfp, engine));
    std::vector<OfflineLease> leases;
    std::vector<std::array<bool, kFilterSlots>> filled;
    std::map<std::string, std::size_t> by_record;  // by the exact stored record
    for (const platform::WfpFilter& filter : filters) {
        TELVO_TRY_ASSIGN(ValidatedFilter valid, ValidateLeaseFilter(platform.appcontainer, filter));
        auto [it, added] = by_record.try_emplace(std::string(filter.provider_data.begin(), filter.provider_data.end()),
                                                 leases.size());
        if (added) {
            if (leases.size() == kMaxOfflineLeases) return Fail("too many retained offline leases");
            leases.push_back(OfflineLease{std::move(valid.record), {}});
            filled.emplace_back();
        }
        if (filled[it->second][valid.slot]) return Fail("inconsistent or duplicate offline lease records");
        filled[it->second][valid.slot] = true;
        leases[it->second].filter_ids[valid.slot] = filter.filter_id;
    }
    if (std::ranges::any_of(filled, [](const auto& slots) { return std::ranges::count(slots, false) != 0; })) {
        return Fail("partial offline lease retained; expected four exact filters");
    }
    std::map<std::string_view, std::size_t> packages;
    for (const OfflineLease& lease : leases) {
        if (!packages.try_emplace(lease.record.package_sid, 0).second) {
            return Fail("multiple leases claim the same package");
        }
    }
    return leases;
}

Result<std::array<std::uint64_t, kFilterSlots>> InstallOfflineLease(platform::Platform& platform,
                                                                    const LeaseRecord& record) {
    TELVO_TRY_ASSIGN(LeaseChange change, BeginLeaseChange(platform, record, true));
    for (const OfflineLease& lease : change.leases) {
        if (lease.record == record) {
            TELVO_TRY(change.transaction.Commit());
            return lease.filter_ids;
        }
        if (lease.record.lease_id == record.lease_id || lease.record.package_sid == record.package_sid) {
            return Fail("offline lease identity already exists with different data");
        }
    }
    if (change.leases.size() >= kMaxOfflineLeases) {
        return Fail("offline lease capacity reached; retained leases were not deleted");
    }
    TELVO_TRY_ASSIGN(const winformat::Sid package, winformat::Sid::Parse(record.package_sid));
    TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> security, LayoutSecurityDescriptor());
    std::array<std::uint64_t, kFilterSlots> ids{};
    for (std::size_t slot = 0; slot < kFilterSlots; ++slot) {
        TELVO_TRY_ASSIGN(const platform::Guid key, GuidFromText(record.filter_keys[slot]));
        TELVO_TRY_ASSIGN(ids[slot], LiftWfp("FwpmFilterAdd0(offline lease)",
                                            platform.wfp.FwpmFilterAdd0(change.transaction.engine(),
                                                                        LeaseFilter(key, slot, package, change.encoded),
                                                                        security)));
    }
    TELVO_TRY_ASSIGN(const std::vector<OfflineLease> after,
                     EnumerateOfflineLeases(platform, change.transaction.engine()));
    const OfflineLease* installed = FindByLeaseId(after, record.lease_id);
    if (installed == nullptr) return Fail("new offline lease was not visible in transaction");
    if (installed->filter_ids != ids) return Fail("offline filter readback IDs differ");
    TELVO_TRY(change.transaction.Commit());
    return ids;
}

Result<void> RemoveOfflineLease(platform::Platform& platform, const LeaseRecord& record) {
    TELVO_TRY_ASSIGN(LeaseChange change, BeginLeaseChange(platform, record, false));
    for (const OfflineLease& lease : change.leases) {
        if (lease.record == record) continue;
        if (lease.record.lease_id == record.lease_id) return Fail("refusing deletion of a different offline lease");
        if (std::ranges::any_of(lease.record.filter_keys, [&](const std::string& key) {
                return std::ranges::find(record.filter_keys, key) != record.filter_keys.end();
            })) {
            return Fail("lease keys belong to a different record");
        }
    }
    for (const std::string& text : record.filter_keys) {
        TELVO_TRY_ASSIGN(const platform::Guid key, GuidFromText(text));
        TELVO_TRY(LiftWfp("FwpmFilterDeleteByKey0(offline lease)",
                          platform.wfp.FwpmFilterDeleteByKey0(change.transaction.engine(), key)));
    }
    TELVO_TRY_ASSIGN(const std::vector<OfflineLease> after,
                     EnumerateOfflineLeases(platform, change.transaction.engine()));
    if (FindByLeaseId(after, record.lease_id) != nullptr) return Fail("offline lease still exists after removal");
    return change.transaction.Commit();
}

}  // namespace telvo::offline_network
