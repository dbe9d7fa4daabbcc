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

// The Win32 form of an extended drive path: \\?\C:\a becomes C:\a; any other
// text is returned as it is. For texts that Windows parses as ordinary paths
// (environment values, command lines).
std::u16string WithoutVerbatimPrefix(std::u16string_view path);

// Ordinal, case-insensitive comparisons in which `/` equals `\` and trailing
// separators do not count (C:\ compares as C:).
bool PathsEqual(std::string_view a, std::string_view b);
// The path equals the ancestor or lies below it.
bool PathContains(std::string_view ancestor, std::string_view path);
bool PathsEqual(std::u16string_view a, std::u16string_view b);
bool PathContains(std::u16string_view ancestor, std::u16string_view path);

// What the operating system makes of a path: the object it names, opened
// through every reparse point (for no access, sharing everything, with backup
// semantics so that directories open), its final path (\\?\X:\... for a local
// object, in the real case) and whether it is a directory. Failures are the
// calls' own ("CreateFileW failed with Win32 error <n>", ...), for the caller
// to give a context.
struct CanonicalObject {
    std::u16string path;
    bool directory = false;
};
Result<CanonicalObject> Canonicalize(platform::Platform& platform, std::u16string_view path);

// The canonical form (\\?\X:\..., through reparse points, in the real case) of
// an absolute local-drive path from the controller. `label` names the request
// field in messages.
struct ResolvedPath {
    std::string path;
    bool directory = false;
};
Result<ResolvedPath> ResolveUserObject(platform::Platform& platform, std::string_view label, std::string_view text);
Result<std::string> ResolveUserPath(platform::Platform& platform, std::string_view label, std::string_view text);

}  // namespace telvo::winutil
