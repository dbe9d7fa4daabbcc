#include "windows/exact_cleanup.h"

#include <atomic>

#include "common/try.h"
#include "identity/profile.h"
#include "windows/authority_revoke.h"
#include "windows/created_paths.h"
#include "windows/metadata_ancestor.h"
#include "windows/raw_dacl.h"
#include "windows/revoke_sid.h"
#include "windows/sid_aces.h"
#include "winutil/recorded_path.h"
#include "winutil/walk_tree.h"

namespace telvo::windows {

namespace {

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

Result<void> RevokeMetadataAncestor(platform::Platform& platform, const winutil::ChainEntry& ancestor,
                                    const Sid& sid) {
    TELVO_TRY_ASSIGN(MetadataWriteDac access,
                     OpenMetadataAncestorForWriteDac(platform, ancestor.path, ancestor.handle.get()));
    TELVO_TRY(RevokeSidFromObject(platform, access.handle.get(), sid));
    TELVO_TRY_ASSIGN(RawDacl after, ReadRawDacl(platform, access.handle.get()));
    TELVO_TRY_ASSIGN(const bool named, AclNamesSid(after.dacl(), sid));
    if (named) return Fail("AppContainer SID ACE remains after exact-object cleanup");
    return {};
}

// Walks every authority with `visit` on each object; a failed walk is
// recorded as "<label> <authority>: <cause chain>" and the next one follows.
void WalkAuthorities(platform::Platform& platform, const CleanupPlan& plan, bool with_write_dac,
                     const std::string& label, const winutil::TreeVisitor& visit, std::vector<std::string>& failures) {
    // Cleanup is never cancelled: it undoes as much as it can.
    const std::atomic<bool> never_cancelled{false};
    for (const auto& authority : plan.authorities) {
        auto walked = winutil::WalkTree(platform, authority.path, with_write_dac, never_cancelled, visit);
        if (!walked) failures.push_back(label + " " + authority.path + ": " + walked.error().Display());
    }
}

std::string JoinFailures(const std::vector<std::string>& failures) {
    std::string joined;
    for (const auto& failure : failures) {
        if (!joined.empty()) joined += "; ";
        joined += failure;
    }
    return joined;
}

}  // namespace

Result<void> ExactCleanup(platform::Platform& platform, const CleanupPlan& plan) {
    TELVO_TRY_ASSIGN(const ProvedPlan proved, ProveIdentities(platform, plan));
    const Sid& sid = proved.sid;
    std::vector<std::string> failures;

    WalkAuthorities(
        platform, plan, true, "revoke authority",
        [&](const std::string& path, platform::Handle handle) { return RevokeAuthorityObject(platform, path, handle, sid); },
        failures);

    for (std::size_t i = 0; i < plan.metadata_paths.size(); ++i) {
        auto revoked = RevokeMetadataAncestor(platform, proved.metadata_chains[i].entries.back(), sid);
        if (!revoked) {
            failures.push_back("revoke exact metadata ancestor " + plan.metadata_paths[i].path + ": " +
                               revoked.error().Display());
        }
    }

    if (failures.empty()) {
        WalkAuthorities(
            platform, plan, false, "verify AppContainer ACE removal under",
            [&](const std::string& path, platform::Handle handle) { return VerifySidAbsent(platform, path, handle, sid); },
            failures);
    }

    if (failures.empty()) {
        auto deleted = identity::DeleteProfile(platform.appcontainer, plan.profile_name);
        if (!deleted) return Fail("delete profile: " + deleted.error().Display());
    }

    RemoveCreatedPaths(platform, plan.created_paths, failures);
    if (!failures.empty()) return Fail(JoinFailures(failures));
    return {};
}

Result<void> ExactCleanup(platform::Platform& platform, const JournalData& journal) {
    return ExactCleanup(platform, CleanupPlan{journal.profile_name, journal.authorities, journal.metadata_paths,
                                              journal.created_paths});
}

}  // namespace telvo::windows
