#include "platform/sim/sim_wfp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sim/sim_host.h"
#include "platform/sim/sim_token.h"
#include "winformat/sddl.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {
namespace {

constexpr Guid kProvider{1, 2, 3};
constexpr Guid kSublayer{4, 5, 6};

SysError WfpCode(std::uint32_t code) { return SysError::HResult(code); }

struct SimWfpTest : ::testing::Test {
    SimHost host;
    Wfp& wfp = host.platform().wfp;

    SimWfpTest() { host.security().SetProcessToken(SimToken::LocalSystem()); }

    WfpEngine Open(std::uint32_t timeout = 0) {
        WfpSession session;
        session.txn_wait_timeout_ms = timeout;
        return wfp.FwpmEngineOpen0(rpc_authn::kWinNt, session).value();
    }
    static WfpProvider Provider(std::uint32_t flags) { return {kProvider, {u"p", {}}, flags, {}, {}}; }
    static WfpSublayer Sublayer(std::uint16_t flags) { return {kSublayer, {u"s", {}}, flags, kProvider, {}, 1}; }
    static WfpFilter Filter(std::uint8_t tag, std::uint32_t flags) {
        WfpFilter filter;
        filter.filter_key = {tag};
        filter.display_data.name = u"f";
        filter.flags = flags;
        filter.provider_key = kProvider;
        filter.layer_key = wfp_guid::kLayerAleAuthConnectV4;
        filter.sublayer_key = kSublayer;
        filter.weight = {wfp_type::kUint64, 9, {}};
        filter.action_type = wfp_action::kBlock;
        return filter;
    }
    // Provider, sublayer and filters 1 and 2, all persistent, committed.
    void Populate() {
        const WfpEngine engine = Open();
        ASSERT_TRUE(wfp.FwpmProviderAdd0(engine, Provider(1), {}));
        ASSERT_TRUE(wfp.FwpmSubLayerAdd0(engine, Sublayer(1), {}));
        ASSERT_TRUE(wfp.FwpmFilterAdd0(engine, Filter(1, 1), {}));
        ASSERT_TRUE(wfp.FwpmFilterAdd0(engine, Filter(2, 1), {}));
        ASSERT_TRUE(wfp.FwpmEngineClose0(engine));
    }
};

TEST_F(SimWfpTest, AWriteTransactionIsExclusiveAndOthersTimeOutOnTheVirtualClock) {
    const WfpEngine first = Open();
    const WfpEngine second = Open(30000);
    ASSERT_TRUE(wfp.FwpmTransactionBegin0(first, 0));
    EXPECT_EQ(wfp.FwpmTransactionBegin0(first, 0).error(), WfpCode(wfp_error::kTxnInProgress));
    const auto start = host.clock().Now();
    EXPECT_EQ(wfp.FwpmTransactionBegin0(second, 0).error(), WfpCode(wfp_error::kTimeout));
    EXPECT_EQ(host.clock().Now() - start, 30000u);
    // A lone call of another session is a transaction of its own and waits too.
    EXPECT_EQ(wfp.FwpmProviderAdd0(second, Provider(1), {}).error(), WfpCode(wfp_error::kTimeout));
    ASSERT_TRUE(wfp.FwpmEngineClose0(first));  // closing aborts
    EXPECT_TRUE(wfp.FwpmTransactionBegin0(second, 0));
    EXPECT_TRUE(wfp.FwpmTransactionCommit0(second));
    EXPECT_EQ(wfp.FwpmTransactionCommit0(second).error(), WfpCode(wfp_error::kNoTxnInProgress));
}

// Another process's transaction ends on its own thread: a writer that meets
// it waits for it in real time before the virtual time-out.
TEST_F(SimWfpTest, AWriterWaitsForAnotherProcessToCommit) {
    SimHelperProcess& other = host.StartHelperProcessAs(std::make_shared<const SimToken>(SimToken::LocalSystem()));
    std::atomic<bool> begun{false};
    host.processes().StartThreadFor(other, [&] {
        const WfpEngine engine = Open();
        ASSERT_TRUE(wfp.FwpmTransactionBegin0(engine, 0));
        begun.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(wfp.FwpmProviderAdd0(engine, Provider(1), {}));
        ASSERT_TRUE(wfp.FwpmTransactionCommit0(engine));
    });
    while (!begun.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const WfpEngine mine = Open();
    const auto start = host.clock().Now();
    EXPECT_TRUE(wfp.FwpmTransactionBegin0(mine, 0));
    EXPECT_EQ(host.clock().Now(), start);
    EXPECT_EQ(wfp.FwpmProviderAdd0(mine, Provider(1), {}).error(), WfpCode(wfp_error::kAlreadyExists));
    host.processes().JoinThreads();
}

TEST_F(SimWfpTest, AbortDropsEverythingTheTransactionDidAndCommitKeepsItWhole) {
    Populate();
    const WfpEngine engine = Open();
    ASSERT_TRUE(wfp.FwpmTransactionBegin0(engine, 0));
    ASSERT_TRUE(wfp.FwpmFilterDeleteByKey0(engine, Guid{1}));
    ASSERT_TRUE(wfp.FwpmFilterAdd0(engine, Filter(3, 1), {}));
    // A failing call does not end the transaction.
    EXPECT_EQ(wfp.FwpmFilterAdd0(engine, Filter(3, 1), {}).error(), WfpCode(wfp_error::kAlreadyExists));
    EXPECT_EQ(host.wfp().Filters().size(), 2u);  // others see the committed state
    ASSERT_TRUE(wfp.FwpmTransactionAbort0(engine));
    auto filters = host.wfp().Filters();
    ASSERT_EQ(filters.size(), 2u);
    EXPECT_EQ(filters[0].filter_key, Guid{1});

    ASSERT_TRUE(wfp.FwpmTransactionBegin0(engine, 0));
    ASSERT_TRUE(wfp.FwpmFilterDeleteByKey0(engine, Guid{1}));
    ASSERT_TRUE(wfp.FwpmTransactionCommit0(engine));
    EXPECT_EQ(host.wfp().Filters().size(), 1u);
}

TEST_F(SimWfpTest, ReferencesLifetimesAndWeightsAreEnforced) {
    const WfpEngine engine = Open();
    EXPECT_EQ(wfp.FwpmSubLayerAdd0(engine, Sublayer(1), {}).error(), WfpCode(wfp_error::kProviderNotFound));
    ASSERT_TRUE(wfp.FwpmProviderAdd0(engine, Provider(0), {}));
    EXPECT_EQ(wfp.FwpmSubLayerAdd0(engine, Sublayer(1), {}).error(), WfpCode(wfp_error::kLifetimeMismatch));
    ASSERT_TRUE(wfp.FwpmSubLayerAdd0(engine, Sublayer(0), {}));
    EXPECT_EQ(wfp.FwpmFilterAdd0(engine, Filter(1, 1), {}).error(), WfpCode(wfp_error::kLifetimeMismatch));
    WfpFilter filter = Filter(1, 0);
    filter.weight = {wfp_type::kUint8, 16, {}};
    EXPECT_EQ(wfp.FwpmFilterAdd0(engine, filter, {}).error(), WfpCode(wfp_error::kInvalidWeight));
    filter = Filter(1, 0);
    filter.display_data.name.reset();
    EXPECT_EQ(wfp.FwpmFilterAdd0(engine, filter, {}).error(), WfpCode(wfp_error::kNullDisplayName));
    filter = Filter(1, 0);
    filter.num_filter_conditions = 1;
    filter.filter_condition = {{wfp_guid::kConditionAlePackageId, kFwpMatchEqual, {wfp_type::kUint64, 1, {}}}};
    EXPECT_EQ(wfp.FwpmFilterAdd0(engine, filter, {}).error(), WfpCode(wfp_error::kTypeMismatch));
    ASSERT_TRUE(wfp.FwpmFilterAdd0(engine, Filter(1, 0), {}));
    EXPECT_EQ(wfp.FwpmSubLayerDeleteByKey0(engine, kSublayer).error(), WfpCode(wfp_error::kInUse));
    EXPECT_EQ(wfp.FwpmProviderDeleteByKey0(engine, kProvider).error(), WfpCode(wfp_error::kInUse));
    EXPECT_EQ(wfp.FwpmFilterDeleteByKey0(engine, Guid{9}).error(), WfpCode(wfp_error::kFilterNotFound));
    EXPECT_EQ(wfp.FwpmProviderGetByKey0(engine, Guid{9}).error(), WfpCode(wfp_error::kProviderNotFound));
    EXPECT_EQ(wfp.FwpmSubLayerGetByKey0(engine, Guid{9}).error(), WfpCode(wfp_error::kSublayerNotFound));
}

TEST_F(SimWfpTest, EnumerationIsASnapshotInBatchesAndHidesWhatTheCallerCannotRead) {
    Populate();
    const WfpEngine engine = Open();
    const WfpEnum handle = wfp.FwpmFilterCreateEnumHandle0(engine).value();
    ASSERT_TRUE(wfp.FwpmFilterDeleteByKey0(engine, Guid{2}));  // after the snapshot
    auto batch = wfp.FwpmFilterEnum0(engine, handle, 1).value();
    EXPECT_EQ(batch.num_entries_returned, 1u);
    batch = wfp.FwpmFilterEnum0(engine, handle, 5).value();
    ASSERT_EQ(batch.num_entries_returned, 1u);
    EXPECT_EQ((*batch.entries)[0]->filter_key, Guid{2});
    batch = wfp.FwpmFilterEnum0(engine, handle, 5).value();
    EXPECT_EQ(batch.num_entries_returned, 0u);
    EXPECT_FALSE(batch.entries);
    ASSERT_TRUE(wfp.FwpmFilterDestroyEnumHandle0(engine, handle));
    EXPECT_EQ(wfp.FwpmFilterEnum0(engine, handle, 5).error(), WfpCode(wfp_error::kInvalidHandle));

    // A filter readable by everyone, one only administrators may read.
    const auto everyone = winformat::ParseSddl("O:BAG:BAD:(A;;0xf07ff;;;BA)(A;;0x20080;;;WD)").value().ToSelfRelative();
    const auto admins = winformat::ParseSddl("O:BAG:BAD:(A;;0xf07ff;;;BA)").value().ToSelfRelative();
    ASSERT_TRUE(wfp.FwpmFilterAdd0(engine, Filter(3, 1), everyone));
    ASSERT_TRUE(wfp.FwpmFilterAdd0(engine, Filter(4, 1), admins));
    const auto user = winformat::Sid::Parse("S-1-5-21-7-8-9-1001").value();
    host.security().SetProcessToken(SimToken::InteractiveUser(user, false, false));
    const WfpEngine user_engine = Open();  // everyone may open
    EXPECT_EQ(wfp.FwpmTransactionBegin0(user_engine, 0).error(), WfpCode(wfp_error::kAccessDenied));
    EXPECT_EQ(wfp.FwpmFilterCreateEnumHandle0(user_engine).error(), WfpCode(wfp_error::kAccessDenied));
    EXPECT_EQ(wfp.FwpmFilterDeleteByKey0(user_engine, Guid{3}).error(), WfpCode(wfp_error::kAccessDenied));
    // An administrator's token enumerates, but sees only what it can read.
    host.security().SetProcessToken(SimToken::InteractiveUser(user, true, true));
    const WfpEngine admin_engine = Open();
    const WfpEnum all = wfp.FwpmFilterCreateEnumHandle0(admin_engine).value();
    EXPECT_EQ(wfp.FwpmFilterEnum0(admin_engine, all, 10).value().num_entries_returned, 3u);
}

TEST_F(SimWfpTest, ARebootKeepsPersistentObjectsOnlyAndRenumbersFilters) {
    Populate();
    SimInstalledService service;
    service.config.start_type = service_start::kAutoStart;
    host.service().Install(u"Svc", service);
    ASSERT_TRUE(host.wfp().ChangeProvider(kProvider, [](WfpProvider& p) { p.service_name = u"Svc"; }));
    const WfpEngine engine = Open();
    const Guid other_provider{7};
    ASSERT_TRUE(wfp.FwpmProviderAdd0(engine, {other_provider, {u"static", {}}, 0, {}, {}}, {}));
    ASSERT_TRUE(wfp.FwpmFilterAdd0(engine, Filter(3, 0), {}));
    ASSERT_TRUE(wfp.FwpmTransactionBegin0(engine, 0));
    const auto ids_before = host.wfp().Filters();
    const auto boot = host.wfp().BootIdentifier();

    host.wfp().Reboot();
    EXPECT_EQ(host.wfp().OpenSessions(), 0u);
    EXPECT_FALSE(host.wfp().TransactionOpen());
    EXPECT_NE(host.wfp().BootIdentifier(), boot);
    EXPECT_FALSE(host.wfp().Provider(other_provider));
    ASSERT_TRUE(host.wfp().Provider(kProvider));
    EXPECT_EQ(host.wfp().Provider(kProvider)->flags, 1u);
    const auto after = host.wfp().Filters();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_NE(after[0].filter_id, ids_before[0].filter_id);
    EXPECT_EQ(after[0].flags, 1u);

    // Without an auto-start service the provider and its filters come back disabled.
    host.service().Find(u"Svc")->config.start_type = service_start::kDemandStart;
    host.wfp().Reboot();
    EXPECT_EQ(host.wfp().Provider(kProvider)->flags, 0x11u);
    EXPECT_EQ(host.wfp().Filters()[0].flags, 0x21u);
}

}  // namespace
}  // namespace telvo::platform::sim
