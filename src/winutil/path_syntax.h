#pragma once

#include <string_view>
#include <vector>

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

}  // namespace telvo::winutil
