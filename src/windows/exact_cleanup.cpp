#include "windows/exact_cleanup.h"

#include <optional>
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

using platform::win32_error::kAccessDenied;
using platform::win32_error::kDirNotEmpty;
using platform::win32_error::kFileNotFound;
using platform::win32_error::kPathNotFound;
using platform::win32_error::kSharingViolation;
using winformat::Sid;

// Whether anything still has the name: an open asking for no access of its
// own succeeds wherever the name exists (CreateFileW adds only SYNCHRONIZE
// and FILE_READ_ATTRIBUTES), and any failure but "not found" counts as there.
bool StillExists(platform::Platform& platform, std::string_view path) {
    auto wide = winformat::Utf8ToUtf16(path);
    if (!wide) return true;
    auto opened = platform.files.CreateFileW(
        *wide, 0, platform::file_share::kRead | platform::file_share::kWrite | platform::file_share::kDelete,
        platform::creation_disposition::kOpenExisting,
        platform::file_flag::kBackupSemantics | platform::file_flag::kOpenReparsePoint);
    if (opened) {
        platform::UniqueHandle close(platform.kernel, *opened);
        return true;
    }
    return opened.error() != SysError::Win32(kFileNotFound) && opened.error() != SysError::Win32(kPathNotFound);
}

// A recorded path whose reopening failed is gone when the failure was "not
// found" and nothing has the name any more; any other failure stands.
bool Gone(platform::Platform& platform, const Error& failure, std::string_view path) {
    return (failure.IsWin32(kFileNotFound) || failure.IsWin32(kPathNotFound)) && !StillExists(platform, path);
}

// The recorded objects that still exist, proved to be the ones recorded. The
// chains of the metadata ancestors stay open from the proof to their
// revocation, so that none of them can be moved in between.
struct ProvedPlan {
    std::vector<const winutil::RecordedPath*> authorities;
    std::vector<std::pair<const winutil::RecordedPath*, winutil::DirectoryChain>> metadata;
    Sid sid;
};

