#include "offline_network/offline_layout.h"

#include <array>
#include <optional>

#include "common/try.h"
#include "offline_network/offline_leases.h"
#include "offline_network/wfp_transaction.h"
#include "platform/security.h"
#include "winformat/sddl.h"
#include "winformat/security_descriptor.h"

namespace telvo::offline_network {

namespace {

namespace wk = winformat::well_known;

std::vector<std::uint8_t> LayoutData() { return {kLayoutProviderData.begin(), kLayoutProviderData.end()}; }

platform::WfpProvider FixedProvider() {
    return {kProviderKey, {std::u16string(kProviderName), std::nullopt}, platform::wfp_flag::kProviderPersistent,
            LayoutData(), std::u16string(kServiceName)};
}

platform::WfpSublayer FixedSublayer() {
    return {kSublayerKey, {std::u16string(kSublayerName), std::nullopt}, platform::wfp_flag::kSublayerPersistent,
            kProviderKey,  LayoutData(),
            kSublayerWeight};
}

constexpr std::uint32_t kOwnerAndDacl = platform::security_information::kOwner |
                                        platform::security_information::kDacl;

// The fixed descriptor's DACL, entry by entry.
Result<void> CheckLayoutSecurity(SysResult<std::vector<std::uint8_t>> read) {
    TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> bytes,
                     LiftWfp("read offline WFP object security", std::move(read)));
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    if (bytes.empty() || !descriptor) return Fail("invalid WFP security descriptor");
    if (!descriptor->owner) return Fail("missing WFP object owner");
    if (*descriptor->owner != wk::Administrators()) return Fail("offline WFP object is not administrator-owned");
    const winformat::Acl* dacl = descriptor->dacl.acl();
    const std::array<std::pair<std::uint32_t, winformat::Sid>, 3> expected{
        std::pair{platform::wfp_access::kAll, wk::LocalSystem()},
        std::pair{platform::wfp_access::kAll, wk::Administrators()},
        std::pair{platform::wfp_access::kReadOnly, wk::AuthenticatedUsers()}};
    if (dacl == nullptr || (descriptor->control & winformat::sd_control::kDaclProtected) == 0 ||
        dacl->aces().size() != expected.size()) {
        return Fail("offline WFP DACL is not the fixed protected policy");
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const winformat::Ace& ace = dacl->aces()[i];
        if (!ace.mask() || ace.sid() == nullptr) return Fail("cannot inspect WFP DACL entry");
        if (ace.type() != winformat::ace_type::kAccessAllowed || ace.flags() != 0) {
            return Fail("unexpected WFP DACL entry type/flags");
        }
        if (*ace.mask() != expected[i].first || *ace.sid() != expected[i].second) {
            return Fail("unexpected WFP DACL trustee or rights");
        }
    }
    return {};
}

// A lookup by key: the object, nothing when it does not exist, or the
// failure of the call.
template <class T>
Result<std::optional<T>> Lookup(std::string_view call, SysResult<std::optional<T>> found, std::uint32_t absent,
                                std::string_view null_message) {
    if (!found) {
        if (found.error().code == absent || found.error().code == platform::wfp_error::kNotFound) return std::nullopt;
        return std::unexpected(WfpError(call, found.error()));
    }
    if (!*found) return Fail(std::string(null_message));
    return std::move(*found);
}

Result<std::optional<platform::WfpProvider>> LookupProvider(platform::Wfp& wfp, platform::WfpEngine engine) {
    return Lookup("FwpmProviderGetByKey0", wfp.FwpmProviderGetByKey0(engine, kProviderKey),
                  platform::wfp_error::kProviderNotFound, "null WFP provider");
}

Result<std::optional<platform::WfpSublayer>> LookupSublayer(platform::Wfp& wfp, platform::WfpEngine engine) {
    return Lookup("FwpmSubLayerGetByKey0", wfp.FwpmSubLayerGetByKey0(engine, kSublayerKey),
                  platform::wfp_error::kSublayerNotFound, "null WFP sublayer");
}

constexpr std::string_view kDiffers = "existing offline WFP layout differs from the fixed policy; refusing repair";

}  // namespace

Result<std::vector<std::uint8_t>> LayoutSecurityDescriptor() {
    auto descriptor = winformat::ParseSddl(kLayoutSecurity);
    if (!descriptor) return Fail(std::move(descriptor.error()).Context("offline network security descriptor"));
    return descriptor->ToSelfRelative();
}

