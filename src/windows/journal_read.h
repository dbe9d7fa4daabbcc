#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/journal_data.h"

namespace telvo::windows {

// Reads a journal file for recovery: a plain file (no link, no directory) of
// at most 4 MiB, decoded strictly and validated. The caller checks that the
// file's name matches the profile it names.
Result<JournalData> ReadJournalFile(platform::Platform& platform, std::string_view path);

}  // namespace telvo::windows
