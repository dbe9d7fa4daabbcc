// What the offline layer does when the engine hands back what it should
// not: batches, entries, sessions and objects out of contract, and a
// transaction whose readback differs from what was just added.
#include <gtest/gtest.h>

#include <functional>

#include "offline_network/lease_filter.h"
#include "offline_network/offline_layout.h"
#include "offline_network/offline_leases.h"
#include "offline_network/wfp_test_host.h"
#include "offline_network/wfp_transaction.h"
#include "support/platform_with.h"

namespace telvo::offline_network {
namespace {

using namespace testing;
using platform::Guid;
using platform::WfpEngine;
using platform::WfpEnum;

// Forwards every call to the simulated engine; a test changes what chosen
// calls hand back.
class MisbehavingWfp final : public platform::Wfp {
public:
    explicit MisbehavingWfp(platform::Wfp& real) : real_(real) {}

    std::function<void(WfpEngine&)> on_open;
    std::function<void(std::optional<platform::WfpProvider>&)> on_provider;
    // Called with each batch and the number of the enumeration it belongs to.
    std::function<void(platform::WfpFilterBatch&, int)> on_batch;

    SysResult<WfpEngine> FwpmEngineOpen0(std::uint32_t authn, const platform::WfpSession& session) override {
        auto engine = real_.FwpmEngineOpen0(authn, session);
        if (engine && on_open) on_open(*engine);
        return engine;
    }
    SysResult<void> FwpmEngineClose0(WfpEngine e) override { return real_.FwpmEngineClose0(e); }
    SysResult<void> FwpmTransactionBegin0(WfpEngine e, std::uint32_t f) override {
        return real_.FwpmTransactionBegin0(e, f);
    }
    SysResult<void> FwpmTransactionCommit0(WfpEngine e) override { return real_.FwpmTransactionCommit0(e); }
    SysResult<void> FwpmTransactionAbort0(WfpEngine e) override { return real_.FwpmTransactionAbort0(e); }
    SysResult<void> FwpmProviderAdd0(WfpEngine e, const platform::WfpProvider& p,
                                     std::span<const std::uint8_t> sd) override {
        return real_.FwpmProviderAdd0(e, p, sd);
    }
    SysResult<void> FwpmSubLayerAdd0(WfpEngine e, const platform::WfpSublayer& s,
                                     std::span<const std::uint8_t> sd) override {
        return real_.FwpmSubLayerAdd0(e, s, sd);
    }
    SysResult<std::uint64_t> FwpmFilterAdd0(WfpEngine e, const platform::WfpFilter& f,
                                            std::span<const std::uint8_t> sd) override {
        return real_.FwpmFilterAdd0(e, f, sd);
    }
    SysResult<std::optional<platform::WfpProvider>> FwpmProviderGetByKey0(WfpEngine e, const Guid& k) override {
        auto provider = real_.FwpmProviderGetByKey0(e, k);
        if (provider && on_provider) on_provider(*provider);
        return provider;
    }
    SysResult<std::optional<platform::WfpSublayer>> FwpmSubLayerGetByKey0(WfpEngine e, const Guid& k) override {
        return real_.FwpmSubLayerGetByKey0(e, k);
    }
    SysResult<void> FwpmProviderDeleteByKey0(WfpEngine e, const Guid& k) override {
        return real_.FwpmProviderDeleteByKey0(e, k);
    }
    SysResult<void> FwpmSubLayerDeleteByKey0(WfpEngine e, const Guid& k) override {
        return real_.FwpmSubLayerDeleteByKey0(e, k);
    }
    SysResult<void> FwpmFilterDeleteByKey0(WfpEngine e, const Guid& k) override {
        return real_.FwpmFilterDeleteByKey0(e, k);
    }
    SysResult<void> FwpmFilterDeleteById0(WfpEngine e, std::uint64_t id) override {
        return real_.FwpmFilterDeleteById0(e, id);
    }
    SysResult<WfpEnum> FwpmFilterCreateEnumHandle0(WfpEngine e) override {
        ++enumerations_;
        return real_.FwpmFilterCreateEnumHandle0(e);
    }
    SysResult<platform::WfpFilterBatch> FwpmFilterEnum0(WfpEngine e, WfpEnum h, std::uint32_t n) override {
        auto batch = real_.FwpmFilterEnum0(e, h, n);
        if (batch && on_batch) on_batch(*batch, enumerations_);
        return batch;
    }
    SysResult<void> FwpmFilterDestroyEnumHandle0(WfpEngine e, WfpEnum h) override {
        return real_.FwpmFilterDestroyEnumHandle0(e, h);
    }
    SysResult<std::vector<std::uint8_t>> FwpmProviderGetSecurityInfoByKey0(WfpEngine e, const Guid& k,
                                                                          std::uint32_t i) override {
        return real_.FwpmProviderGetSecurityInfoByKey0(e, k, i);
    }
    SysResult<std::vector<std::uint8_t>> FwpmSubLayerGetSecurityInfoByKey0(WfpEngine e, const Guid& k,
                                                                          std::uint32_t i) override {
        return real_.FwpmSubLayerGetSecurityInfoByKey0(e, k, i);
    }
    SysResult<std::uint32_t> NtQuerySystemInformation(std::uint32_t c, std::span<std::uint8_t> b) override {
        return real_.NtQuerySystemInformation(c, b);
    }

private:
    platform::Wfp& real_;
    int enumerations_ = 0;
};

struct LeaseEnumerationTest : ::testing::Test {
    WfpTestHost host;
    MisbehavingWfp wfp{host.platform().wfp};
    platform::Platform platform = telvo::testing::PlatformWith(host.platform(), {.wfp = &wfp});
    LeaseRecord record = host.Record(1);

