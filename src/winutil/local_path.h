#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace telvo::winutil {

// A normalized absolute local-drive path: X:\ or \\?\X:\ followed by plain
// names only (no "." or "..", no NUL, no ':', none ending in '.' or a space).
bool IsNormalizedLocalPath(std::string_view text);

// The extended form (\\?\X:\..., upper-case drive letter) of a normalized
// local path. A plain path is written with `\` separators only, each name once
// (C:/a//b becomes \\?\C:\a\b); a verbatim path keeps its text.
Result<std::string> ToExtendedPath(std::string_view text);

// Ordinal, case-insensitive comparisons in which `/` equals `\` and trailing
// separators do not count (C:\ compares as C:).
bool PathsEqual(std::string_view a, std::string_view b);
// The path equals the ancestor or lies below it.
bool PathContains(std::string_view ancestor, std::string_view path);

}  // namespace telvo::winutil
