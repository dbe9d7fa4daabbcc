#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::winutil {

// The prefix of a Windows path: a drive (C:), a verbatim drive (\\?\C:), any
// other prefix (UNC, verbatim UNC, other verbatim, device namespace), or none.
enum class PathPrefix { none, drive, verbatim_drive, other };

// A Windows path taken apart the way Windows path parsing does it: the prefix,
// whether a root separator follows it, and the components (empty ones, from
// repeated separators, skipped). In a verbatim path only `\` separates; in any
// other path `/` does too.
struct PathSyntax {
    PathPrefix prefix = PathPrefix::none;
    bool has_root = false;
    std::vector<std::string_view> components;
};

PathSyntax ParsePathSyntax(std::string_view text);

// A drive or verbatim-drive prefix followed by the root separator.
bool IsAbsoluteDrivePath(const PathSyntax& syntax);

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
bool PathsEqual(std::u16string_view a, std::u16string_view b);
bool PathContains(std::u16string_view ancestor, std::u16string_view path);

// The canonical form (\\?\X:\..., through reparse points, in the real case) of
// an absolute local-drive path from the controller. `label` names the request
// field in messages.
Result<std::string> ResolveUserPath(platform::Platform& platform, std::string_view label, std::string_view text);

}  // namespace telvo::winutil
