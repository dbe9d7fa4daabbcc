#include "platform/sim/sim_appcontainer.h"

#include "common/try.h"
#include "platform/sim/sim_host.h"
#include "platform/sim/sim_sid_derivation.h"
#include "winformat/mandatory_label.h"
#include "winformat/text.h"

namespace telvo::platform::sim {

namespace {

constexpr std::size_t kMaxNameLength = 64;
constexpr std::size_t kMaxDisplayNameLength = 512;
constexpr std::size_t kMaxDescriptionLength = 2048;

std::unexpected<SysError> HResultFailure(std::uint32_t code) {
    return std::unexpected(SysError::HResult(code));
}

// Up to 64 characters, each an ASCII letter or digit, '.', '_', '-' or ' '.
// Assumed: the derivation and deletion calls apply the same rule as creation.
bool IsValidProfileName(const std::u16string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (const char16_t c : name) {
        const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        const bool digit = c >= u'0' && c <= u'9';
        if (!letter && !digit && c != u'.' && c != u'_' && c != u'-' && c != u' ') return false;
    }
    return true;
}

// Valid names are ASCII, so ASCII lower-casing is exact.
std::u16string ProfileKey(const std::u16string& name) {
    std::u16string key = name;
    for (char16_t& c : key) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    }
    return key;
}

std::u16string SidText(const winformat::Sid& sid) { return winformat::AsciiToUtf16(sid.ToString()); }

// S-1-15-2-<7 RIDs>, the form DeriveAppContainerSidFromAppContainerName returns.
bool IsAppContainerSid(const winformat::Sid& sid) {
    return sid.authority() == winformat::sid_authority::kAppPackage && sid.sub_authority_count() == 8 &&
           sid.sub_authority(0) == 2;
}

}  // namespace

SysResult<ReturnedSid> SimAppContainer::CreateAppContainerProfile(
    const std::u16string& name, const std::u16string& display_name, const std::u16string& description,
    std::span<const SidAndAttributes> capabilities) {
    TELVO_SIM_ENTER(host_, "CreateAppContainerProfile");
    if (!IsValidProfileName(name) || display_name.size() > kMaxDisplayNameLength ||
        description.size() > kMaxDescriptionLength) {
        return HResultFailure(hresult::kInvalidArg);
    }
    std::vector<SimCapability> granted;
    for (const auto& capability : capabilities) {
        if (capability.sid == nullptr) return HResultFailure(hresult::kInvalidArg);
        granted.push_back({*capability.sid, capability.attributes});
    }
    const std::u16string key = ProfileKey(name);
    if (profiles_.contains(key)) return HResultFailure(hresult::kAlreadyExists);
    winformat::Sid sid = AppContainerSidFromName(name);
    profiles_.emplace(key, SimProfile{name, display_name, description, sid, std::move(granted)});
    host_.changes().Note([&] { return SimChange{SimChange::Kind::profile_created, name, SidText(sid)}; });
    MakeProfileFolder(name, sid);
    return Returned(sid);
}

// Assumed from the documentation: the profile's folder under the user's
// LocalAppData is made with the profile and removed, whole, with it. (A
// host without that LocalAppData gets no folder.) Its AC folder is the
// container's own storage: it grants the package everything, for itself and
// what is made below it, and carries a low label, as windows-notes 1.5 and
// 4.4 describe the container's folders; so the container may write its
// TEMP (AC\Temp) as on Windows.
void SimAppContainer::MakeProfileFolder(const std::u16string& name, const winformat::Sid& package) {
    const std::u16string packages = host_.system().LocalAppData() + u"\\Packages";
    if (!host_.files().Lookup(host_.system().LocalAppData())) return;
    if (!host_.files().Lookup(packages)) (void)host_.files().MakeDirectory(packages);
    (void)host_.files().MakeDirectory(packages + u"\\" + name);
    const std::u16string storage = packages + u"\\" + name + u"\\AC";
    if (!host_.files().MakeDirectory(storage)) return;
    auto made = host_.files().SecurityDescriptorOf(storage);
    if (!made) return;
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(*made);
    if (!descriptor || descriptor->dacl.acl() == nullptr) return;
    constexpr std::uint8_t kBoth = winformat::ace_flag::kObjectInherit | winformat::ace_flag::kContainerInherit;
    std::vector<winformat::Ace> aces{winformat::Ace::Allowed(file_access::kFileAllAccess, package, kBoth)};
    for (const winformat::Ace& ace : descriptor->dacl.acl()->aces()) aces.push_back(ace);
    auto dacl = winformat::Acl::Fitted(winformat::acl_revision::kRevision, std::move(aces));
    auto sacl = winformat::Acl::Fitted(winformat::acl_revision::kRevision,
                                       {winformat::MandatoryLabelAce(winformat::integrity_rid::kLow,
                                                                     winformat::mandatory_policy::kNoWriteUp, kBoth)});
    if (!dacl || !sacl) return;
    descriptor->dacl = winformat::AclSlot(std::move(*dacl));
    descriptor->sacl = winformat::AclSlot(std::move(*sacl));
    (void)host_.files().SetSecurityDescriptor(storage, descriptor->ToSelfRelative());
}

