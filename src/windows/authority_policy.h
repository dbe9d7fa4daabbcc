#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvo::windows {

// A directory authority as the grant engine sees it: its root, whether it is
// writable, and the private paths inside it. Paths are normalized local paths.
struct AuthorityAccess {
    std::string root;
    bool writable = false;
    std::vector<std::string> private_paths;
};

namespace grant_mask {
inline constexpr std::uint32_t kReadOnly = 0x001200A9;
inline constexpr std::uint32_t kWritable = 0x001301BF;
inline constexpr std::uint32_t kWritableProtected = 0x001201BF;  // kWritable without DELETE
inline constexpr std::uint32_t kDelete = 0x00010000;
}  // namespace grant_mask

namespace grant_inheritance {
inline constexpr std::uint32_t kObjectsAndContainers = 0x3;  // OBJECT_INHERIT | CONTAINER_INHERIT
inline constexpr std::uint32_t kInheritOnly = 0xB;           // ... | INHERIT_ONLY
}  // namespace grant_inheritance

// The entries an object of the authority receives for the AppContainer SID:
// the main entry's mask, and whether the inherit-only DELETE entry comes with
// it (the root of a writable authority and its proper ancestors of private
// paths, so that the sandbox cannot delete or rename them while what it
// creates below them inherits DELETE).
struct ObjectGrant {
    std::uint32_t mask = 0;
    bool inherit_only_delete = false;
};

// Nothing for an object at or below a private path.
std::optional<ObjectGrant> GrantFor(std::string_view object, const AuthorityAccess& authority);

}  // namespace telvo::windows
