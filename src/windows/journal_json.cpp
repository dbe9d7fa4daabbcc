#include "windows/journal_json.h"

#include "common/json.h"
#include "common/try.h"

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

template <class T>
Result<T> Field(json::ObjectReader& reader, std::string_view key,
                Result<T> (*read)(const json::Node&, std::string_view)) {
    TELVO_TRY_ASSIGN(auto node, reader.Take(key));
    return read(node, key);
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
    TELVO_TRY_ASSIGN(data.journal_version, Field(reader, "journalVersion", &json::ReadU32));
    TELVO_TRY_ASSIGN(data.profile_name, Field(reader, "profileName", &json::ReadString));
    TELVO_TRY_ASSIGN(data.mutex_name, Field(reader, "mutexName", &json::ReadString));
    TELVO_TRY_ASSIGN(data.authorities, Field(reader, "authorities", &ReadPaths));
    TELVO_TRY_ASSIGN(data.touched_paths, Field(reader, "touchedPaths", &ReadPaths));
    TELVO_TRY_ASSIGN(data.created_paths, Field(reader, "createdPaths", &ReadPaths));
    if (auto node = reader.TakeIfPresent("metadataPaths")) {
        TELVO_TRY_ASSIGN(data.metadata_paths, ReadPaths(*node, "metadataPaths"));
    }
    if (auto node = reader.TakeIfPresent("brokerRequired")) {
        TELVO_TRY_ASSIGN(data.broker_required, json::ReadBool(*node, "brokerRequired"));
    }
    TELVO_TRY(reader.RefuseUnknown());
    return data;
}

}  // namespace telvo::windows