// The folder's objects, deepest first; a removal that fails (an object in
// use) fails the deletion part-way, as Windows may, and calling again is the remedy.
SysResult<void> SimAppContainer::RemoveProfileFolder(const std::u16string& name) {
    const std::u16string folder = host_.system().LocalAppData() + u"\\Packages\\" + name;
    if (!host_.files().Lookup(folder)) return {};
    TELVO_TRY_ASSIGN(const auto paths, host_.files().ObjectPaths(folder));
    for (auto path = paths.rbegin(); path != paths.rend(); ++path) {
        if (auto removed = host_.files().Remove(*path); !removed) {
            return HResultFailure(hresult::FromWin32(removed.error().code));
        }
    }
    return {};
}

void SimAppContainer::PlantProfile(std::u16string name, std::u16string display_name, std::u16string description,
                                   std::vector<SimCapability> capabilities) {
    winformat::Sid sid = AppContainerSidFromName(name);
    const std::u16string key = ProfileKey(name);
    host_.changes().Note([&] { return SimChange{SimChange::Kind::profile_created, name, SidText(sid)}; });
    profiles_.insert_or_assign(key, SimProfile{std::move(name), std::move(display_name), std::move(description),
                                               std::move(sid), std::move(capabilities)});
}

SysResult<ReturnedSid> SimAppContainer::DeriveAppContainerSidFromAppContainerName(const std::u16string& name) {
    TELVO_SIM_ENTER(host_, "DeriveAppContainerSidFromAppContainerName");
    if (!IsValidProfileName(name)) return HResultFailure(hresult::kInvalidArg);
    return Returned(AppContainerSidFromName(name));
}

ReturnedSid SimAppContainer::Returned(const winformat::Sid& sid) const {
    if (returned_sid_) return *returned_sid_;
    return ReturnedSid{hresult::kOk, std::vector<std::uint8_t>(sid.bytes().begin(), sid.bytes().end())};
}

SysResult<void> SimAppContainer::DeleteAppContainerProfile(const std::u16string& name) {
    TELVO_SIM_ENTER(host_, "DeleteAppContainerProfile");
    if (!IsValidProfileName(name)) return HResultFailure(hresult::kInvalidArg);
    const auto profile = profiles_.find(ProfileKey(name));
    if (profile == profiles_.end()) {
        if (missing_profile_delete_result_ != hresult::kOk) return HResultFailure(missing_profile_delete_result_);
        return {};
    }
    TELVO_TRY(RemoveProfileFolder(profile->second.name));
    host_.changes().Note([&] {
        return SimChange{SimChange::Kind::profile_deleted, profile->second.name, SidText(profile->second.sid)};
    });
    profiles_.erase(profile);
    return {};
}

SysResult<ReturnedPath> SimAppContainer::GetAppContainerFolderPath(const std::u16string& sid_string) {
    TELVO_SIM_ENTER(host_, "GetAppContainerFolderPath");
    if (returned_path_) return *returned_path_;
    const auto text = winformat::Utf16ToUtf8(sid_string);
    if (!text) return HResultFailure(hresult::kInvalidArg);
    const auto sid = winformat::Sid::Parse(*text);
    if (!sid || !IsAppContainerSid(*sid)) return HResultFailure(hresult::kInvalidArg);
    for (const auto& [key, profile] : profiles_) {
        // Assumed: the folder carries the name as it was given when created.
        if (profile.sid == *sid) {
            return ReturnedPath{hresult::kOk, host_.system().LocalAppData() + u"\\Packages\\" + profile.name + u"\\AC"};
        }
    }
    // Assumed (unconfirmed): a SID with no profile is reported as not found.
    return HResultFailure(hresult::kFileNotFound);
}

SysResult<DerivedCapabilitySids> SimAppContainer::DeriveCapabilitySidsFromName(const std::u16string& name) {
    TELVO_SIM_ENTER(host_, "DeriveCapabilitySidsFromName");
    if (const auto it = capability_overrides_.find(name); it != capability_overrides_.end()) return it->second;
    return CapabilitySidsFromName(name);
}

SysResult<std::u16string> SimAppContainer::ConvertSidToStringSidW(const winformat::Sid& sid) {
    TELVO_SIM_ENTER(host_, "ConvertSidToStringSidW");
    return winformat::AsciiToUtf16(sid.ToString());
}

std::vector<SimProfile> SimAppContainer::Profiles() const {
    std::vector<SimProfile> profiles;
    for (const auto& [key, profile] : profiles_) profiles.push_back(profile);
    return profiles;
}

const SimProfile* SimAppContainer::FindProfile(const std::u16string& name) const {
    const auto it = profiles_.find(ProfileKey(name));
    return it == profiles_.end() ? nullptr : &it->second;
}

}  // namespace telvo::platform::sim
