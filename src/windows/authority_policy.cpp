#include "windows/authority_policy.h"

#include <algorithm>

#include "winutil/local_path.h"

namespace telvo::windows {

std::optional<ObjectGrant> GrantFor(std::string_view object, const AuthorityAccess& authority) {
    const auto& privates = authority.private_paths;
    if (std::ranges::any_of(privates, [&](const std::string& path) { return winutil::PathContains(path, object); })) {
        return std::nullopt;
    }
    if (!authority.writable) return ObjectGrant{grant_mask::kReadOnly, false};
    // No private path equals the object here, so containing one is being its proper ancestor.
    const bool is_protected =
        winutil::PathsEqual(object, authority.root) ||
        std::ranges::any_of(privates, [&](const std::string& path) { return winutil::PathContains(object, path); });
    if (is_protected) return ObjectGrant{grant_mask::kWritableProtected, true};
    return ObjectGrant{grant_mask::kWritable, false};
}

}  // namespace telvo::windows
