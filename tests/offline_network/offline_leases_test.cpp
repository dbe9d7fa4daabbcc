#include "offline_network/offline_leases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "common/try.h"

#include "offline_network/lease_filter.h"
#include "offline_network/offline_layout.h"
#include "offline_network/wfp_test_host.h"
#include "offline_network/wfp_transaction.h"

namespace telvo::offline_network {
namespace {

using namespace testing;

struct OfflineLeasesTest : ::testing::Test {
    WfpTestHost host;

    void SetUp() override { ASSERT_TRUE(InstallOfflineLayout(host.platform())); }

    Result<std::vector<OfflineLease>> Enumerate() {
        TELVO_TRY_ASSIGN(WfpTransaction transaction, WfpTransaction::Begin(host.platform().wfp));
        return EnumerateOfflineLeases(host.platform(), transaction.engine());
    }
    std::string EnumerateMessage() { return Message(Enumerate()); }
    // The filter of `record` in `slot`, as the engine holds it.
    platform::Guid Key(const LeaseRecord& record, std::size_t slot) {
        return GuidFromText(record.filter_keys[slot]).value();
    }
    // Adds the four filters of each record in one transaction, as installs
    // over many runs would have left them.
    void Seed(std::uint32_t first, std::uint32_t count) {
        auto transaction = WfpTransaction::Begin(host.platform().wfp).value();
        const auto security = LayoutSecurityDescriptor().value();
        for (std::uint32_t n = first; n < first + count; ++n) {
            const LeaseRecord record = host.Record(n);
            const std::string encoded = EncodeLeaseRecord(host.platform().appcontainer, record).value();
            const auto package = winformat::Sid::Parse(record.package_sid).value();
            for (std::size_t slot = 0; slot < kFilterSlots; ++slot) {
                ASSERT_TRUE(host.platform().wfp.FwpmFilterAdd0(transaction.engine(),
                                                               LeaseFilter(Key(record, slot), slot, package, encoded),
                                                               security));
            }
        }
        ASSERT_TRUE(transaction.Commit());
    }
};

TEST_F(OfflineLeasesTest, InstallsFourBlockingFiltersCarryingTheRecord) {
    const LeaseRecord record = host.Record(1);
    host.host.faults().Watch("FwpmFilterAdd0");
    auto ids = InstallOfflineLease(host.platform(), record);
    ASSERT_TRUE(ids) << ids.error().Display();
    // Each filter is added with the layout's descriptor.
    const std::uint64_t descriptor_size = LayoutSecurityDescriptor().value().size();
    EXPECT_EQ(host.host.faults().Log(),
              std::vector<platform::sim::FaultPlan::Call>(
                  4, {"FwpmFilterAdd0", {platform::wfp_flag::kFilterPersistent, 0x1001, descriptor_size}}));
    const auto filters = host.wfp().Filters();
    ASSERT_EQ(filters.size(), 4u);
    const std::string encoded = EncodeLeaseRecord(host.platform().appcontainer, record).value();
    const auto package = winformat::Sid::Parse(record.package_sid).value();
    for (std::size_t slot = 0; slot < kFilterSlots; ++slot) {
        auto it = std::ranges::find(filters, Key(record, slot), &platform::WfpFilter::filter_key);
        ASSERT_NE(it, filters.end());
        EXPECT_EQ(it->layer_key, kSlotLayers[slot]);
        EXPECT_EQ(it->filter_id, (*ids)[slot]);
        EXPECT_EQ(it->flags, platform::wfp_flag::kFilterPersistent);
        EXPECT_EQ(it->action_type, 0x1001u);
        EXPECT_EQ(it->weight, (platform::WfpValue{platform::wfp_type::kUint64, ~std::uint64_t{0}, {}}));
        EXPECT_EQ(std::string(it->provider_data.begin(), it->provider_data.end()), encoded);
        ASSERT_EQ(it->filter_condition->size(), 1u);
        const auto& condition = it->filter_condition->front();
        EXPECT_EQ(condition.field_key, platform::wfp_guid::kConditionAlePackageId);
        EXPECT_EQ(condition.match_type, 0u);
        EXPECT_EQ(condition.condition_value.sid,
                  std::vector<std::uint8_t>(package.bytes().begin(), package.bytes().end()));
    }
    const auto leases = Enumerate().value();
    ASSERT_EQ(leases.size(), 1u);
    EXPECT_EQ(leases[0], (OfflineLease{record, *ids}));
}

TEST_F(OfflineLeasesTest, TheSameRecordTwiceIsOneLeaseAndAnotherForItsPackageOrIdIsRefused) {
    const LeaseRecord record = host.Record(1);
    const auto ids = InstallOfflineLease(host.platform(), record).value();
    const auto adds = host.host.faults().Count("FwpmFilterAdd0");
    EXPECT_EQ(InstallOfflineLease(host.platform(), record).value(), ids);
    EXPECT_EQ(host.host.faults().Count("FwpmFilterAdd0"), adds);

    LeaseRecord same_package = record;
    same_package.lease_id = TestUuid(99, 0);
    for (auto& key : same_package.filter_keys) key[0] = 'a';
    LeaseRecord same_id = host.Record(2);
    same_id.lease_id = record.lease_id;
    for (const LeaseRecord& other : {same_package, same_id}) {
        EXPECT_EQ(Message(InstallOfflineLease(host.platform(), other)),
                  "offline lease identity already exists with different data");
    }
    EXPECT_EQ(host.wfp().Filters().size(), 4u);
}

TEST_F(OfflineLeasesTest, ARecordOfAnotherBootIsRefusedBeforeTheEngineIsOpened) {
    LeaseRecord record = host.Record(1);
    host.wfp().Reboot();
    const auto opens = host.host.faults().Count("FwpmEngineOpen0");
    EXPECT_EQ(Message(InstallOfflineLease(host.platform(), record)),
              "cannot install a lease for a different Windows boot");
    EXPECT_EQ(host.host.faults().Count("FwpmEngineOpen0"), opens);
    record.caller_pid = 0;
    EXPECT_EQ(Message(InstallOfflineLease(host.platform(), record)), "invalid offline lease version/caller identity");
}

TEST_F(OfflineLeasesTest, RemovalDeletesExactlyTheRecordsFilters) {
    const LeaseRecord first = host.Record(1);
    const LeaseRecord second = host.Record(2);
    ASSERT_TRUE(InstallOfflineLease(host.platform(), first));
    const auto second_ids = InstallOfflineLease(host.platform(), second).value();

    LeaseRecord impostor = host.Record(3);
    impostor.lease_id = first.lease_id;
    EXPECT_EQ(Message(RemoveOfflineLease(host.platform(), impostor)), "refusing deletion of a different offline lease");
    LeaseRecord borrower = host.Record(3);
    borrower.filter_keys[2] = second.filter_keys[0];
    EXPECT_EQ(Message(RemoveOfflineLease(host.platform(), borrower)), "lease keys belong to a different record");
    EXPECT_EQ(host.wfp().Filters().size(), 8u);

    ASSERT_EQ(Message(RemoveOfflineLease(host.platform(), first)), "ok");
    EXPECT_EQ(Enumerate().value(), (std::vector<OfflineLease>{{second, second_ids}}));
    EXPECT_EQ(host.wfp().OpenSessions(), 0u);
}

TEST_F(OfflineLeasesTest, EveryFilterOfTheLayoutMustHaveTheExactShape) {
    const LeaseRecord record = host.Record(1);
    ASSERT_TRUE(InstallOfflineLease(host.platform(), record));
    struct Case {
        std::size_t slot;
        std::function<void(platform::WfpFilter&)> change;
        std::string message;
    };
    const std::string shape = "offline lease filter has an unexpected policy shape (slot=";
    const std::vector<Case> cases{
        {1, [](auto& f) { f.display_data.name = u"Telvo offline package lease v2"; },
         shape + "1): displayData.name mismatch"},
        {2, [](auto& f) { f.flags = 0x3; }, shape + "2): flags=0x3, expected=0x1 or 0x41"},
        {0, [](auto& f) { f.flags = 0x21; }, shape + "0): flags=0x21, expected=0x1 or 0x41"},
        {3, [](auto& f) {
             f.action_type = 0x1002;
             f.raw_context = 5;
             f.weight.uint64 = 7;
             f.display_data.description = u"d";
         },
         shape + "3): action=0x1002, expected=0x1001; rawContext is nonzero; weight: type=4, uint64=7, "
                 "expectedType=4, expectedUint64=18446744073709551615; displayData.description is present"},
        {0, [](auto& f) { f.filter_condition.reset(); }, shape + "0): condition count=1, pointerPresent=false"},
        {1, [](auto& f) { f.provider_key.reset(); }, shape + "1): providerKey mismatch"},
        {1, [](auto& f) { f.layer_key[0] ^= 1; }, shape + "1): layerKey mismatch for slot=1"},
        {2, [](auto& f) { f.filter_condition->front().match_type = 1; },
         "offline filter does not match exact package SID"},
        {2, [&](auto& f) { f.filter_condition->front().condition_value.sid.back() ^= 1; },
         "offline filter package SID differs from lease"},
        {3, [](auto& f) { f.provider_data.push_back(' '); }, "noncanonical offline lease provider data"},
        {3, [](auto& f) { f.provider_data.assign(3, 'x'); },
         "unrecognized offline WFP lease record"},
    };
    for (const Case& test : cases) {
        WfpTestHost fresh;
        ASSERT_TRUE(InstallOfflineLayout(fresh.platform()));
        ASSERT_TRUE(InstallOfflineLease(fresh.platform(), record));
        ASSERT_TRUE(fresh.wfp().ChangeFilter(Key(record, test.slot), test.change));
        auto transaction = WfpTransaction::Begin(fresh.platform().wfp).value();
        auto leases = EnumerateOfflineLeases(fresh.platform(), transaction.engine());
        ASSERT_FALSE(leases) << test.message;
        EXPECT_TRUE(leases.error().Display().starts_with(test.message)) << leases.error().Display();
    }
}

TEST_F(OfflineLeasesTest, ALeaseWithAFilterMissingOrTwiceIsRefused) {
    const LeaseRecord record = host.Record(1);
    ASSERT_TRUE(InstallOfflineLease(host.platform(), record));
    ASSERT_TRUE(host.wfp().EraseFilter(Key(record, 2)));
    EXPECT_EQ(EnumerateMessage(), "partial offline lease retained; expected four exact filters");
    EXPECT_EQ(Message(InstallOfflineLease(host.platform(), host.Record(2))),
              "partial offline lease retained; expected four exact filters");

    // A copy of slot 0 under another key, naming it nowhere.
    WfpTestHost twice;
    ASSERT_TRUE(InstallOfflineLayout(twice.platform()));
    ASSERT_TRUE(InstallOfflineLease(twice.platform(), record));
    ASSERT_TRUE(twice.wfp().ChangeFilter(Key(record, 1), [](auto& f) { f.layer_key = kSlotLayers[0]; }));
    auto transaction = WfpTransaction::Begin(twice.platform().wfp).value();
    EXPECT_EQ(Message(EnumerateOfflineLeases(twice.platform(), transaction.engine())),
              "lease record does not name this filter");
}

TEST_F(OfflineLeasesTest, CapacityIsFourThousandNinetySixLeases) {
    Seed(1, kMaxOfflineLeases - 1);
    ASSERT_EQ(Enumerate().value().size(), kMaxOfflineLeases - 1);
    ASSERT_EQ(Message(InstallOfflineLease(host.platform(), host.Record(kMaxOfflineLeases))), "ok");
    EXPECT_EQ(Message(InstallOfflineLease(host.platform(), host.Record(kMaxOfflineLeases + 1))),
              "offline lease capacity reached; retained leases were not deleted");
    EXPECT_EQ(host.wfp().Filters().size(), kMaxOfflineLeases * kFilterSlots);
    // The record already there is still found.
    EXPECT_TRUE(InstallOfflineLease(host.platform(), host.Record(kMaxOfflineLeases)));
}

// Fails each seam call of one operation in turn: the operation either fails
// with the engine as it was before, or (a failure in the clean-up after the
// commit) succeeds whole. `prepare` sets the engine up and gives the record
// to operate on.
void SweepFailures(const std::function<LeaseRecord(WfpTestHost&)>& prepare,
                   const std::function<Result<void>(WfpTestHost&, const LeaseRecord&)>& operation) {
    WfpTestHost probe;
    const LeaseRecord probe_record = prepare(probe);
    const std::uint64_t before = probe.host.faults().Total();
    probe.host.faults().WatchAll();
    ASSERT_TRUE(operation(probe, probe_record));
    const auto calls = probe.host.faults().Log();
    const auto after = probe.wfp().Filters();
    ASSERT_EQ(calls.size(), probe.host.faults().Total() - before);
    ASSERT_GT(calls.size(), 10u);
    std::map<std::string, std::uint64_t> seen;
    for (const auto& call : calls) {
        const std::uint64_t nth = ++seen[call.call];
        WfpTestHost host;
        const LeaseRecord record = prepare(host);
        const auto unchanged = host.wfp().Filters();
        host.host.faults().FailOn(call.call, host.host.faults().Count(call.call) + nth, SysError::HResult(0x80320012));
        const auto result = operation(host, record);
        // A close that fails leaves its session (and only that) behind.
        EXPECT_EQ(host.wfp().OpenSessions(), call.call == "FwpmEngineClose0" ? 1u : 0u) << call.call << " #" << nth;
        EXPECT_FALSE(host.wfp().TransactionOpen()) << call.call << " #" << nth;
        if (result) {
            EXPECT_EQ(host.wfp().Filters().size(), after.size()) << call.call << " #" << nth;
        } else {
            EXPECT_EQ(host.wfp().Filters(), unchanged) << call.call << " #" << nth << ": " << result.error().Display();
        }
    }
}

TEST(OfflineLeaseFaults, AFailureAtAnyCallOfAnInstallLeavesNothingHalfDone) {
    SweepFailures(
        [](WfpTestHost& host) {
            EXPECT_TRUE(InstallOfflineLayout(host.platform()));
            EXPECT_TRUE(InstallOfflineLease(host.platform(), host.Record(1)));
            return host.Record(2);
        },
        [](WfpTestHost& host, const LeaseRecord& record) -> Result<void> {
            TELVO_TRY(InstallOfflineLease(host.platform(), record));
            return {};
        });
}

TEST(OfflineLeaseFaults, AFailureAtAnyCallOfARemovalLeavesNothingHalfDone) {
    SweepFailures(
        [](WfpTestHost& host) {
            EXPECT_TRUE(InstallOfflineLayout(host.platform()));
            EXPECT_TRUE(InstallOfflineLease(host.platform(), host.Record(1)));
            EXPECT_TRUE(InstallOfflineLease(host.platform(), host.Record(2)));
            return host.Record(2);
        },
        [](WfpTestHost& host, const LeaseRecord& record) { return RemoveOfflineLease(host.platform(), record); });
}

TEST_F(OfflineLeasesTest, AFilterAddRefusedMidwayAbortsTheFirstFilters) {
    host.host.faults().FailOn("FwpmFilterAdd0", host.host.faults().Count("FwpmFilterAdd0") + 3,
                              SysError::HResult(0x80320016));
    host.host.faults().Watch("FwpmTransactionAbort0");
    EXPECT_EQ(Message(InstallOfflineLease(host.platform(), host.Record(1))),
              "FwpmFilterAdd0(offline lease) failed with Windows/WFP error 0x80320016");
    EXPECT_TRUE(host.wfp().Filters().empty());
    EXPECT_EQ(host.host.faults().Log().size(), 1u);  // aborted, not left to the close
}

TEST_F(OfflineLeasesTest, AfterARebootOnlyPersistentObjectsRemainWithNewIds) {
    platform::sim::SimInstalledService service;
    service.config.start_type = platform::service_start::kAutoStart;
    host.host.service().Install(u"TelvoOfflineNetwork", service);
    const LeaseRecord record = host.Record(1);
    const auto ids = InstallOfflineLease(host.platform(), record).value();
    {
        // A static filter of another provider's making, in the same engine.
        auto transaction = WfpTransaction::Begin(host.platform().wfp).value();
        platform::WfpFilter other = LeaseFilter(GuidFromText(TestUuid(50, 1)).value(), 0,
                                                winformat::Sid::Parse(record.package_sid).value(), "{}");
        other.flags = 0;
        other.provider_key.reset();
        other.sublayer_key = {};
        ASSERT_TRUE(host.platform().wfp.FwpmFilterAdd0(transaction.engine(), other, {}));
        ASSERT_TRUE(transaction.Commit());
    }
    const auto open = WfpTransaction::Begin(host.platform().wfp).value();  // a session the reboot ends
    ASSERT_EQ(host.wfp().Filters().size(), 5u);
    host.wfp().Reboot();
    EXPECT_EQ(host.wfp().OpenSessions(), 0u);
    EXPECT_EQ(host.wfp().Filters().size(), 4u);
    const auto leases = Enumerate().value();
    ASSERT_EQ(leases.size(), 1u);
    EXPECT_EQ(leases[0].record, record);
    EXPECT_NE(leases[0].filter_ids, ids);
    // The lease is of an earlier boot now: the same record is not installed again.
    EXPECT_EQ(Message(InstallOfflineLease(host.platform(), record)),
              "cannot install a lease for a different Windows boot");
    EXPECT_EQ(Message(RemoveOfflineLease(host.platform(), record)), "ok");
}

TEST_F(OfflineLeasesTest, AfterARebootWithoutAnAutoStartServiceTheDisabledFiltersAreRefused) {
    ASSERT_TRUE(InstallOfflineLease(host.platform(), host.Record(1)));
    host.wfp().Reboot();
    EXPECT_EQ(Message(InstallOfflineLease(host.platform(), host.Record(2))),
              "existing offline WFP layout differs from the fixed policy; refusing repair");
}

}  // namespace
}  // namespace telvo::offline_network
