#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/appcontainer.h"
#include "platform/wfp.h"

namespace telvo::offline_network {

// The record every lease filter carries in its provider data: who holds the
// lease, for which sandbox, in which boot, and the keys of its filters.

inline constexpr std::uint32_t kPolicyVersion = 1;
inline constexpr std::size_t kFilterSlots = 4;
inline constexpr std::size_t kMaxLeaseRecordBytes = 16384;
inline constexpr std::size_t kMinStoredSidLength = 4;
inline constexpr std::size_t kMaxStoredSidLength = 184;

struct LeaseRecord {
    std::uint32_t policy_version = kPolicyVersion;
    std::string profile_name;
    std::string package_sid;  // derived from profile_name, canonical text
    std::string owner_sid;    // the registering client's user, canonical text
    std::uint32_t caller_pid = 0;
    std::uint64_t caller_creation = 0;  // FILETIME as one 64-bit value
    std::string boot_id;
    std::string lease_id;
    std::array<std::string, kFilterSlots> filter_keys;  // in slot order
    bool operator==(const LeaseRecord&) const = default;
};

// Checks the record (version and caller, the package SID against the
// profile name, both SIDs as stored SID strings, the lease id, boot id and
// four distinct filter keys) and writes it compactly in field order, at
// most 16384 bytes.
Result<std::string> EncodeLeaseRecord(platform::AppContainer& appcontainer, const LeaseRecord& record);

// Reads the nine fields from strict JSON (no other field, no other type);
// "unrecognized offline WFP lease record" over the reason. It does not check
// the values: EncodeLeaseRecord does.
Result<LeaseRecord> DecodeLeaseRecord(std::string_view bytes);

// 4..184 characters beginning "S-1-" ("invalid stored SID"), converting
// to a valid SID whose text is the same ("noncanonical stored SID").
Result<void> CheckStoredSid(std::string_view text);

// The boot identity: the BootIdentifier of the system boot environment
// information, as canonical lowercase UUID text.
Result<std::string> ReadBootIdentity(platform::Wfp& wfp);

// A GUID from canonical lowercase UUID text, and back.
Result<platform::Guid> GuidFromText(std::string_view text);
std::string GuidText(const platform::Guid& guid);

}  // namespace telvo::offline_network
