#include "offline_network/offline_layout.h"

#include <gtest/gtest.h>

#include "offline_network/offline_leases.h"
#include "offline_network/wfp_test_host.h"
#include "offline_network/wfp_transaction.h"
#include "winformat/sddl.h"
#include "winformat/security_descriptor.h"

namespace telvo::offline_network {
namespace {

using namespace testing;

std::vector<std::uint8_t> Descriptor(std::string_view sddl) {
    return winformat::ParseSddl(sddl).value().ToSelfRelative();
}

struct OfflineLayoutTest : ::testing::Test {
    WfpTestHost host;

    void SetUp() override { ASSERT_EQ(Message(InstallOfflineLayout(host.platform())), "ok"); }
    std::string Install() { return Message(InstallOfflineLayout(host.platform())); }
    std::string Remove() { return Message(RemoveOfflineLayout(host.platform())); }
    bool Installed() { return host.wfp().Provider(kProviderKey) && host.wfp().Sublayer(kSublayerKey); }
    void DeleteSublayer() {
        auto transaction = WfpTransaction::Begin(host.platform().wfp).value();
        ASSERT_TRUE(host.platform().wfp.FwpmSubLayerDeleteByKey0(transaction.engine(), kSublayerKey));
        ASSERT_TRUE(transaction.Commit());
    }
};

TEST_F(OfflineLayoutTest, InstallsTheFixedProviderAndSublayerOnce) {
    const platform::WfpProvider provider = *host.wfp().Provider(kProviderKey);
    EXPECT_EQ(provider.display_data.name, u"Telvo offline network v1");
    EXPECT_FALSE(provider.display_data.description);
    EXPECT_EQ(provider.flags, 1u);
    EXPECT_EQ(std::string(provider.provider_data.begin(), provider.provider_data.end()),
              "Telvo.OfflineNetwork.Policy.v1");
    EXPECT_EQ(provider.service_name, u"TelvoOfflineNetwork");
    const platform::WfpSublayer sublayer = *host.wfp().Sublayer(kSublayerKey);
    EXPECT_EQ(sublayer.display_data.name, u"Telvo package offline isolation v1");
    EXPECT_EQ(sublayer.provider_key, kProviderKey);
    EXPECT_EQ(sublayer.weight, 0xFFFF);
    EXPECT_EQ(sublayer.flags, 1u);

    // The second time verifies and adds nothing.
    host.host.faults().WatchAll();
    EXPECT_EQ(Install(), "ok");
    for (const auto& call : host.host.faults().Log()) {
        EXPECT_NE(call.call, "FwpmProviderAdd0");
        EXPECT_NE(call.call, "FwpmSubLayerAdd0");
    }
    EXPECT_EQ(host.wfp().OpenSessions(), 0u);
}

TEST_F(OfflineLayoutTest, EverySessionIsOpenedWithNtlmAndAThirtySecondTransactionWait) {
    host.host.faults().Watch("FwpmEngineOpen0");
    host.host.faults().Watch("FwpmTransactionBegin0");
    EXPECT_EQ(Install(), "ok");
    const auto log = host.host.faults().Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].arguments, (std::vector<std::uint64_t>{10, 0, 30000}));
    EXPECT_EQ(log[1].arguments, (std::vector<std::uint64_t>{0}));
}

TEST_F(OfflineLayoutTest, APartialLayoutIsReportedAndNeverRepaired) {
    DeleteSublayer();
    EXPECT_EQ(Install(), "partial offline WFP layout; refusing automatic repair");
    EXPECT_EQ(Remove(), "Telvo offline WFP sublayer is not installed");
    EXPECT_TRUE(host.wfp().Provider(kProviderKey));
    EXPECT_FALSE(host.wfp().Sublayer(kSublayerKey));
}

