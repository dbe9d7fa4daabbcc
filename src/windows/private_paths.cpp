#include "windows/private_paths.h"

#include <algorithm>
#include <optional>

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
using winutil::LocalPath;

// `authority` joined with the first `count` of `names`.
Result<LocalPath> Join(const LocalPath& authority, const std::vector<std::string>& names, std::size_t count) {
    LocalPath path = authority;
    for (std::size_t i = 0; i < count; ++i) {
        TELVO_TRY_ASSIGN(path, path.Child(names[i]));
    }
    return path;
}

Result<LocalPath> Canonical(Platform& platform, const LocalPath& path) {
    TELVO_TRY_ASSIGN(const winutil::CanonicalObject object, winutil::Canonicalize(platform, path.wide()));
    return LocalPath::FromWide(object.path);
}

bool NotFound(const Error& error) {
    return error.IsWin32(platform::win32_error::kFileNotFound) || error.IsWin32(platform::win32_error::kPathNotFound);
}

// The private path `path` as the file system resolves it inside
// `authority`: its nearest existing ancestor canonicalised, with the names
// that do not exist yet as they were given.
Result<LocalPath> ResolveInside(Platform& platform, const LocalPath& authority, const LocalPath& path) {
    const std::vector<std::string> names = authority.NamesBelow(path);
    std::size_t existing = names.size() + 1;  // none found
    std::optional<LocalPath> canonical;
    for (std::size_t count = names.size() + 1; count-- > 0;) {
        TELVO_TRY_ASSIGN(const LocalPath ancestor, Join(authority, names, count));
        auto found = Canonical(platform, ancestor);
        if (found) {
            existing = count;
            canonical = std::move(*found);
            break;
        }
        if (!NotFound(found.error())) {
            return Fail(std::move(found.error()).Context("could not establish private-path ancestors for " + path.text()));
        }
    }
    if (!canonical) return Fail("private path has no existing ancestor");

    LocalPath resolved = *canonical;
    for (std::size_t i = existing; i < names.size(); ++i) {
        TELVO_TRY_ASSIGN(resolved, resolved.Child(names[i]));
    }
    if (!authority.Contains(resolved)) return Fail("private path resolves outside its authority");
    if (!resolved.wide().starts_with(authority.wide())) return Fail("private path casing does not match canonical root");
    // Every existing ancestor up to the authority: a link on the way that
    // leaves it is refused even when the path comes back inside.
    for (std::size_t count = existing; count-- > 0;) {
        TELVO_TRY_ASSIGN(const LocalPath ancestor, Join(authority, names, count));
        auto above = Canonical(platform, ancestor);
        if (!above) {
            return Fail(std::move(above.error()).Context("could not canonicalize private path ancestor " + ancestor.text()));
        }
        if (!authority.Contains(*above)) {
            return Fail("private path ancestor resolves outside its authority: " + ancestor.text());
        }
    }
    return resolved;
}

// Adds the resolved private path to every authority that contains it, once.
void Attach(std::vector<AuthorityAccess>& access, const LocalPath& resolved) {
    for (AuthorityAccess& authority : access) {
        if (!authority.root.Contains(resolved)) continue;
        const bool listed = std::ranges::find(authority.private_paths, resolved) != authority.private_paths.end();
        if (!listed) authority.private_paths.push_back(resolved);
    }
}

// Each level is opened or made relative to the handle of the one above,
// starting at the authority's root, and a link at any level is refused
// rather than followed: a junction planted at a missing ancestor cannot
// make a directory appear outside the authority. A private path that is
// already something else than a directory stays as it is.
Result<void> Materialize(Platform& platform, const AuthorityAccess& authority, const LocalPath& path,
                         JournalRecord& journal) {
    const std::vector<std::string> names = authority.root.NamesBelow(path);
    TELVO_TRY_ASSIGN(platform::UniqueHandle above, winutil::OpenObjectNoFollow(platform, authority.root.text(), false));
    TELVO_TRY(winutil::VerifyFinalPath(platform.files, above.get(), authority.root.text()));
    for (std::size_t count = 1; count <= names.size(); ++count) {
        TELVO_TRY_ASSIGN(const LocalPath directory, Join(authority.root, names, count));
        TELVO_TRY_ASSIGN(const std::u16string name, winformat::Utf8ToUtf16(names[count - 1]));
        TELVO_TRY_ASSIGN(winutil::DirectoryLevel level,
                         winutil::OpenOrCreateDirectoryBelow(platform, above.get(), name, directory.text()));
        if (level.found == winutil::DirectoryLevel::Found::other) {
            if (count == names.size()) return {};
            return Fail(directory.text() + " is not a plain directory");
        }
        if (level.found == winutil::DirectoryLevel::Found::created) {
            TELVO_TRY_ASSIGN(const winutil::FileIdentity identity,
                             winutil::StableIdentity(platform.files, level.handle.get(), directory.text()));
            if (identity.file_index == 0) return Fail("filesystem returned no stable identity for " + directory.text());
            journal.data.created_paths.push_back(winutil::RecordedPath{directory.text(), identity});
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
        auto requested = LocalPath::FromText(private_paths[i]);
        if (!requested) {
            return Fail("privatePaths[" + std::to_string(i) + "] must be a normalized absolute local-drive path");
        }
        const auto inside = std::find_if(access.begin(), access.end(), [&](const AuthorityAccess& authority) {
            return authority.root.Contains(*requested);
        });
        if (inside == access.end()) return Fail("private path is outside every command authority");
        TELVO_TRY_ASSIGN(const LocalPath resolved, ResolveInside(platform, inside->root, *requested));
        Attach(access, resolved);
    }
    // The controller's own state inside the root.
    const LocalPath root = access.front().root;
    TELVO_TRY_ASSIGN(const LocalPath supervisor, root.Child(kSupervisorName));
    TELVO_TRY_ASSIGN(const LocalPath controller, root.Child(kControllerDirectoryName));
    TELVO_TRY_ASSIGN(const LocalPath run_state, controller.Child(kRunStateName));
    for (const LocalPath& fixed : {supervisor, run_state}) {
        TELVO_TRY_ASSIGN(const LocalPath resolved, ResolveInside(platform, root, fixed));
        Attach(access, resolved);
    }
    return access;
}

Result<void> MaterializePrivatePaths(Platform& platform, const std::vector<AuthorityAccess>& authorities,
                                     JournalRecord& journal) {
    for (const AuthorityAccess& authority : authorities) {
        if (!authority.writable) continue;
        for (const LocalPath& path : authority.private_paths) {
            if (auto made = Materialize(platform, authority, path, journal); !made) {
                return Fail(std::move(made.error()).Context("could not materialize private path " + path.text()));
            }
        }
    }
    return {};
}

}  // namespace telvo::windows
