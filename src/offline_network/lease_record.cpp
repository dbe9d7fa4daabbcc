#include "offline_network/lease_record.h"

#include <algorithm>
#include <set>

#include "common/json.h"
#include "common/try.h"
#include "identity/identifier_text.h"
#include "identity/profile.h"
#include "offline_network/offline_layout.h"
#include "winformat/sid.h"

namespace telvo::offline_network {

namespace {

constexpr std::uint32_t kErrorInvalidSid = 1337;  // ERROR_INVALID_SID
constexpr std::string_view kUnrecognized = "unrecognized offline WFP lease record";

Result<void> CheckFilterKeys(const LeaseRecord& record) {
    std::set<std::string_view> seen;
    for (const std::string& key : record.filter_keys) {
        auto guid = GuidFromText(key);
        if (!guid || *guid == kProviderKey || *guid == kSublayerKey || !seen.insert(key).second) {
            return Fail("invalid or duplicate lease filter key");
        }
    }
    return {};
}

Result<LeaseRecord> ReadRecord(std::string_view bytes) {
    if (bytes.size() > kMaxLeaseRecordBytes) return Fail("offline lease exceeds provider-data limit");
    TELVO_TRY_ASSIGN(const json::Document document, json::Document::Parse(bytes));
    TELVO_TRY_ASSIGN(json::ObjectReader reader, json::ObjectReader::Open(document.root(), "a lease record"));
    LeaseRecord record;
    TELVO_TRY_ASSIGN(record.policy_version, reader.Field("policyVersion", json::ReadU32));
    TELVO_TRY_ASSIGN(record.profile_name, reader.Field("profileName", json::ReadString));
    TELVO_TRY_ASSIGN(record.package_sid, reader.Field("packageSid", json::ReadString));
    TELVO_TRY_ASSIGN(record.owner_sid, reader.Field("ownerSid", json::ReadString));
    TELVO_TRY_ASSIGN(record.caller_pid, reader.Field("callerPid", json::ReadU32));
    TELVO_TRY_ASSIGN(record.caller_creation, reader.Field("callerCreation", json::ReadU64));
    TELVO_TRY_ASSIGN(record.boot_id, reader.Field("bootId", json::ReadString));
    TELVO_TRY_ASSIGN(record.lease_id, reader.Field("leaseId", json::ReadString));
    TELVO_TRY_ASSIGN(const std::vector<std::string> keys, reader.Field("filterKeys", json::ReadStringArray));
    if (keys.size() != kFilterSlots) return Fail("expected exactly four filterKeys");
    std::ranges::copy(keys, record.filter_keys.begin());
    TELVO_TRY(reader.RefuseUnknown());
    return record;
}

}  // namespace

Result<platform::Guid> GuidFromText(std::string_view text) {
    TELVO_TRY(identity::ParseCanonicalUuid(text));
    const auto digit = [&](std::size_t at) {
        const char c = text[at];
        return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    };
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(digit(at) << 4 | digit(at + 1)); };
    // Data1, Data2 and Data3 are little-endian in memory; Data4 is as written.
    platform::Guid guid{};
    constexpr std::array<std::size_t, 16> kTextOffsets{6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
    for (std::size_t i = 0; i < guid.size(); ++i) guid[i] = byte(kTextOffsets[i]);
    return guid;
}

std::string GuidText(const platform::Guid& guid) {
    constexpr std::array<std::size_t, 16> kTextOrder{3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string text;
    for (std::size_t i = 0; i < kTextOrder.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        identity::AppendLowerHex(text, std::span<const std::uint8_t>(&guid[kTextOrder[i]], 1));
    }
    return text;
}

Result<void> CheckStoredSid(std::string_view text) {
    if (text.size() < kMinStoredSidLength || text.size() > kMaxStoredSidLength || !text.starts_with("S-1-")) {
        return Fail("invalid stored SID");
    }
    auto sid = winformat::Sid::Parse(text);
    if (!sid) return Fail(Error::Win32("ConvertStringSidToSidW(offline lease)", kErrorInvalidSid));
    if (sid->ToString() != text) return Fail("noncanonical stored SID");
    return {};
}

Result<std::string> EncodeLeaseRecord(platform::AppContainer& appcontainer, const LeaseRecord& record) {
    if (record.policy_version != kPolicyVersion || record.caller_pid == 0 || record.caller_creation == 0) {
        return Fail("invalid offline lease version/caller identity");
    }
    TELVO_TRY_ASSIGN(const winformat::Sid package, identity::DeriveProfileSid(appcontainer, record.profile_name));
    if (package.ToString() != record.package_sid) return Fail("lease package does not match its Telvo profile");
    TELVO_TRY(CheckStoredSid(record.package_sid));
    TELVO_TRY(CheckStoredSid(record.owner_sid));
    TELVO_TRY(CheckFilterKeys(record));
    TELVO_TRY(identity::ParseCanonicalUuid(record.lease_id));
    TELVO_TRY(identity::ParseCanonicalUuid(record.boot_id));

    json::Json object = json::Json::object();
    object["policyVersion"] = record.policy_version;
    object["profileName"] = record.profile_name;
    object["packageSid"] = record.package_sid;
    object["ownerSid"] = record.owner_sid;
    object["callerPid"] = record.caller_pid;
    object["callerCreation"] = record.caller_creation;
    object["bootId"] = record.boot_id;
    object["leaseId"] = record.lease_id;
    object["filterKeys"] = record.filter_keys;
    TELVO_TRY_ASSIGN(std::string text, json::WriteCompact(object));
    if (text.size() > kMaxLeaseRecordBytes) return Fail("offline lease exceeds provider-data limit");
    return text;
}

Result<LeaseRecord> DecodeLeaseRecord(std::string_view bytes) {
    auto record = ReadRecord(bytes);
    if (!record) return Fail(std::move(record.error()).Context(std::string(kUnrecognized)));
    return record;
}

Result<std::string> ReadBootIdentity(platform::Wfp& wfp) {
    std::array<std::uint8_t, platform::kBootEnvironmentInformationSize> buffer{};
    TELVO_TRY_ASSIGN(const std::uint32_t returned,
                     Lift("NtQuerySystemInformation(SystemBootEnvironmentInformation)",
                          wfp.NtQuerySystemInformation(platform::kSystemBootEnvironmentInformation, buffer)));
    if (returned != buffer.size()) return Fail("unexpected boot environment information size");
    platform::Guid identifier{};
    std::copy_n(buffer.begin(), identifier.size(), identifier.begin());
    std::string text = GuidText(identifier);
    auto valid = identity::ParseCanonicalUuid(text);
    if (!valid) return Fail(std::move(valid.error()).Context("invalid boot identity"));
    return text;
}

}  // namespace telvo::offline_network