Result<void> VerifyOfflineLayout(platform::Wfp& wfp, platform::WfpEngine engine) {
    TELVO_TRY_ASSIGN(const auto provider, LookupProvider(wfp, engine));
    if (!provider) return Fail("Telvo offline WFP provider is not installed");
    TELVO_TRY_ASSIGN(const auto sublayer, LookupSublayer(wfp, engine));
    if (!sublayer) return Fail("Telvo offline WFP sublayer is not installed");
    if (provider->provider_data.size() != kLayoutProviderData.size() ||
        sublayer->provider_data.size() != kLayoutProviderData.size()) {
        return Fail("invalid WFP provider data size");
    }
    if (*provider != FixedProvider() || *sublayer != FixedSublayer()) return Fail(std::string(kDiffers));
    TELVO_TRY(CheckLayoutSecurity(wfp.FwpmProviderGetSecurityInfoByKey0(engine, kProviderKey, kOwnerAndDacl)));
    TELVO_TRY(CheckLayoutSecurity(wfp.FwpmSubLayerGetSecurityInfoByKey0(engine, kSublayerKey, kOwnerAndDacl)));
    return {};
}

Result<void> InstallOfflineLayout(platform::Platform& platform) {
    platform::Wfp& wfp = platform.wfp;
    TELVO_TRY_ASSIGN(WfpTransaction transaction, WfpTransaction::Begin(wfp));
    TELVO_TRY_ASSIGN(const auto provider, LookupProvider(wfp, transaction.engine()));
    TELVO_TRY_ASSIGN(const auto sublayer, LookupSublayer(wfp, transaction.engine()));
    if (provider.has_value() != sublayer.has_value()) {
        return Fail("partial offline WFP layout; refusing automatic repair");
    }
    if (!provider) {
        TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> security, LayoutSecurityDescriptor());
        TELVO_TRY(LiftWfp("FwpmProviderAdd0", wfp.FwpmProviderAdd0(transaction.engine(), FixedProvider(), security)));
        TELVO_TRY(LiftWfp("FwpmSubLayerAdd0", wfp.FwpmSubLayerAdd0(transaction.engine(), FixedSublayer(), security)));
    }
    TELVO_TRY(VerifyOfflineLayout(wfp, transaction.engine()));
    return transaction.Commit();
}

Result<std::optional<std::size_t>> OfflineLayoutLeaseCount(platform::Platform& platform) {
    platform::Wfp& wfp = platform.wfp;
    TELVO_TRY_ASSIGN(WfpTransaction transaction, WfpTransaction::Begin(wfp));
    TELVO_TRY_ASSIGN(const auto provider, LookupProvider(wfp, transaction.engine()));
    TELVO_TRY_ASSIGN(const auto sublayer, LookupSublayer(wfp, transaction.engine()));
    if (!provider && !sublayer) return std::optional<std::size_t>();
    TELVO_TRY(VerifyOfflineLayout(wfp, transaction.engine()));
    TELVO_TRY_ASSIGN(const auto leases, EnumerateOfflineLeases(platform, transaction.engine()));
    return std::optional<std::size_t>(leases.size());
}

Result<void> RemoveOfflineLayout(platform::Platform& platform) {
    platform::Wfp& wfp = platform.wfp;
    TELVO_TRY_ASSIGN(WfpTransaction transaction, WfpTransaction::Begin(wfp));
    TELVO_TRY_ASSIGN(const auto provider, LookupProvider(wfp, transaction.engine()));
    TELVO_TRY_ASSIGN(const auto sublayer, LookupSublayer(wfp, transaction.engine()));
    if (provider || sublayer) {
        TELVO_TRY(VerifyOfflineLayout(wfp, transaction.engine()));
        TELVO_TRY_ASSIGN(const auto leases, EnumerateOfflineLeases(platform, transaction.engine()));
        if (!leases.empty()) return Fail("offline WFP layout has active/retained leases; refusing removal");
        TELVO_TRY(LiftWfp("FwpmSubLayerDeleteByKey0", wfp.FwpmSubLayerDeleteByKey0(transaction.engine(), kSublayerKey)));
        TELVO_TRY(LiftWfp("FwpmProviderDeleteByKey0", wfp.FwpmProviderDeleteByKey0(transaction.engine(), kProviderKey)));
    }
    return transaction.Commit();
}

}  // namespace telvo::offline_network
