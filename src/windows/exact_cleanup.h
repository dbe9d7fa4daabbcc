#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/journal_json.h"
#include "winutil/recorded_path.h"

namespace telvo::windows {

// What a run changed on the host, as its recovery journal records it: the
// part of the journal that the exact cleanup undoes (the touched paths lie
// inside the authorities, which are walked whole). Paths are in extended form,
// as they were recorded.
struct CleanupPlan {
    std::string profile_name;
    std::vector<winutil::RecordedPath> authorities;
    std::vector<winutil::RecordedPath> metadata_paths;  // metadata ancestors outside the authorities
    std::vector<winutil::RecordedPath> created_paths;   // in creation order
};

// Undoes a run: proves every recorded object is still the one recorded
// (nothing is changed otherwise), removes every entry for the profile's SID
// from every object of each authority and from each metadata ancestor, proves
// them gone, deletes the profile, and removes the directories the run created.
// The walks of the authorities go on past what the sandbox may have made
// below a grant (junctions, symbolic links, second hard links, names that
// are not valid UTF-16): such an object loses its entries itself and is
// never descended into. It does not stop at a failure after the identity
// proof: every failure is collected and returned as one error, the failures
// joined by "; ". The profile is deleted only when every entry is proved gone.
Result<void> ExactCleanup(platform::Platform& platform, const CleanupPlan& plan);

// The exact cleanup of what a journal names (the cleanup FinishJournal runs).
Result<void> ExactCleanup(platform::Platform& platform, const JournalData& journal);

}  // namespace telvo::windows