Result<ProvedPlan> ProveIdentities(platform::Platform& platform, const CleanupPlan& plan, CleanupReport& report) {
    const auto changed = [&](const Error& failure) {
        return Fail(failure.Display() + "; the recovery journal " + plan.journal_path +
                    " is kept, and every run of this user stops at it, until the path names its recorded object "
                    "again or the journal is removed");
    };
    TELVO_TRY_ASSIGN(Sid sid, identity::DeriveProfileSid(platform.appcontainer, plan.profile_name));
    ProvedPlan proved{{}, {}, std::move(sid)};
    for (const auto& recorded : plan.metadata_paths) {
        auto chain = winutil::ReopenRecordedChain(platform, recorded);
        if (chain) {
            proved.metadata.emplace_back(&recorded, std::move(*chain));
        } else if (Gone(platform, chain.error(), recorded.path)) {
            ++report.gone;
        } else {
            return changed(chain.error());
        }
    }
    for (const auto& recorded : plan.authorities) {
        auto reopened = winutil::ReopenRecordedPath(platform, recorded);
        if (reopened) {
            proved.authorities.push_back(&recorded);
        } else if (Gone(platform, reopened.error(), recorded.path)) {
            ++report.gone;
        } else {
            return changed(reopened.error());
        }
    }
    return proved;
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

using ObjectCheck = std::function<Result<CleanupFinding>(const winutil::CleanupObject&)>;

// Walks every authority with `check` on each object; a failed walk is
// recorded as "<label> <authority>: <cause chain>" and the next one follows.
// The report takes this walk's counts.
void WalkAuthorities(platform::Platform& platform, const ProvedPlan& proved, bool want_write_dac,
                     const std::string& label, const ObjectCheck& check, FailureList& failures,
                     CleanupReport& report) {
    CleanupReport counted;
    for (const winutil::RecordedPath* authority : proved.authorities) {
        winutil::CleanupWalkTally tally;
        auto wide = winformat::Utf8ToUtf16(authority->path);
        auto walked = wide ? winutil::WalkTreeForCleanup(
                                 platform, *wide, want_write_dac, winutil::kCleanupWalkObjectLimit,
                                 [&](const winutil::CleanupObject& object) -> Result<void> {
                                     TELVO_TRY_ASSIGN(const CleanupFinding finding, check(object));
                                     if (finding == CleanupFinding::unchangeable) ++counted.unchangeable;
                                     return {};
                                 },
                                 tally)
                           : Result<void>(std::unexpected(std::move(wide.error())));
        counted.objects += tally.objects;
        counted.unopened += tally.unopened;
        counted.unlisted += tally.unlisted;
        counted.unnameable += tally.unnameable;
        if (!walked && tally.past_bound) {
            ++counted.past_bound;
        } else if (!walked) {
            failures.Add(std::move(walked.error()).Context(label + " " + authority->path));
        }
    }
    report.objects = counted.objects;
    report.unchangeable = counted.unchangeable;
    report.unopened = counted.unopened;
    report.unlisted = counted.unlisted;
    report.unnameable = counted.unnameable;
    report.past_bound = counted.past_bound;
}

// Removes a directory the run created through the handle whose identity was
// checked. A read-only attribute (the sandbox may set it) is cleared first;
// a directory that is not empty or is in use stays, as it was.
Result<bool> RemoveCreatedDirectory(platform::Platform& platform, platform::Handle handle) {
    TELVO_TRY_ASSIGN(const platform::FileInformation info, winutil::ReadFileInformation(platform.files, handle));
    const std::uint32_t attributes = info.file_attributes;
    const bool read_only = (attributes & platform::file_attribute::kReadOnly) != 0;
    const auto set_attributes = [&](std::uint32_t value) {
        return Lift("SetFileInformationByHandle(FileBasicInfo)", platform.files.SetFileBasicInfo(handle, value));
    };
    if (read_only) {
        std::uint32_t cleared = attributes & ~(platform::file_attribute::kReadOnly | platform::file_attribute::kDirectory);
        TELVO_TRY(set_attributes(cleared == 0 ? platform::file_attribute::kNormal : cleared));
    }
    auto removed = platform.files.SetFileDispositionInfo(handle, true);
    if (removed) return true;
    if (read_only) TELVO_TRY(set_attributes(attributes & ~platform::file_attribute::kDirectory));
    if (removed.error() == SysError::Win32(kSharingViolation) || removed.error() == SysError::Win32(kDirNotEmpty)) {
        return false;
    }
    return FailSys("SetFileInformationByHandle(FileDispositionInfo)", removed.error());
}

// Removes the directories a run created, the newest first, each only while it
// is still the recorded object. A directory that is no longer empty or is in
// use, a path that is gone, and a path that now names another object are left
// alone without an error; any other failure is recorded as "remove <path>:
// <error>" or "inspect <path>: <cause chain>".
void RemoveCreatedPaths(platform::Platform& platform, std::span<const winutil::RecordedPath> created,
                        FailureList& failures, CleanupReport& report) {
    namespace access = platform::file_access;
    for (const winutil::RecordedPath& recorded : created | std::views::reverse) {
        const std::string inspect = "inspect " + recorded.path;
        auto wide = winformat::Utf8ToUtf16(recorded.path);
        if (!wide) {
            failures.Add(std::move(wide.error()).Context(inspect));
            continue;
        }
        auto opened = platform.files.CreateFileW(
            *wide, access::kDelete | access::kReadAttributes | access::kWriteAttributes,
            platform::file_share::kRead | platform::file_share::kWrite | platform::file_share::kDelete,
            platform::creation_disposition::kOpenExisting,
            platform::file_flag::kBackupSemantics | platform::file_flag::kOpenReparsePoint);
        if (!opened) {
            if (opened.error() == SysError::Win32(kSharingViolation)) {
                ++report.left_created;
            } else if (opened.error() != SysError::Win32(kFileNotFound) && StillExists(platform, recorded.path)) {
                failures.Add(Error::FromSys("CreateFileW(" + recorded.path + ")", opened.error()).Context(inspect));
            }
            continue;
        }
        platform::UniqueHandle handle(platform.kernel, *opened);
        auto identity = winutil::StableIdentity(platform.files, handle.get(), recorded.path);
        if (!identity) {
            failures.Add(std::move(identity.error()).Context(inspect));
            continue;
        }
        if (*identity != recorded.identity) continue;
        auto removed = RemoveCreatedDirectory(platform, handle.get());
        if (!removed) {
            failures.Add(std::move(removed.error()).Context("remove " + recorded.path));
        } else if (!*removed) {
            ++report.left_created;
        }
    }
}

}  // namespace

Result<CleanupReport> ExactCleanup(platform::Platform& platform, const CleanupPlan& plan) {
    CleanupReport report;
    TELVO_TRY_ASSIGN(const ProvedPlan proved, ProveIdentities(platform, plan, report));
    const Sid& sid = proved.sid;
    FailureList failures;

    WalkAuthorities(
        platform, proved, true, "revoke authority",
        [&](const winutil::CleanupObject& object) { return RevokeAuthorityObject(platform, object, sid); }, failures,
        report);

    for (const auto& [recorded, chain] : proved.metadata) {
        auto revoked = RevokeMetadataAncestor(platform, chain.entries.back(), sid);
        if (!revoked) {
            failures.Add(std::move(revoked.error()).Context("revoke exact metadata ancestor " + recorded->path));
        }
    }

    if (failures.empty()) {
        WalkAuthorities(
            platform, proved, false, "verify AppContainer ACE removal under",
            [&](const winutil::CleanupObject& object) { return VerifySidAbsent(platform, object, sid); }, failures,
            report);
    }

    if (failures.empty()) {
        auto deleted = identity::DeleteProfile(platform.appcontainer, plan.profile_name);
        if (!deleted) return Fail(std::move(deleted.error()).Context("delete profile"));
    }

    RemoveCreatedPaths(platform, plan.created_paths, failures, report);
    TELVO_TRY(std::move(failures).Finish());
    return report;
}

Result<void> ExactCleanup(platform::Platform& platform, const JournalData& journal, const std::string& journal_path) {
    TELVO_TRY(ExactCleanup(platform, CleanupPlan{journal.profile_name, journal.authorities, journal.metadata_paths,
                                                 journal.created_paths, journal_path}));
    return {};
}

}  // namespace telvo::windows
