#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::winutil {

// Grant and verification accept at most this many objects per authority,
// the root included.
inline constexpr std::uint64_t kWalkObjectLimit = 500000;

// Cleanup walks go further: a grant may have reached every object of a tree
// that has grown since (the run's own private directories, what the command
// wrote), and a cleanup stopped at the validation limit could never finish,
// so its journal would block every later run. Still bounded, so that a
// runaway tree ends in a retained journal that names the bound.
inline constexpr std::uint64_t kCleanupWalkObjectLimit = 10 * kWalkObjectLimit;

// What the walk does on an object without a stable identity: a reparse point
// (junction, symbolic link) or a file with a second hard link.
enum class WalkPolicy {
    // Grant and verification: such an object ends the walk with its refusal
    // ("reparse points are not accepted ...", "hard-linked objects are not
    // accepted ...").
    prove,
    // Cleanup: such an object is visited itself (opened without following
    // it) and never descended into, and the walk goes on. Removing an entry
    // from an object is safe whatever the object is, and anything created
    // below a grant must not stop its revocation.
    cleanup,
};

// Called with each object's path (UTF-16 as the file system reported its
// names, so that any name can be visited) and its open handle; an error ends
// the walk and is returned unchanged.
using TreeVisitor = std::function<Result<void>(const std::u16string& path, platform::Handle handle)>;

// Depth-first, pre-order walk of the tree at `root` (the root included, in
// enumeration order below it): each object is opened without following
// reparse points, its final path and (by `policy`) its stable identity are
// proved, and then it is visited. Holds one directory handle per level;
// checks `cancel` before every object; refuses the object past the policy's
// limit (kWalkObjectLimit, or kCleanupWalkObjectLimit in cleanup).
Result<void> WalkTree(platform::Platform& platform, std::u16string_view root, bool with_write_dac,
                      const std::atomic<bool>& cancel, WalkPolicy policy, const TreeVisitor& visitor);
Result<void> WalkTree(platform::Platform& platform, std::string_view root, bool with_write_dac,
                      const std::atomic<bool>& cancel, WalkPolicy policy, const TreeVisitor& visitor);

// The same walk with an explicit object limit, for tests of the bound itself.
Result<void> WalkTreeWithin(platform::Platform& platform, std::u16string_view root, bool with_write_dac,
                            const std::atomic<bool>& cancel, WalkPolicy policy, std::uint64_t object_limit,
                            const TreeVisitor& visitor);

// The names in an open directory, in the order the file system enumerates
// them, without "." and "..". The listing goes through a second handle to the
// same object (ReOpenFile for FILE_LIST_DIRECTORY, which the first handle may
// lack), so it lists exactly the directory the caller holds, and that handle
// is closed before returning. At most `max_names` names are read.
Result<std::vector<std::u16string>> ListDirectory(platform::Platform& platform, platform::Handle directory,
                                                  std::size_t max_names);

}  // namespace telvo::winutil
