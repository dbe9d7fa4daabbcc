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
// wrote). Objects are counted once each: the further names of a hard-linked
// file are not objects of their own.
inline constexpr std::uint64_t kCleanupWalkObjectLimit = 10 * kWalkObjectLimit;
// NTFS gives a file at most 1024 names, so a tree within the object limit has
// at most this many names; the names bound the walk's time.
inline constexpr std::uint64_t kMaxNamesPerObject = 1024;

// What the walk does on an object without a stable identity: a reparse point
// (junction, symbolic link) or a file with a second hard link.
enum class WalkPolicy {
    // Grant and verification: such an object ends the walk with its refusal
    // ("reparse points are not accepted ...", "hard-linked objects are not
    // accepted ...").
    prove,
    // Cleanup (WalkTreeForCleanup): such an object is visited itself (opened
    // without following it), once whatever the number of its names, and never
    // descended into, and the walk goes on. Removing an entry from an object
    // is safe whatever the object is, and anything created below a grant must
    // not stop its revocation.
    cleanup,
};

// Called with each object's path (UTF-16 as the file system reported its
// names, so that any name can be visited) and its open handle; an error ends
// the walk and is returned unchanged.
using TreeVisitor = std::function<Result<void>(const std::u16string& path, platform::Handle handle)>;

// Depth-first, pre-order walk of the tree at `root` (the root included, in
// enumeration order below it): each object is opened without following
// reparse points, its final path and (by `policy`) its stable identity are
// proved, and then it is visited. Holds one directory handle per level (and
// the listing's own of a directory of more than 4096 names); checks `cancel` before every object; refuses
// the object past the policy's limit (kWalkObjectLimit, or
// kCleanupWalkObjectLimit in cleanup, where the walk is WalkTreeForCleanup's
// and `with_write_dac` asks for WRITE_DAC where it is to be had).
Result<void> WalkTree(platform::Platform& platform, std::u16string_view root, bool with_write_dac,
                      const std::atomic<bool>& cancel, WalkPolicy policy, const TreeVisitor& visitor);
Result<void> WalkTree(platform::Platform& platform, std::string_view root, bool with_write_dac,
                      const std::atomic<bool>& cancel, WalkPolicy policy, const TreeVisitor& visitor);

// The same walk with an explicit object limit, for tests of the bound itself.
Result<void> WalkTreeWithin(platform::Platform& platform, std::u16string_view root, bool with_write_dac,
                            const std::atomic<bool>& cancel, WalkPolicy policy, std::uint64_t object_limit,
                            const TreeVisitor& visitor);

// An object as the cleanup walk hands it over: its handle has READ_CONTROL
// and FILE_READ_ATTRIBUTES, and WRITE_DAC when `write_dac` says so.
struct CleanupObject {
    const std::u16string& path;
    platform::Handle handle;
    bool write_dac = false;
};
using CleanupVisitor = std::function<Result<void>(const CleanupObject& object)>;

// What a cleanup walk could not reach, for its caller to count.
struct CleanupWalkTally {
    std::uint64_t objects = 0;      // visited
    std::uint64_t unopened = 0;     // refused even for reading: not visited
    std::uint64_t unlisted = 0;     // directories visited but not listed: nothing below them visited
    std::uint64_t unnameable = 0;   // names whose path is longer than a Windows path can be
    std::uint64_t extra_names = 0;  // further names of a hard-linked file visited under its first
    bool past_bound = false;        // the walk stopped at its bound
};

// The cleanup walk. It opens with NtOpenFile, which adds no rights to what
// it asks (CreateFileW adds SYNCHRONIZE and FILE_READ_ATTRIBUTES, which an
// owner's implicit rights lack): READ_CONTROL and FILE_READ_ATTRIBUTES, with
// WRITE_DAC when `want_write_dac` and the object allows it. An object that
// refuses even that, a directory that refuses to be listed, and a name
// longer than a path can be are counted in `tally` and passed over, and the
// walk goes on; an object that vanished since it was listed is passed over
// too. Any other failure ends the walk. Past `object_limit` objects (or
// kMaxNamesPerObject times as many names) it sets `past_bound` and fails with
// "sandbox authority exceeds the <n>-object cleanup limit".
Result<void> WalkTreeForCleanup(platform::Platform& platform, std::u16string_view root, bool want_write_dac,
                                std::uint64_t object_limit, const CleanupVisitor& visitor, CleanupWalkTally& tally);

// The names in an open directory, in the order the file system enumerates
// them, without "." and "..". The listing goes through a second handle to the
// same object (ReOpenFile for FILE_LIST_DIRECTORY, which the first handle may
// lack), so it lists exactly the directory the caller holds, and that handle
// is closed before returning. At most `max_names` names are read.
Result<std::vector<std::u16string>> ListDirectory(platform::Platform& platform, platform::Handle directory,
                                                  std::size_t max_names);

}  // namespace telvo::winutil