    void SetUp() override { ASSERT_TRUE(InstallOfflineLayout(host.platform())); }
    std::string Install() { return Message(InstallOfflineLease(platform, record)); }
    std::string Enumerate() {
        auto transaction = WfpTransaction::Begin(wfp).value();
        return Message(EnumerateOfflineLeases(platform, transaction.engine()));
    }
};

TEST_F(LeaseEnumerationTest, BatchesOutOfContractAreRefused) {
    ASSERT_EQ(Install(), "ok");
    wfp.on_batch = [](platform::WfpFilterBatch& batch, int) {
        if (batch.num_entries_returned != 0) batch.entries.reset();
    };
    EXPECT_EQ(Enumerate(), "invalid WFP enumeration batch");
    wfp.on_batch = [](platform::WfpFilterBatch& batch, int) {
        if (batch.num_entries_returned != 0) batch.num_entries_returned = 257;
    };
    EXPECT_EQ(Enumerate(), "invalid WFP enumeration batch");
    wfp.on_batch = [](platform::WfpFilterBatch& batch, int) {
        if (batch.entries) batch.entries->front().reset();
    };
    EXPECT_EQ(Enumerate(), "null WFP filter entry");
    // An engine that never ends its enumeration is cut off at 100000 filters.
    int batches = 0;
    wfp.on_batch = [&batches](platform::WfpFilterBatch& batch, int) {
        ++batches;
        platform::WfpFilter foreign;
        foreign.layer_key = platform::wfp_guid::kLayerAleAuthConnectV4;
        batch.num_entries_returned = 256;
        batch.entries.emplace(256, foreign);
    };
    EXPECT_EQ(Enumerate(), "WFP filter enumeration exceeds supported bound");
    EXPECT_EQ(batches, 391);  // 390 * 256 < 100000 < 391 * 256
}

TEST_F(LeaseEnumerationTest, ARecordSeenTwiceInOneSlotIsRefused) {
    ASSERT_EQ(Install(), "ok");
    wfp.on_batch = [](platform::WfpFilterBatch& batch, int) {
        if (batch.entries) batch.entries->push_back(batch.entries->front()), ++batch.num_entries_returned;
    };
    EXPECT_EQ(Enumerate(), "inconsistent or duplicate offline lease records");
}

TEST_F(LeaseEnumerationTest, TwoLeasesForOnePackageAreRefused) {
    ASSERT_EQ(Install(), "ok");
    LeaseRecord twin = record;
    twin.lease_id = TestUuid(77, 0);
    for (std::uint32_t slot = 0; slot < kFilterSlots; ++slot) twin.filter_keys[slot] = TestUuid(77, slot + 1);
    const std::string encoded = EncodeLeaseRecord(host.platform().appcontainer, twin).value();
    auto transaction = WfpTransaction::Begin(host.platform().wfp).value();
    for (std::size_t slot = 0; slot < kFilterSlots; ++slot) {
        ASSERT_TRUE(host.platform().wfp.FwpmFilterAdd0(
            transaction.engine(),
            LeaseFilter(GuidFromText(twin.filter_keys[slot]).value(), slot,
                        winformat::Sid::Parse(twin.package_sid).value(), encoded),
            LayoutSecurityDescriptor().value()));
    }
    EXPECT_EQ(Message(EnumerateOfflineLeases(host.platform(), transaction.engine())),
              "multiple leases claim the same package");
}

TEST_F(LeaseEnumerationTest, TheInstallReadsItsFiltersBackBeforeCommitting) {
    // The second enumeration of the install is the readback.
    wfp.on_batch = [](platform::WfpFilterBatch& batch, int enumeration) {
        if (enumeration == 2 && batch.entries) batch.entries->back()->filter_id += 1;
    };
    EXPECT_EQ(Install(), "offline filter readback IDs differ");
    EXPECT_TRUE(host.wfp().Filters().empty());
    wfp.on_batch = [](platform::WfpFilterBatch& batch, int enumeration) {
        if (enumeration == 4) batch = {};
    };
    EXPECT_EQ(Install(), "new offline lease was not visible in transaction");
    EXPECT_TRUE(host.wfp().Filters().empty());
    wfp.on_batch = nullptr;
    EXPECT_EQ(Install(), "ok");
}

TEST_F(LeaseEnumerationTest, RemovalProvesTheLeaseGone) {
    ASSERT_EQ(Install(), "ok");
    std::vector<platform::WfpFilter> before;
    wfp.on_batch = [&before](platform::WfpFilterBatch& batch, int enumeration) {
        // The install enumerated twice; the removal's are the third and the fourth.
        if (enumeration == 3 && batch.entries) {
            for (const auto& entry : *batch.entries) before.push_back(*entry);
        }
        if (enumeration == 4 && batch.num_entries_returned == 0 && !before.empty()) {
            batch.num_entries_returned = static_cast<std::uint32_t>(before.size());
            batch.entries.emplace(before.begin(), before.end());
            before.clear();
        }
    };
    EXPECT_EQ(Message(RemoveOfflineLease(platform, record)), "offline lease still exists after removal");
    EXPECT_EQ(host.wfp().Filters().size(), 4u);
}

TEST_F(LeaseEnumerationTest, NullSessionsAndObjectsAreRefused) {
    wfp.on_open = [this](WfpEngine& engine) {
        ASSERT_TRUE(host.platform().wfp.FwpmEngineClose0(engine));
        engine = platform::kNullWfpEngine;
    };
    EXPECT_EQ(Message(InstallOfflineLayout(platform)), "BFE returned a null session");
    wfp.on_open = nullptr;
    wfp.on_provider = [](std::optional<platform::WfpProvider>& provider) { provider.reset(); };
    EXPECT_EQ(Message(InstallOfflineLayout(platform)), "null WFP provider");
    EXPECT_EQ(host.wfp().OpenSessions(), 0u);
}

}  // namespace
}  // namespace telvo::offline_network