TEST_F(OfflineLayoutTest, AForeignLayoutIsRefusedAndKept) {
    struct Case {
        std::function<void(platform::sim::SimWfp&)> change;
        std::string message;
    };
    const std::string differs = "existing offline WFP layout differs from the fixed policy; refusing repair";
    const std::vector<Case> cases{
        {[](auto& wfp) { wfp.ChangeSublayer(kSublayerKey, [](auto& s) { s.weight = 0x8000; }); }, differs},
        {[](auto& wfp) { wfp.ChangeProvider(kProviderKey, [](auto& p) { p.flags = 0x11; }); }, differs},
        {[](auto& wfp) { wfp.ChangeProvider(kProviderKey, [](auto& p) { p.service_name = u"Other"; }); }, differs},
        {[](auto& wfp) { wfp.ChangeSublayer(kSublayerKey, [](auto& s) { s.display_data.description = u"x"; }); },
         differs},
        {[](auto& wfp) { wfp.ChangeSublayer(kSublayerKey, [](auto& s) { s.provider_data.back() = '2'; }); }, differs},
        {[](auto& wfp) { wfp.ChangeProvider(kProviderKey, [](auto& p) { p.provider_data.pop_back(); }); },
         "invalid WFP provider data size"},
        {[](auto& wfp) {
             wfp.SetProviderSecurity(kProviderKey, Descriptor("O:SYG:BAD:P(A;;0xf07ff;;;SY)(A;;0xf07ff;;;BA)(A;;0x20080;;;AU)"));
         },
         "offline WFP object is not administrator-owned"},
        {[](auto& wfp) {
             wfp.SetSublayerSecurity(kSublayerKey, Descriptor("O:BAG:BAD:(A;;0xf07ff;;;SY)(A;;0xf07ff;;;BA)(A;;0x20080;;;AU)"));
         },
         "offline WFP DACL is not the fixed protected policy"},
        {[](auto& wfp) {
             wfp.SetSublayerSecurity(kSublayerKey, Descriptor("O:BAG:BAD:P(A;;0xf07ff;;;SY)(A;;0xf07ff;;;BA)"));
         },
         "offline WFP DACL is not the fixed protected policy"},
        {[](auto& wfp) {
             wfp.SetProviderSecurity(kProviderKey, Descriptor("O:BAG:BAD:P(A;;0xf07ff;;;SY)(A;;0xf07ff;;;BA)(A;;0xf07ff;;;AU)"));
         },
         "unexpected WFP DACL trustee or rights"},
        {[](auto& wfp) {
             wfp.SetProviderSecurity(kProviderKey, Descriptor("O:BAG:BAD:P(A;;0xf07ff;;;SY)(A;;0xf07ff;;;BA)(A;;0x20080;;;WD)"));
         },
         "unexpected WFP DACL trustee or rights"},
        {[](auto& wfp) {
             wfp.SetProviderSecurity(kProviderKey, Descriptor("O:BAG:BAD:P(D;;0x1;;;SY)(A;;0xf07ff;;;BA)(A;;0x20080;;;AU)"));
         },
         "unexpected WFP DACL entry type/flags"},
        {[](auto& wfp) {
             wfp.SetProviderSecurity(kProviderKey, Descriptor("O:BAG:BAD:P(A;CI;0xf07ff;;;SY)(A;;0xf07ff;;;BA)(A;;0x20080;;;AU)"));
         },
         "unexpected WFP DACL entry type/flags"},
        {[](auto& wfp) { wfp.SetProviderSecurity(kProviderKey, Descriptor("O:BAG:BA")); },
         "offline WFP DACL is not the fixed protected policy"},
    };
    for (const Case& test : cases) {
        WfpTestHost fresh;
        ASSERT_TRUE(InstallOfflineLayout(fresh.platform()));
        test.change(fresh.wfp());
        const auto provider = fresh.wfp().Provider(kProviderKey);
        const auto sublayer = fresh.wfp().Sublayer(kSublayerKey);
        EXPECT_EQ(Message(InstallOfflineLayout(fresh.platform())), test.message);
        EXPECT_EQ(Message(RemoveOfflineLayout(fresh.platform())), test.message);
        EXPECT_EQ(fresh.wfp().Provider(kProviderKey), provider);
        EXPECT_EQ(fresh.wfp().Sublayer(kSublayerKey), sublayer);
    }
}

TEST_F(OfflineLayoutTest, ASecurityReadThatFailsIsReported) {
    host.host.faults().FailOn("FwpmSubLayerGetSecurityInfoByKey0",
                              host.host.faults().Count("FwpmSubLayerGetSecurityInfoByKey0") + 1,
                              SysError::HResult(5));
    EXPECT_EQ(Install(), "read offline WFP object security failed with Windows/WFP error 0x00000005");
}

TEST_F(OfflineLayoutTest, ALookupThatFailsOtherThanByAbsenceEndsTheInstall) {
    WfpTestHost fresh;
    fresh.host.faults().FailOn("FwpmProviderGetByKey0", 1, SysError::HResult(0x80320010));
    EXPECT_EQ(Message(InstallOfflineLayout(fresh.platform())),
              "FwpmProviderGetByKey0 failed with Windows/WFP error 0x80320010");
    EXPECT_FALSE(fresh.wfp().Provider(kProviderKey));
}

TEST_F(OfflineLayoutTest, AStandardUserCanNeitherInstallNorRemove) {
    WfpTestHost fresh;
    fresh.host.security().SetProcessToken(
        platform::sim::SimToken::InteractiveUser(winformat::Sid::Parse("S-1-5-21-7-8-9-1001").value(), false, false));
    EXPECT_EQ(Message(InstallOfflineLayout(fresh.platform())),
              "FwpmTransactionBegin0 failed with Windows/WFP error 0x00000005");
    EXPECT_EQ(fresh.wfp().OpenSessions(), 0u);
    host.host.security().SetProcessToken(
        platform::sim::SimToken::InteractiveUser(winformat::Sid::Parse("S-1-5-21-7-8-9-1001").value(), false, false));
    EXPECT_EQ(Remove(), "FwpmTransactionBegin0 failed with Windows/WFP error 0x00000005");
    EXPECT_TRUE(Installed());
}

TEST_F(OfflineLayoutTest, RemovalTakesAnEmptyLayoutAndRefusesOneWithLeases) {
    const LeaseRecord record = host.Record(1);
    ASSERT_TRUE(InstallOfflineLease(host.platform(), record));
    EXPECT_EQ(Remove(), "offline WFP layout has active/retained leases; refusing removal");
    EXPECT_TRUE(Installed());
    ASSERT_TRUE(RemoveOfflineLease(host.platform(), record));
    EXPECT_EQ(Remove(), "ok");
    EXPECT_FALSE(host.wfp().Provider(kProviderKey));
    EXPECT_FALSE(host.wfp().Sublayer(kSublayerKey));
    EXPECT_EQ(Remove(), "ok");  // an absent layout is removed already
}

}  // namespace
}  // namespace telvo::offline_network
