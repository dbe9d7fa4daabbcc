#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::host_prepare {

// The service executable's files: the directory "TelvoOfflineNetwork" under
// Program Files and "telvo-windows-sandbox.exe" in it, both owned by
// Administrators (the default owner of what an elevated Administrator
// creates) with a protected DACL: LocalSystem and Administrators full
// control, Users read and execute. The executable is a copy of the running
// one, read and written whole (at most kMaxServiceImageBytes).

inline constexpr std::size_t kMaxServiceImageBytes = 128u << 20;

// The bytes of the executable this process runs, from the path the system
// reports for it.
Result<std::vector<std::byte>> ReadOwnImage(platform::Platform& platform);

// The installed executable's bytes; nothing when it or its directory does
// not exist. Opened without following a reparse point, and refused when it
// is linked or not a regular file.
Result<std::optional<std::vector<std::byte>>> ReadInstalledImage(platform::Platform& platform,
                                                                 const std::u16string& image_path);

// Puts `image` at `image_path`: the directory is created with its
// descriptor, or kept when it exists as the installed configuration needs it
// (anything else there is a foreign installation, and nothing is written);
// the bytes go to a temporary name in it, which then replaces the
// executable. Proved by reading the executable back.
Result<void> InstallServiceImage(platform::Platform& platform, const std::u16string& image_path,
                                 std::span<const std::byte> image);

// Deletes the executable, a temporary left by a failed copy and the
// directory; whether anything was there. A directory that is not the
// protected one is refused before anything is deleted.
Result<bool> RemoveServiceImage(platform::Platform& platform, const std::u16string& image_path);

// Whether the directory that should hold the executable is absent, or
// present as the installed configuration needs it.
Result<void> CheckServiceDirectory(platform::Platform& platform, const std::u16string& image_path);

}  // namespace telvo::host_prepare
