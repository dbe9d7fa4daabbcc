#include "windows/private_paths.h"

#include <algorithm>

#include "common/try.h"
#include "windows/journal_json.h"
#include "winformat/text.h"
#include "winutil/local_path.h"
#include "winutil/create_directories.h"
#include "winutil/object_open.h"
#include "winutil/recorded_path.h"

namespace telvo::windows {

namespace {

using platform::Platform;

// The names of `path` below `authority` (both extended, `path` inside).
std::vector<std::string> NamesBelow(std::string_view authority, std::string_view path) {
    std::vector<std::string> names;
    for (std::string_view name : winutil::ParsePathSyntax(path.substr(authority.size())).components) {
        names.emplace_back(name);
    }
    return names;
}

// The authority joined with its first `count` names.
std::string Join(std::string_view authority, const std::vector<std::string>& names, std::size_t count) {
    std::string path(authority);
    for (std::size_t i = 0; i < count; ++i) path += "\\" + names[i];
    return path;
}

Result<std::string> CanonicalText(Platform& platform, std::string_view path) {
    TELVO_TRY_ASSIGN(const std::u16string wide, winformat::Utf8ToUtf16(path));
    TELVO_TRY_ASSIGN(const winutil::CanonicalObject object, winutil::Canonicalize(platform, wide));
    return winformat::Utf16ToUtf8(object.path);
}

bool NotFound(const Error& error) {
    return error.IsWin32(platform::win32_error::kFileNotFound) || error.IsWin32(platform::win32_error::kPathNotFound);
}

// The private path `path` (extended) as the file system resolves it inside
// `authority`: its nearest existing ancestor canonicalised, with the names
// that do not exist yet as they were given.
Result<std::string> ResolveInside(Platform& platform, std::string_view authority, std::string_view path) {
    const std::vector<std::string> names = NamesBelow(authority, path);
    std::size_t existing = names.size() + 1;  // none found
    std::string canonical;
    for (std::size_t count = names.size() + 1; count-- > 0;) {
        auto found = CanonicalText(platform, Join(authority, names, count));
        if (found) {
            existing = count;
            canonical = std::move(*found);
            break;
        }
        if (!NotFound(found.error())) {
            return Fail(std::move(found.error())
                            .Context("could not establish private-path ancestors for " + std::string(path)));
        }
    }
    if (existing > names.size()) return Fail("private path has no existing ancestor");

    std::string resolved = std::move(canonical);
    for (std::size_t i = existing; i < names.size(); ++i) resolved += "\\" + names[i];
    if (!winutil::PathContains(authority, resolved)) return Fail("private path resolves outside its authority");
    if (!resolved.starts_with(authority)) return Fail("private path casing does not match canonical root");
    // Every existing ancestor up to the authority: a link on the way that
    // leaves it is refused even when the path comes back inside.
    for (std::size_t count = existing; count-- > 0;) {
        const std::string ancestor = Join(authority, names, count);
        auto above = CanonicalText(platform, ancestor);
        if (!above) {
            return Fail(std::move(above.error()).Context("could not canonicalize private path ancestor " + ancestor));
        }
        if (!winutil::PathContains(authority, *above)) {
            return Fail("private path ancestor resolves outside its authority: " + ancestor);
        }
    }
    return resolved;
}

// Adds the resolved private path to every authority that contains it, once.
void Attach(std::vector<AuthorityAccess>& access, const std::string& resolved) {
    for (AuthorityAccess& authority : access) {
        if (!winutil::PathContains(authority.root, resolved)) continue;
        const bool listed = std::any_of(authority.private_paths.begin(), authority.private_paths.end(),
                                        [&](const std::string& path) { return winutil::PathsEqual(path, resolved); });
        if (!listed) authority.private_paths.push_back(resolved);
    }
}

// Each level is opened or made relative to the handle of the one above,
// starting at the authority's root, and a link at any level is refused
// rather than followed: a junction planted at a missing ancestor cannot
// make a directory appear outside the authority. A private path that is
// already something else than a directory stays as it is.
Result<void> Materialize(Platform& platform, const AuthorityAccess& authority, const std::string& path,
                         JournalRecord& journal) {
    const std::vector<std::string> names = NamesBelow(authority.root, path);
    TELVO_TRY_ASSIGN(platform::UniqueHandle above, winutil::OpenObjectNoFollow(platform, authority.root, false));
    TELVO_TRY(winutil::VerifyFinalPath(platform.files, above.get(), authority.root));
    for (std::size_t count = 1; count <= names.size(); ++count) {
        const std::string directory = Join(authority.root, names, count);
        TELVO_TRY_ASSIGN(const std::u16string name, winformat::Utf8ToUtf16(names[count - 1]));
        TELVO_TRY_ASSIGN(winutil::DirectoryLevel level,
                         winutil::OpenOrCreateDirectoryBelow(platform, above.get(), name, directory));
        if (level.found == winutil::DirectoryLevel::Found::other) {
            if (count == names.size()) return {};
            return Fail(directory + " is not a plain directory");
        }
        if (level.found == winutil::DirectoryLevel::Found::created) {
            TELVO_TRY_ASSIGN(const winutil::FileIdentity identity,
                             winutil::StableIdentity(platform.files, level.handle.get(), directory));
            if (identity.file_index == 0) return Fail("filesystem returned no stable identity for " + directory);
            journal.data.created_paths.push_back(winutil::RecordedPath{directory, identity});
            TELVO_TRY(ValidateJournal(platform.system, journal.data));
            TELVO_TRY(WriteJournal(platform, journal));
        }
        above = std::move(level.handle);
    }
    return {};
}

}  // namespace

Result<std::vector<AuthorityAccess>> EstablishPrivatePaths(Platform& platform,
                                                           const std::vector<CommandAuthority>& authorities,
                                                           const std::vector<std::string>& private_paths) {
    std::vector<AuthorityAccess> access;
    for (const CommandAuthority& authority : authorities) access.push_back({authority.path, authority.writable, {}});
    if (access.empty()) return access;

    for (std::size_t i = 0; i < private_paths.size(); ++i) {
        auto extended = winutil::ToExtendedPath(private_paths[i]);
        if (!extended) {
            return Fail("privatePaths[" + std::to_string(i) + "] must be a normalized absolute local-drive path");
        }
        const auto inside = std::find_if(access.begin(), access.end(), [&](const AuthorityAccess& authority) {
            return winutil::PathContains(authority.root, *extended);
        });
        if (inside == access.end()) return Fail("private path is outside every command authority");
        TELVO_TRY_ASSIGN(const std::string resolved, ResolveInside(platform, inside->root, *extended));
        Attach(access, resolved);
    }
    // The controller's own state inside the root.
    const std::string root = access.front().root;
    for (const std::string& fixed : {root + "\\" + std::string(kSupervisorName),
                                    root + "\\" + std::string(kControllerDirectoryName) + "\\" +
                                        std::string(kRunStateName)}) {
        TELVO_TRY_ASSIGN(const std::string resolved, ResolveInside(platform, root, fixed));
        Attach(access, resolved);
    }
    return access;
}

Result<void> MaterializePrivatePaths(Platform& platform, const std::vector<AuthorityAccess>& authorities,
                                     JournalRecord& journal) {
    for (const AuthorityAccess& authority : authorities) {
        if (!authority.writable) continue;
        for (const std::string& path : authority.private_paths) {
            if (auto made = Materialize(platform, authority, path, journal); !made) {
                return Fail(std::move(made.error()).Context("could not materialize private path " + path));
            }
        }
    }
    return {};
}

}  // namespace telvo::windows
