#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/journal_data.h"

namespace telvo::windows {

// The first journal of a run: "<profileName>.json" in `recovery_directory`
// (created with its parents), recording the authorities with their current
// identities and nothing else yet. Refuses a journal that already exists.
// Authority paths are in extended form, as final paths are.
Result<JournalRecord> CreateJournal(platform::Platform& platform, std::string_view recovery_directory,
                                    std::string_view profile_name, std::string_view mutex_name,
                                    const std::vector<std::string>& authority_paths);

}  // namespace telvo::windows
