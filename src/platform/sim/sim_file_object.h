#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/sim/sim_file_tree.h"
#include "platform/sim/sim_object.h"

namespace telvo::platform::sim {

// One open of a file or directory: what a file handle refers to. Until it is
// destroyed it takes part in sharing checks and holds its byte-range locks.
class SimFileObject final : public SimObject {
public:
    // Registers the open with the node; the tree's mutex must be held.
    SimFileObject(std::shared_ptr<SimFileTree> tree, std::shared_ptr<SimLink> link, std::uint32_t access,
                  std::uint32_t share);
    ~SimFileObject() override;
    SimFileObject(const SimFileObject&) = delete;
    SimFileObject& operator=(const SimFileObject&) = delete;

    SimFileTree& tree() const { return *tree_; }
    const std::shared_ptr<SimLink>& link() const { return link_; }
    const std::shared_ptr<SimNode>& node() const { return node_; }
    std::uint32_t access() const { return access_; }  // generic rights mapped
    std::uint32_t share() const { return share_; }

    // Directory enumeration position: the dot entries sent, then the last name's key.
    struct Enumeration {
        int dots_sent = 0;
        std::optional<std::u16string> last_key;
        bool any_returned = false;
    };
    Enumeration enumeration;

    // ReadFile at the file position, which it advances; the tree's mutex must not be held.
    SysResult<std::uint32_t> Read(std::byte* out, std::size_t capacity);
    // WriteFile at the file position (at the end for an open with
    // FILE_APPEND_DATA but not FILE_WRITE_DATA), which it advances; the
    // tree's mutex must not be held.
    SysResult<std::uint32_t> Write(const std::byte* bytes, std::size_t count);

private:
    std::shared_ptr<SimFileTree> tree_;
    std::shared_ptr<SimLink> link_;
    std::shared_ptr<SimNode> node_;
    std::uint32_t access_;
    std::uint32_t share_;
    std::uint64_t position_ = 0;
};

// GENERIC_* and MAXIMUM_ALLOWED replaced by the file rights they map to.
std::uint32_t MapFileAccess(std::uint32_t access);

// Share-access check as the I/O manager makes it: only opens whose access
// includes reading, writing or executing data, or DELETE, take part, on both
// sides. An open for READ_CONTROL, WRITE_DAC or attributes alone neither
// conflicts nor restricts later opens, whatever its share mode (assumed from
// the kernel's share-access rules; windows-notes does not cover it).
SysResult<void> CheckSharing(const SimNode& node, std::uint32_t access, std::uint32_t share);

// Byte-range locks. Locks belong to the open: any other open, in this process
// or another, conflicts with an overlapping exclusive lock, and an exclusive
// lock conflicts with any overlapping lock (ERROR_LOCK_VIOLATION). The sim
// never blocks: a conflicting request fails at once even without
// LOCKFILE_FAIL_IMMEDIATELY. The tree's mutex must be held.
SysResult<void> LockRange(SimFileObject& file, std::uint32_t flags, std::uint64_t offset, std::uint64_t length);
SysResult<void> UnlockRange(SimFileObject& file, std::uint64_t offset, std::uint64_t length);

}  // namespace telvo::platform::sim
