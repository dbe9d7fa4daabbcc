#include "windows/exact_cleanup.h"

#include <atomic>
#include <ranges>

#include "common/try.h"
#include "identity/profile.h"
#include "platform/unique_handle.h"
#include "windows/authority_access.h"
#include "windows/metadata_access.h"
#include "windows/object_dacl.h"
#include "winformat/text.h"
#include "winutil/directory_chain.h"
#include "winutil/object_open.h"
#include "winutil/walk_tree.h"

namespace telvo::windows {

namespace {

using platform::win32_error::kDirNotEmpty;
using platform::win32_error::kFileNotFound;
using platform::win32_error::kPathNotFound;
using platform::win32_error::kSharingViolation;
using winformat::Sid;

// The chains of the metadata ancestors stay open from the identity proof to
// their revocation, so that none of them can be moved in between.
struct ProvedPlan {
    std::vector<winutil::DirectoryChain> metadata_chains;
    Sid sid;
};

Result<ProvedPlan> ProveIdentities(platform::Platform& platform, const CleanupPlan& plan) {
    std::vector<winutil::DirectoryChain> chains;
    for (const auto& recorded : plan.metadata_paths) {
        TELVO_TRY_ASSIGN(auto chain, winutil::ReopenRecordedChain(platform, recorded));
        chains.push_back(std::move(chain));
    }
    for (const auto& recorded : plan.authorities) TELVO_TRY(winutil::ReopenRecordedPath(platform, recorded));
    TELVO_TRY_ASSIGN(Sid sid, identity::DeriveProfileSid(platform.appcontainer, plan.profile_name));
    return ProvedPlan{std::move(chains), std::move(sid)};
}

// The revoke and the re-read happen in one hold of the metadata lock.
Result<void> RevokeMetadataAncestor(platform::Platform& platform, const winutil::ChainEntry& ancestor,
                                    const Sid& sid) {
    TELVO_TRY_ASSIGN(MetadataWriteDac access,
                     OpenMetadataAncestorForWriteDac(platform, ancestor.path, ancestor.handle.get()));
    TELVO_TRY(RevokeSidFromObject(platform, access.lock, access.handle.get(), sid));
    TELVO_TRY_ASSIGN(ObjectDescriptor after, ReadRawDacl(platform, access.handle.get()));
    TELVO_TRY_ASSIGN(const bool named, AclNamesSid(after.dacl(), sid));
    if (named) return Fail("AppContainer SID ACE remains after exact-object cleanup");
    return {};
}

// Walks every authority with `visit` on each object; a failed walk is
// recorded as "<label> <authority>: <cause chain>" and the next one follows.
void WalkAuthorities(platform::Platform& platform, const CleanupPlan& plan, bool with_write_dac,
                     const std::string& label, const winutil::TreeVisitor& visit, FailureList& failures) {
    // Cleanup is never cancelled: it undoes as much as it can.
    const std::atomic<bool> never_cancelled{false};
    for (const auto& authority : plan.authorities) {
        auto walked = winutil::WalkTree(platform, std::string_view(authority.path), with_write_dac, never_cancelled,
                                        winutil::WalkPolicy::cleanup, visit);
        if (!walked) failures.Add(std::move(walked.error()).Context(label + " " + authority.path));
    }
}

// The object's identity; the handle is closed again, since the removal names the path.
Result<winutil::FileIdentity> CurrentIdentity(platform::Platform& platform, const std::u16string& path,
                                              const std::string& shown) {
    TELVO_TRY_ASSIGN(platform::UniqueHandle handle, winutil::OpenObjectNoFollow(platform, std::u16string_view(path), false));
    return winutil::StableIdentity(platform.files, handle.get(), shown);
}

// Whether anything still has the name: an open asking for no access at all
// succeeds wherever the name exists.
bool StillExists(platform::Platform& platform, const std::u16string& path) {
    auto opened = platform.files.CreateFileW(
        path, 0, platform::file_share::kRead | platform::file_share::kWrite | platform::file_share::kDelete,
        platform::creation_disposition::kOpenExisting,
        platform::file_flag::kBackupSemantics | platform::file_flag::kOpenReparsePoint);
    if (opened) {
        platform::UniqueHandle close(platform.kernel, *opened);
        return true;
    }
    return opened.error() != SysError::Win32(kFileNotFound) && opened.error() != SysError::Win32(kPathNotFound);
}

// Removes the directories a run created, the newest first, each only while it
// is still the recorded object. A directory that is no longer empty or is in
// use, a path that is gone, and a path that now names another object are left
// alone without an error; any other failure is recorded as "remove <path>:
// <error>" or "inspect <path>: <cause chain>".
void RemoveCreatedPaths(platform::Platform& platform, std::span<const winutil::RecordedPath> created,
                        FailureList& failures) {
    for (const winutil::RecordedPath& recorded : created | std::views::reverse) {
        const std::string inspect = "inspect " + recorded.path;
        auto wide = winformat::Utf8ToUtf16(recorded.path);
        if (!wide) {
            failures.Add(std::move(wide.error()).Context(inspect));
            continue;
        }
        auto identity = CurrentIdentity(platform, *wide, recorded.path);
        if (!identity) {
            if (!identity.error().IsWin32(kFileNotFound) && StillExists(platform, *wide)) {
                failures.Add(std::move(identity.error()).Context(inspect));
            }
            continue;
        }
        if (*identity != recorded.identity) continue;
        auto removed = platform.files.RemoveDirectoryW(*wide);
        if (!removed && removed.error() != SysError::Win32(kSharingViolation) &&
            removed.error() != SysError::Win32(kDirNotEmpty)) {
            failures.Add(Error::FromSys("RemoveDirectoryW", removed.error()).Context("remove " + recorded.path));
        }
    }
}

}  // namespace

Result<void> ExactCleanup(platform::Platform& platform, const CleanupPlan& plan) {
    TELVO_TRY_ASSIGN(const ProvedPlan proved, ProveIdentities(platform, plan));
    const Sid& sid = proved.sid;
    FailureList failures;

    WalkAuthorities(
        platform, plan, true, "revoke authority",
        [&](const std::u16string& path, platform::Handle handle) {
            return RevokeAuthorityObject(platform, path, handle, sid);
        },
        failures);

    for (std::size_t i = 0; i < plan.metadata_paths.size(); ++i) {
        auto revoked = RevokeMetadataAncestor(platform, proved.metadata_chains[i].entries.back(), sid);
        if (!revoked) {
            failures.Add(std::move(revoked.error()).Context("revoke exact metadata ancestor " + plan.metadata_paths[i].path));
        }
    }

    if (failures.empty()) {
        WalkAuthorities(
            platform, plan, false, "verify AppContainer ACE removal under",
            [&](const std::u16string& path, platform::Handle handle) {
                return VerifySidAbsent(platform, path, handle, sid);
            },
            failures);
    }

    if (failures.empty()) {
        auto deleted = identity::DeleteProfile(platform.appcontainer, plan.profile_name);
        if (!deleted) return Fail(std::move(deleted.error()).Context("delete profile"));
    }

    RemoveCreatedPaths(platform, plan.created_paths, failures);
    return std::move(failures).Finish();
}

Result<void> ExactCleanup(platform::Platform& platform, const JournalData& journal) {
    return ExactCleanup(platform, CleanupPlan{journal.profile_name, journal.authorities, journal.metadata_paths,
                                              journal.created_paths});
}

}  // namespace telvo::windows
