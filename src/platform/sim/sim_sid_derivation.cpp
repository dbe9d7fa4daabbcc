#include "platform/sim/sim_sid_derivation.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "winformat/sha256.h"

namespace telvo::platform::sim {

namespace {

constexpr std::uint32_t kAppPackageBaseRid = 2;     // SECURITY_APP_PACKAGE_BASE_RID
constexpr std::uint32_t kCapabilityBaseRid = 3;     // SECURITY_CAPABILITY_BASE_RID
constexpr std::uint32_t kCapabilityAppRid = 1024;   // SECURITY_CAPABILITY_APP_RID
constexpr std::uint32_t kBuiltinDomainRid = 32;     // SECURITY_BUILTIN_DOMAIN_RID

struct LegacyCapability {
    std::u16string_view name;
    std::uint32_t rid;
};

// Names that Windows maps to the short S-1-15-3-<rid> form instead of the hash.
constexpr std::array<LegacyCapability, 13> kLegacyCapabilities{{
    {u"internetClient", 1},
    {u"internetClientServer", 2},
    {u"privateNetworkClientServer", 3},
    {u"picturesLibrary", 4},
    {u"videosLibrary", 5},
    {u"musicLibrary", 6},
    {u"documentsLibrary", 7},
    {u"enterpriseAuthentication", 8},
    {u"sharedUserCertificates", 9},
    {u"removableStorage", 10},
    {u"appointments", 11},
    {u"contacts", 12},
    {u"internetExplorer", 4096},
}};

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }
char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Windows upper-cases the whole of Unicode (RtlUpcaseUnicodeString); only
// ASCII is mapped here, which is exact for the names the system uses.
bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    }
    return true;
}

winformat::Sha256Digest HashUtf16Le(std::u16string_view name, char16_t (*fold)(char16_t)) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(2 * name.size());
    for (const char16_t c : name) {
        const char16_t folded = fold(c);
        bytes.push_back(static_cast<std::uint8_t>(folded & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(folded >> 8));
    }
    return winformat::Sha256(bytes);
}

std::uint32_t LittleEndianRid(const winformat::Sha256Digest& digest, std::size_t index) {
    std::uint32_t rid = 0;
    for (std::size_t i = 0; i < 4; ++i) rid |= std::uint32_t{digest[4 * index + i]} << (8 * i);
    return rid;
}

}  // namespace

winformat::Sid AppContainerSidFromName(std::u16string_view name) {
    const auto digest = HashUtf16Le(name, AsciiLower);
    std::array<std::uint32_t, 8> rids{kAppPackageBaseRid};
    for (std::size_t i = 0; i < 7; ++i) rids[1 + i] = LittleEndianRid(digest, i);
    return winformat::Sid::Make(winformat::sid_authority::kAppPackage, rids);
}

DerivedCapabilitySids CapabilitySidsFromName(std::u16string_view name) {
    const auto digest = HashUtf16Le(name, AsciiUpper);
    std::array<std::uint32_t, 9> group_rids{kBuiltinDomainRid};
    std::array<std::uint32_t, 10> capability_rids{kCapabilityBaseRid, kCapabilityAppRid};
    for (std::size_t i = 0; i < 8; ++i) {
        group_rids[1 + i] = LittleEndianRid(digest, i);
        capability_rids[2 + i] = LittleEndianRid(digest, i);
    }
    DerivedCapabilitySids sids;
    // Assumed: legacy names still get the hashed group SID; only the
    // capability SID takes the short form.
    sids.group_sids.emplace_back(winformat::Sid::Make(winformat::sid_authority::kNt, group_rids));
    for (const auto& legacy : kLegacyCapabilities) {
        // Assumed: legacy names match without regard to case, like the hash.
        if (EqualIgnoringCase(name, legacy.name)) {
            sids.capability_sids.emplace_back(
                winformat::Sid::Make(winformat::sid_authority::kAppPackage, {kCapabilityBaseRid, legacy.rid}));
            return sids;
        }
    }
    sids.capability_sids.emplace_back(winformat::Sid::Make(winformat::sid_authority::kAppPackage, capability_rids));
    return sids;
}

}  // namespace telvo::platform::sim
