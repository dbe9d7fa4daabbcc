#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "windows/journal_data.h"

namespace telvo::windows {

// Compact JSON with the members in their fixed order. A path that is not
// valid UTF-8 cannot be written.
Result<std::string> EncodeJournal(const JournalData& data);

// Strict JSON (duplicates, trailing data and unknown members refused; unknown
// members inside an identity skipped). metadataPaths and brokerRequired may
// be missing. Any version number is read: ValidateJournal judges it.
Result<JournalData> DecodeJournal(std::string_view text);

}  // namespace telvo::windows
