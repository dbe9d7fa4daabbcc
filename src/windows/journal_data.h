#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// A journal and the file it lives in: "<profileName>.json" in the recovery directory.
struct JournalRecord {
    std::string path;
    JournalData data;
};

}  // namespace telvo::windows
