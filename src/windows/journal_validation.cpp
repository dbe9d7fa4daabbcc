#include "windows/journal_validation.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/try.h"
#include "host_prepare/fixed_host_targets.h"
#include "identity/profile_name.h"
#include "winutil/local_path.h"

namespace telvo::windows {

namespace {

using winutil::RecordedPath;

bool WellFormed(const RecordedPath& recorded) {
    return winutil::IsNormalizedLocalPath(recorded.path) && recorded.identity.file_index != 0;
}

// Paths are compared in one form: plain and verbatim spellings of a path name
// the same object.
std::string Extended(std::string_view well_formed_path) { return winutil::ToExtendedPath(well_formed_path).value(); }

Result<void> CheckVersion(const JournalData& data) {
    const std::uint32_t version = data.journal_version;
    if (version == 2 && data.mutex_name == "Local\\" + data.profile_name) {
        return Fail(
            "legacy session-local recovery journal retained: another Windows session may still own this run; "
            "automatic recovery cannot establish its liveness");
    }
    const bool known = version >= 3 && version <= kJournalVersion;
    const bool metadata_allowed = version != 3 || data.metadata_paths.empty();
    const bool broker_allowed = version == 5 || !data.broker_required;
    if (!known || !metadata_allowed || !broker_allowed) return Fail("unsupported recovery journal version");
    return {};
}

bool InsideAny(const std::vector<std::string>& ancestors, const std::string& path) {
    return std::any_of(ancestors.begin(), ancestors.end(),
                       [&](const std::string& ancestor) { return winutil::PathContains(ancestor, path); });
}

Result<void> CheckMetadataPaths(platform::System& system, const JournalData& data,
                                const std::vector<std::string>& authorities) {
    TELVO_TRY_ASSIGN(auto targets, host_prepare::ResolveFixedHostTargets(system));
    std::vector<std::string> fixed;
    for (const auto& target : targets) fixed.push_back(Extended(target.path));
    for (const RecordedPath& recorded : data.metadata_paths) {
        if (!WellFormed(recorded)) return Fail("recovery journal contains an invalid metadata ancestor");
        const std::string path = Extended(recorded.path);
        const bool below_root = !winutil::ParsePathSyntax(path).components.empty();
        const bool is_fixed = std::any_of(fixed.begin(), fixed.end(),
                                          [&](const std::string& target) { return winutil::PathsEqual(target, path); });
        const bool holds_an_authority = std::any_of(authorities.begin(), authorities.end(),
                                                    [&](const std::string& a) { return winutil::PathContains(path, a); });
        if (!below_root || is_fixed || InsideAny(authorities, path) || !holds_an_authority) {
            return Fail("metadata journal path must be a proper ancestor outside all authorities and fixed host targets: " +
                        recorded.path);
        }
    }
    return {};
}

}  // namespace

Result<void> ValidateJournal(platform::System& system, const JournalData& data) {
    TELVO_TRY(identity::ValidateProfileName(data.profile_name));
    TELVO_TRY(CheckVersion(data));
    if (data.mutex_name != "Global\\" + data.profile_name) return Fail("recovery journal mutex does not match its profile");

    if (data.authorities.empty()) return Fail("recovery journal contains no authorities");
    std::vector<std::string> authorities;
    for (const RecordedPath& authority : data.authorities) {
        if (!WellFormed(authority)) return Fail("recovery journal contains an invalid authority");
        authorities.push_back(Extended(authority.path));
    }
    for (const auto* mutated : {&data.touched_paths, &data.created_paths}) {
        for (const RecordedPath& recorded : *mutated) {
            if (!WellFormed(recorded)) return Fail("recovery journal contains an invalid mutated path");
            if (!InsideAny(authorities, Extended(recorded.path))) {
                return Fail("recovery journal path is outside every recorded authority: " + recorded.path);
            }
        }
    }
    if (!data.metadata_paths.empty()) TELVO_TRY(CheckMetadataPaths(system, data, authorities));
    return {};
}

}  // namespace telvo::windows
