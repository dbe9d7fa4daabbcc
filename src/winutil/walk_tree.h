#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::winutil {

inline constexpr std::uint64_t kWalkObjectLimit = 500000;

// Called with each object's path and its open handle; an error ends the walk
// and is returned unchanged.
using TreeVisitor = std::function<Result<void>(const std::string& path, platform::Handle handle)>;

// Depth-first, pre-order walk of the tree at `root` (the root included): each
// object is opened without following reparse points, its final path and stable
// identity are proved, and then it is visited. Reparse points and hard-linked
// files are refused, never followed. Holds one directory handle per level;
// checks `cancel` before every object; refuses the 500001st object.
Result<void> WalkTree(platform::Platform& platform, std::string_view root, bool with_write_dac,
                      const std::atomic<bool>& cancel, const TreeVisitor& visitor);

}  // namespace telvo::winutil
