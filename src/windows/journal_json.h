#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/system.h"
#include "winutil/recorded_path.h"

namespace telvo::windows {

// The version every journal is written with.
inline constexpr std::uint32_t kJournalVersion = 5;
// The largest serialised journal that is written or read.
inline constexpr std::size_t kMaxJournalBytes = 4194304;

// What a run records before it changes the host, so that a later run can undo
// it exactly.
struct JournalData {
    std::uint32_t journal_version = kJournalVersion;
    std::string profile_name;
    std::string mutex_name;  // the live marker: "Global\" and the profile name
    std::vector<winutil::RecordedPath> authorities;
    std::vector<winutil::RecordedPath> touched_paths;   // further objects whose DACL changed, below an authority
    std::vector<winutil::RecordedPath> created_paths;   // in creation order, below an authority
    std::vector<winutil::RecordedPath> metadata_paths;  // ancestors outside the authorities that got a grant
    bool broker_required = false;
    bool operator==(const JournalData&) const = default;
};

// Compact JSON with the members in their fixed order. A path that is not
// valid UTF-8 cannot be written.
Result<std::string> EncodeJournal(const JournalData& data);

// Strict JSON (duplicates, trailing data and unknown members refused; unknown
// members inside an identity skipped). metadataPaths and brokerRequired may
// be missing. Any version number is read: ValidateJournal judges it.
Result<JournalData> DecodeJournal(std::string_view text);

// Everything a journal must satisfy before it is written or acted on: a
// valid profile name, a supported version, the matching live-marker name,
// well-formed authorities, mutated paths inside them, and metadata paths that
// are proper ancestors outside every authority and fixed host target (the
// fixed targets are resolved only when there are metadata paths).
Result<void> ValidateJournal(platform::System& system, const JournalData& data);

}  // namespace telvo::windows
