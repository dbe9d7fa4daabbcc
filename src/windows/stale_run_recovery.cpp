#include "windows/stale_run_recovery.h"

#include <optional>
#include <string>
#include <vector>

#include "common/try.h"
#include "identity/profile.h"
#include "network_broker/offline_lease.h"
#include "network_broker/protected_service.h"
#include "platform/unique_handle.h"
#include "windows/exact_cleanup.h"
#include "windows/journal.h"
#include "winformat/text.h"
#include "winutil/local_path.h"
#include "winutil/walk_tree.h"

namespace telvo::windows {

namespace {

using platform::Platform;

// The directory itself, not a link planted in its place; nothing but its
// attributes is asked of this handle (the listing reopens it).
std::optional<platform::UniqueHandle> OpenRecoveryDirectory(Platform& platform, std::string_view directory) {
    auto wide = winformat::Utf8ToUtf16(directory);
    if (!wide) return std::nullopt;
    namespace share = platform::file_share;
    auto opened = platform.files.CreateFileW(*wide, platform::file_access::kReadAttributes,
                                             share::kRead | share::kWrite | share::kDelete,
                                             platform::creation_disposition::kOpenExisting,
                                             platform::file_flag::kBackupSemantics |
                                                 platform::file_flag::kOpenReparsePoint);
    if (!opened) return std::nullopt;
    return platform::UniqueHandle(platform.kernel, *opened);
}

Result<std::vector<std::u16string>> ListRecoveryDirectory(Platform& platform, platform::Handle directory) {
    TELVO_TRY_ASSIGN(auto names, winutil::ListDirectory(platform, directory, kMaxRecoveryEntries + 1));
    if (names.size() > kMaxRecoveryEntries) {
        return Fail("the recovery directory holds more than " + std::to_string(kMaxRecoveryEntries) + " entries");
    }
    return names;
}

// The stem of a name whose extension is exactly "json". A name that is all
// extension (".json"), has none, or ends in a dot has no journal stem: the
// temporary files ("<profile>.json.new") and the lock file are passed over.
std::optional<std::u16string_view> JournalStem(std::u16string_view name) {
    const std::size_t dot = name.rfind(u'.');
    if (dot == std::u16string_view::npos || dot == 0 || name.substr(dot + 1) != u"json") return std::nullopt;
    return name.substr(0, dot);
}

// The stem of a journal's temporary file, "<stem>.json.new".
std::optional<std::u16string_view> DraftStem(std::u16string_view name) {
    constexpr std::u16string_view kSuffix = u".json.new";
    if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return std::nullopt;
    return name.substr(0, name.size() - kSuffix.size());
}

// A journal's temporary file left by a run that died while writing it.
// Nothing was done on the strength of it (a run changes the host only once
// the journal naming the change has replaced the old one), so it goes once
// the run is proved dead. Names that are no profile's are not ours to touch.
// A draft is never a reason to stop recovery: one whose run cannot be proved
// dead, or that cannot be removed, stays for a later recovery.
void RemoveDeadDraft(Platform& platform, std::string_view directory, std::u16string_view wide_stem) {
    auto stem = winformat::Utf16ToUtf8(wide_stem);
    if (!stem || !identity::ValidateProfileName(*stem)) return;
    const auto liveness = ProbeLiveMarker(platform, "Global\\" + *stem);
    if (!liveness || *liveness == Liveness::alive) return;
    const std::string path = JournalPath(directory, *stem) + ".new";
    (void)RemoveJournalFile(platform, path, "could not remove abandoned journal draft " + path);
}

// The broker's part of a dead run's recovery. The journal asks for the
// broker before the run's profile exists, so a run that died before it ever
// reached the broker leaves such a journal too, also on a host where the
// service was never installed. There the broker's proof holds without it:
// a lease is the service's own record, installed only by the running
// service for a registration it authenticated, and the service's removal
// refuses while any lease is active or retained. So where the Service
// Control Manager knows no such service (ERROR_SERVICE_DOES_NOT_EXIST), no
// lease can exist for the profile, and the run's Job, which killed its
// processes when the dead helper's last handle closed, has nothing the
// broker could still protect or prove. Every other answer keeps the rule:
// an installed service must recover the lease itself (the client proves the
// pipe's server is that service), and a manager that cannot be asked, or a
// service that is present but does not answer as itself, keeps the journal.
Result<void> BrokerRecovery(Platform& platform, const std::string& profile_name) {
    TELVO_TRY_ASSIGN(const bool installed, network_broker::NetworkServiceInstalled(platform));
    if (!installed) return {};
    return network_broker::RecoverOfflineLease(platform, profile_name);
}

// One journal, from its name to its removal.
Result<void> RecoverJournal(Platform& platform, std::string_view directory, std::u16string_view wide_stem) {
    auto stem = winformat::Utf16ToUtf8(wide_stem);
    if (!stem) return Fail("invalid recovery journal name");
    TELVO_TRY(identity::ValidateProfileName(*stem));
    const std::string path = JournalPath(directory, *stem);
    TELVO_TRY(winutil::ToExtendedPath(path));

    TELVO_TRY_ASSIGN(const JournalData journal, ReadJournalFile(platform, path));
    if (journal.profile_name != *stem) return Fail("recovery journal filename does not match its profile identity");

    TELVO_TRY_ASSIGN(const Liveness liveness, ProbeLiveMarker(platform, journal.mutex_name));
    if (liveness == Liveness::alive) return {};

    // Nothing of the run is touched until the broker has proved its job
    // empty: a process still in it could use what the cleanup would revoke.
    if (journal.broker_required) {
        auto recovered = BrokerRecovery(platform, journal.profile_name);
        if (!recovered) {
            return Fail(std::move(recovered.error())
                            .Context("offline broker could not prove the stale job empty; journal and ACLs retained"));
        }
    }
    if (auto cleaned = ExactCleanup(platform, journal, path); !cleaned) {
        return Fail(std::move(cleaned.error()).Context("could not recover stale sandbox " + journal.profile_name));
    }
    return RemoveJournalFile(platform, path, "could not remove recovered journal " + path);
}

}  // namespace

Result<void> RecoverStaleRuns(Platform& platform, std::string_view recovery_directory) {
    const std::optional<platform::UniqueHandle> directory = OpenRecoveryDirectory(platform, recovery_directory);
    if (!directory) return {};

    auto names = ListRecoveryDirectory(platform, directory->get());
    if (!names) {
        return Fail(std::move(names.error()).Context("could not enumerate " + std::string(recovery_directory)));
    }
    for (const std::u16string& name : *names) {
        if (const std::optional<std::u16string_view> stem = JournalStem(name)) {
            TELVO_TRY(RecoverJournal(platform, recovery_directory, *stem));
        } else if (const std::optional<std::u16string_view> draft = DraftStem(name)) {
            RemoveDeadDraft(platform, recovery_directory, *draft);
        }
    }
    return {};
}

}  // namespace telvo::windows
