#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace telvo::platform::sim {

// A path as the simulated Win32 layer hands it to the file system: the volume
// root ("C:" or "UNC\server\share") and the names below it.
struct SimPath {
    std::u16string root;
    std::vector<std::u16string> names;
};

// Win32 path parsing as the sim models it:
// - \\?\X:\... and \\?\UNC\server\share\... are verbatim: split at `\` only,
//   nothing is normalised, and an empty, "." or ".." name is ERROR_INVALID_NAME
//   (assumed: NTFS refuses such names).
// - X:\... and \\server\share\... are normalised first as GetFullPathNameW does:
//   `/` is a separator, repeated separators collapse, "." is dropped, ".." removes
//   the name before it (never the root), and trailing dots and spaces are
//   stripped from the last name.
// - The text ends at its first NUL, as the C string Windows receives would.
// - Relative, drive-relative (C:foo), rooted (\foo) and device (\\.\) forms are
//   not modelled (the sim has no current directory and no devices):
//   ERROR_PATH_NOT_FOUND.
SysResult<SimPath> ParseSimPath(std::u16string_view text);

// The extended text of a root and names: \\?\C:\a\b, \\?\UNC\server\share\a.
std::u16string ExtendedText(const std::u16string& root, const std::vector<std::u16string>& names);

}  // namespace telvo::platform::sim
