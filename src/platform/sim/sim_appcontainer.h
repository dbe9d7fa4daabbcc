#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/appcontainer.h"

namespace telvo::platform::sim {

class SimHost;

struct SimCapability {
    winformat::Sid sid;
    std::uint32_t attributes = 0;
};

struct SimProfile {
    std::u16string name;  // as given when created
    std::u16string display_name;
    std::u16string description;
    winformat::Sid sid;
    std::vector<SimCapability> capabilities;
};

// AppContainer profiles of the current user, and the SIDs Windows derives
// from names. Profile names are compared without regard to case (the SID is
// derived from the lower-cased name, so two such names are one profile).
// The profile folders are not planted in the simulated file tree.
class SimAppContainer final : public AppContainer {
public:
    explicit SimAppContainer(SimHost& host) : host_(host) {}

    SysResult<ReturnedSid> CreateAppContainerProfile(const std::u16string& name, const std::u16string& display_name,
                                                     const std::u16string& description,
                                                     std::span<const SidAndAttributes> capabilities) override;
    SysResult<ReturnedSid> DeriveAppContainerSidFromAppContainerName(const std::u16string& name) override;
    SysResult<void> DeleteAppContainerProfile(const std::u16string& name) override;
    SysResult<ReturnedPath> GetAppContainerFolderPath(const std::u16string& sid_string) override;
    SysResult<DerivedCapabilitySids> DeriveCapabilitySidsFromName(const std::u16string& name) override;
    SysResult<std::u16string> ConvertSidToStringSidW(const winformat::Sid& sid) override;

    // Test side.
    std::vector<SimProfile> Profiles() const;
    const SimProfile* FindProfile(const std::u16string& name) const;
    // A profile that exists already, as another run left it; its SID is
    // derived from its name.
    void PlantProfile(std::u16string name, std::u16string display_name, std::u16string description,
                      std::vector<SimCapability> capabilities);
    // What DeleteAppContainerProfile returns for a name that has no profile.
    // Documented: S_OK. Some builds are said to return 0x80070002 or
    // 0x80070490 instead; unconfirmed, so a test can switch to those here.
    void SetMissingProfileDeleteResult(std::uint32_t hresult) { missing_profile_delete_result_ = hresult; }
    // Makes DeriveCapabilitySidsFromName return `sids` for `name` (exactly
    // as given): results Windows may hand back that derivation never gives,
    // such as empty lists or null entries.
    void SetCapabilitySids(std::u16string name, DerivedCapabilitySids sids) {
        capability_overrides_.insert_or_assign(std::move(name), std::move(sids));
    }

    // Makes CreateAppContainerProfile and DeriveAppContainerSidFromAppContainerName
    // succeed with `answer` instead of the derived SID (a profile is still
    // created), and GetAppContainerFolderPath with `path` instead of the
    // folder: answers Windows may give (no SID, bytes that are no SID, no
    // path, another success code) that the model itself never gives.
    void SetReturnedSid(std::optional<ReturnedSid> answer) { returned_sid_ = std::move(answer); }
    void SetReturnedPath(std::optional<ReturnedPath> path) { returned_path_ = std::move(path); }

private:
    void MakeProfileFolder(const std::u16string& name, const winformat::Sid& package);
    SysResult<void> RemoveProfileFolder(const std::u16string& name);
    ReturnedSid Returned(const winformat::Sid& sid) const;

    SimHost& host_;
    std::map<std::u16string, SimProfile> profiles_;  // by lower-cased name
    std::uint32_t missing_profile_delete_result_ = hresult::kOk;
    std::map<std::u16string, DerivedCapabilitySids> capability_overrides_;
    std::optional<ReturnedSid> returned_sid_;
    std::optional<ReturnedPath> returned_path_;
};

}  // namespace telvo::platform::sim
