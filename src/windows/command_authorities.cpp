#include "windows/command_authorities.h"

#include <algorithm>

#include "common/try.h"
#include "process/child_environment.h"
#include "process/sandbox_launch.h"
#include "windows/authority_access.h"
#include "windows/private_paths.h"
#include "winformat/text.h"
#include "winutil/local_path.h"
#include "winutil/object_open.h"
#include "winutil/recorded_path.h"
#include "winutil/walk_tree.h"

namespace telvo::windows {

namespace {

using platform::Platform;

constexpr char kCwdOutside[] = "cwd is outside the assigned directory authorities";

// Rule 0: a normalized path that names something below a volume root.
Result<void> CheckAuthorityText(std::string_view text) {
    TELVO_TRY_ASSIGN(const winutil::LocalPath path, winutil::LocalPath::FromText(text));
    if (path.IsVolumeRoot()) return Fail("authority has no directory parent");
    return {};
}

// The account's home: the Profile known folder, canonicalised.
Result<winutil::LocalPath> AccountHome(Platform& platform) {
    TELVO_TRY_ASSIGN(const std::u16string folder,
                     Lift("SHGetKnownFolderPath(Profile)",
                          platform.system.SHGetKnownFolderPath(platform::known_folder::kProfile, 0)));
    const auto text = winformat::Utf16ToUtf8(folder);
    if (!text || !winutil::IsNormalizedLocalPath(*text)) return Fail("the account profile is not on a local drive");
    auto home = winutil::Canonicalize(platform, folder);
    if (!home) return Fail(std::move(home.error()).Context("could not canonicalize account profile " + *text));
    return winutil::LocalPath::FromWide(home->path);
}

// The grant opens every object of an authority for READ_CONTROL and
// WRITE_DAC, and lists every directory: a root that refuses this user either
// (an installed program's folder, another user's directory) is refused
// before anything changes, rather than by a grant that stops at its first
// object.
Result<void> CheckChangeable(Platform& platform, const CommandAuthority& authority) {
    const auto refused = [&](const std::string& what, const Error& failure) {
        return Fail("the current user cannot " + what + " " + authority.path.text() + " (" + failure.Display() +
                    "); no permissions changed");
    };
    auto opened = winutil::OpenObjectNoFollow(platform, authority.path.text(), true);
    if (!opened) return refused("change the permissions of", opened.error());
    if (!authority.directory) return {};
    if (auto listed = winutil::ListDirectory(platform, opened->get(), 1); !listed) {
        return refused("list", listed.error());
    }
    return {};
}

// The journal's record of the authority at `path`, if it names it.
const winutil::RecordedPath* RecordedAuthority(const JournalRecord& journal, const winutil::LocalPath& path) {
    const auto& recorded = journal.data.authorities;
    const auto found = std::find_if(recorded.begin(), recorded.end(), [&](const winutil::RecordedPath& entry) {
        const auto named = winutil::LocalPath::FromText(entry.path);
        return named && *named == path;
    });
    return found == recorded.end() ? nullptr : &*found;
}

// The walk's first object is the authority's root, opened by path: it must
// be the object the journal recorded, proved through the very handle the
// grant then writes with. A root swapped since the journal was written would
// otherwise receive grants that the cleanup, which finds the run's objects
// by the recorded identities, could never take back.
Result<void> ProveRecordedRoot(Platform& platform, platform::Handle handle, const winutil::RecordedPath& recorded) {
    TELVO_TRY_ASSIGN(const winutil::FileIdentity identity,
                     winutil::StableIdentity(platform.files, handle, recorded.path));
    if (identity != recorded.identity || identity.file_index == 0) {
        return Fail("authority identity changed since the recovery journal recorded it: " + recorded.path);
    }
    return {};
}

// Grants one authority object by object and reads each grant back.
Result<void> GrantAuthority(Platform& platform, const AuthorityAccess& authority, const winutil::RecordedPath& recorded,
                            const winformat::Sid& sid, const std::atomic<bool>& gone) {
    bool root_proved = false;
    return winutil::WalkTree(platform, authority.root.text(), true, gone, winutil::WalkPolicy::prove,
                             [&](const std::u16string& path, platform::Handle handle) -> Result<void> {
                                 if (!root_proved) {
                                     TELVO_TRY(ProveRecordedRoot(platform, handle, recorded));
                                     root_proved = true;
                                 }
                                 TELVO_TRY(GrantAuthorityAccess(platform, path, handle, authority, sid));
                                 return VerifyAuthorityGrant(platform, path, handle, authority, sid);
                             });
}

}  // namespace

Result<CheckedAuthorities> CheckCommandAuthorities(Platform& platform, const protocol::Run& run,
                                                   std::string_view state_directory) {
    TELVO_TRY(CheckAuthorityText(run.root));
    for (const std::string& readable : run.readable_roots) TELVO_TRY(CheckAuthorityText(readable));

    TELVO_TRY_ASSIGN(const winutil::LocalPath state, winutil::LocalPath::FromText(state_directory));
    std::vector<CommandAuthority> authorities;
    TELVO_TRY_ASSIGN(const winutil::ResolvedPath root, winutil::ResolveUserObject(platform, "root", run.root));
    if (!root.directory || root.path.IsVolumeRoot()) return Fail("root must be a non-volume directory");
    authorities.push_back({root.path, run.mode == protocol::RunMode::workspace_write, true});
    for (std::size_t i = 0; i < run.readable_roots.size(); ++i) {
        TELVO_TRY_ASSIGN(const winutil::ResolvedPath readable,
                         winutil::ResolveUserObject(platform, "readableRoots[" + std::to_string(i) + "]",
                                                    run.readable_roots[i]));
        if (readable.path.IsVolumeRoot()) {
            return Fail("readable roots cannot grant an entire volume: " + readable.path.text());
        }
        authorities.push_back({readable.path, false, readable.directory});
    }

    TELVO_TRY_ASSIGN(const winutil::LocalPath home, AccountHome(platform));
    TELVO_TRY_ASSIGN(const winutil::ResolvedPath cwd, winutil::ResolveUserObject(platform, "cwd", run.cwd));
    if (!cwd.directory) return Fail(kCwdOutside);

    if (root.path.Contains(home)) return Fail("the writable/read-only root cannot contain the account home");
    for (std::size_t i = 1; i < authorities.size(); ++i) {
        const winutil::LocalPath& readable = authorities[i].path;
        if (readable == root.path) return Fail("readableRoots[" + std::to_string(i - 1) + "] duplicates root");
        if (run.mode == protocol::RunMode::workspace_write && readable.Overlaps(root.path)) {
            return Fail("a read-only authority overlaps the writable root: " + readable.text());
        }
        if (readable.Contains(home)) {
            return Fail("a readable dependency cannot contain the account home: " + readable.text());
        }
        for (std::size_t j = 1; j < i; ++j) {
            if (readable == authorities[j].path) return Fail("duplicate readable root: " + readable.text());
        }
    }
    // A directory inside an authority lies inside a directory authority.
    const bool cwd_inside = std::any_of(authorities.begin(), authorities.end(), [&](const CommandAuthority& authority) {
        return authority.path.Contains(cwd.path);
    });
    if (!cwd_inside) return Fail(kCwdOutside);
    for (const CommandAuthority& authority : authorities) {
        if (authority.path.Overlaps(state)) return Fail("the sandbox recovery directory overlaps a command authority");
    }
    for (const CommandAuthority& authority : authorities) TELVO_TRY(CheckChangeable(platform, authority));
    return CheckedAuthorities{std::move(authorities), cwd.path};
}

Result<std::int32_t> SetUpAndLaunch(Platform& platform, const std::vector<CommandAuthority>& authorities,
                                    const std::vector<std::string>& private_paths, const SandboxRun& run) {
    if (authorities.empty()) throw InternalFault("a run is set up without authorities");
    const std::atomic<bool>& gone = *run.controller_gone;
    if (gone) return Fail("controller closed stdin during sandbox setup");
    // Every grant must be undoable from the journal: it names each authority.
    for (const CommandAuthority& authority : authorities) {
        if (RecordedAuthority(*run.journal, authority.path) == nullptr) {
            return Fail("the recovery journal does not name the authority " + authority.path.text());
        }
    }
    TELVO_TRY_ASSIGN(const std::vector<AuthorityAccess> access,
                     EstablishPrivatePaths(platform, authorities, private_paths));
    TELVO_TRY(MaterializePrivatePaths(platform, access, *run.journal));

    for (const AuthorityAccess& authority : access) {
        if (gone) return Fail("controller closed stdin during ACL setup");
        const winutil::RecordedPath* recorded = RecordedAuthority(*run.journal, authority.root);
        if (recorded == nullptr) {
            return Fail("the recovery journal does not name the authority " + authority.root.text());
        }
        if (auto granted = GrantAuthority(platform, authority, *recorded, *run.app_container_sid, gone); !granted) {
            if (gone) return Fail("controller closed stdin during ACL setup");
            return std::unexpected(std::move(granted.error()));
        }
    }

    std::vector<winutil::LocalPath> further_roots;
    for (std::size_t i = 1; i < authorities.size(); ++i) {
        if (authorities[i].directory) further_roots.push_back(authorities[i].path);
    }
    TELVO_TRY_ASSIGN(const process::ChildEnvironment environment,
                     process::BuildChildEnvironment(platform, run.app_container_folder, authorities.front().path,
                                                    further_roots));
    if (gone) return Fail("controller closed stdin before process launch");

    const process::LaunchInputs inputs{
        .command = run.command,
        .working_directory = run.cwd,
        .profile_name = run.profile_name,
        .app_container_sid = run.app_container_sid,
        .capabilities = run.capabilities,
        .job = run.job,
        .controller_gone = run.controller_gone,
        .environment = &environment,
        .network_access = run.network_access,
        .authorities = &access,
        .journal = run.journal,
        .dacl_changes_done = run.dacl_changes_done,
    };
    return process::LaunchSandboxedCommand(platform, inputs);
}

}  // namespace telvo::windows
