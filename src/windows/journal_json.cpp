#include "windows/journal_json.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/try.h"
#include "host_prepare/fixed_host_targets.h"
#include "identity/profile.h"
#include "winutil/local_path.h"
#include "winutil/local_path.h"

namespace telvo::windows {

namespace {

using json::Json;
using winutil::RecordedPath;

Json PathsJson(const std::vector<RecordedPath>& paths) {
    Json array = Json::array();
    for (const RecordedPath& recorded : paths) {
        Json identity = Json::object();
        identity["volumeSerial"] = recorded.identity.volume_serial;
        identity["fileIndex"] = recorded.identity.file_index;
        Json entry = Json::object();
        entry["path"] = recorded.path;
        entry["identity"] = std::move(identity);
        array.push_back(std::move(entry));
    }
    return array;
}

Result<RecordedPath> ReadRecordedPath(const json::Node& node) {
    TELVO_TRY_ASSIGN(auto reader, json::ObjectReader::Open(node, "struct RecordedPath"));
    RecordedPath recorded;
    TELVO_TRY_ASSIGN(auto path, reader.Take("path"));
    TELVO_TRY_ASSIGN(recorded.path, json::ReadString(path, "path"));
    TELVO_TRY_ASSIGN(auto identity_node, reader.Take("identity"));
    TELVO_TRY(reader.RefuseUnknown());

    // Members of an identity beyond these two are skipped.
    TELVO_TRY_ASSIGN(auto identity, json::ObjectReader::Open(identity_node, "struct FileIdentity"));
    TELVO_TRY_ASSIGN(auto serial, identity.Take("volumeSerial"));
    TELVO_TRY_ASSIGN(recorded.identity.volume_serial, json::ReadU32(serial, "volumeSerial"));
    TELVO_TRY_ASSIGN(auto index, identity.Take("fileIndex"));
    TELVO_TRY_ASSIGN(recorded.identity.file_index, json::ReadU64(index, "fileIndex"));
    return recorded;
}

Result<std::vector<RecordedPath>> ReadPaths(const json::Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(auto elements, json::ReadArray(node, key));
    std::vector<RecordedPath> paths;
    paths.reserve(elements.size());
    for (const json::Node& element : elements) {
        TELVO_TRY_ASSIGN(auto recorded, ReadRecordedPath(element));
        paths.push_back(std::move(recorded));
    }
    return paths;
}

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

Result<std::string> EncodeJournal(const JournalData& data) {
    Json object = Json::object();
    object["journalVersion"] = data.journal_version;
    object["profileName"] = data.profile_name;
    object["mutexName"] = data.mutex_name;
    object["authorities"] = PathsJson(data.authorities);
    object["touchedPaths"] = PathsJson(data.touched_paths);
    object["createdPaths"] = PathsJson(data.created_paths);
    object["metadataPaths"] = PathsJson(data.metadata_paths);
    object["brokerRequired"] = data.broker_required;
    return json::WriteCompact(object);
}

Result<JournalData> DecodeJournal(std::string_view text) {
    TELVO_TRY_ASSIGN(auto document, json::Document::Parse(text));
    TELVO_TRY_ASSIGN(auto reader, json::ObjectReader::Open(document.root(), "struct JournalData"));
    JournalData data;
    TELVO_TRY_ASSIGN(data.journal_version, reader.Field("journalVersion", &json::ReadU32));
    TELVO_TRY_ASSIGN(data.profile_name, reader.Field("profileName", &json::ReadString));
    TELVO_TRY_ASSIGN(data.mutex_name, reader.Field("mutexName", &json::ReadString));
    TELVO_TRY_ASSIGN(data.authorities, reader.Field("authorities", &ReadPaths));
    TELVO_TRY_ASSIGN(data.touched_paths, reader.Field("touchedPaths", &ReadPaths));
    TELVO_TRY_ASSIGN(data.created_paths, reader.Field("createdPaths", &ReadPaths));
    if (auto node = reader.TakeIfPresent("metadataPaths")) {
        TELVO_TRY_ASSIGN(data.metadata_paths, ReadPaths(*node, "metadataPaths"));
    }
    if (auto node = reader.TakeIfPresent("brokerRequired")) {
        TELVO_TRY_ASSIGN(data.broker_required, json::ReadBool(*node, "brokerRequired"));
    }
    TELVO_TRY(reader.RefuseUnknown());
    return data;
}

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
