#include "windows/run_orchestration.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/try.h"
#include "identity/capability_set.h"
#include "identity/profile.h"
#include "process/sandbox_job.h"
#include "process/sandbox_launch.h"
#include "windows/acl_mutation_lock.h"
#include "windows/command_authorities.h"
#include "windows/exact_cleanup.h"
#include "windows/journal.h"
#include "windows/stale_run_recovery.h"
#include "windows/state_directory.h"

namespace telvo::windows {

namespace {

using platform::Platform;

// The command without its trailing white space (every Unicode White_Space
// character, as UTF-8) is not empty.
bool HasContent(std::string_view command) {
    static constexpr std::string_view kWhiteSpace[] = {
        "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
        "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
        "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
    };
    for (;;) {
        bool trimmed = false;
        for (std::string_view space : kWhiteSpace) {
            if (command.ends_with(space)) {
                command.remove_suffix(space.size());
                trimmed = true;
                break;
            }
        }
        if (!trimmed) return !command.empty();
    }
}

Result<void> CheckCommand(std::string_view command) {
    if (!HasContent(command) || command.find('\0') != std::string_view::npos) {
        return Fail("command must be non-empty and contain no NUL byte");
    }
    return {};
}

Result<std::int32_t> ExecuteRecover(Platform& platform) {
    TELVO_TRY_ASSIGN(const std::string state, PrepareStateDirectory(platform));
    const std::atomic<bool> not_cancellable{false};
    TELVO_TRY_ASSIGN(const AclMutationLockGuard lock, AcquireAclMutationLock(platform, state, not_cancellable));
    TELVO_TRY(RecoverStaleRuns(platform, state));
    return 0;
}

// The run's grants, profile and journal are in place while the teardown waits.
constexpr std::string_view kTeardownLockTimeout =
    "ACL mutation lock is busy; timed out; the run's ACLs, profile and journal are kept for crash recovery";

// After the command (or its failed set-up): the job is ended and proved
// empty, and only then is the run undone; every failure on the way is kept.
Result<std::int32_t> TearDown(Platform& platform, const std::string& state, process::SandboxJob& job,
                              const JournalRecord& journal, Result<std::int32_t> launched, bool& deferred) {
    (void)process::TerminateAndDrainJob(
        job, launched ? static_cast<std::uint32_t>(*launched) : process::kLaunchFailedExitCode);
    std::optional<Error> not_empty;
    if (auto active = process::JobActiveProcessCount(job); !active) {
        not_empty = std::move(active.error());
    } else if (*active != 0) {
        not_empty = Error("Windows sandbox job still has " + std::to_string(*active) + " active process(es)");
    }

    std::vector<Error> failures;
    if (!launched) failures.push_back(std::move(launched.error()).Context("sandbox command failed"));
    for (std::string& failure : process::JobTerminationFailures(job)) failures.emplace_back(std::move(failure));
    if (not_empty) failures.push_back(std::move(*not_empty).Context("could not prove job empty"));

    deferred = not_empty.has_value();
    if (deferred) {
        // Something of the command may still run: its grants stay until
        // recovery proves the run dead.
        failures.push_back(Error("ACL/profile cleanup deferred to crash recovery because the job is not proven empty")
                               .Context("sandbox ACL/profile cleanup failed"));
    } else {
        const std::atomic<bool> not_cancellable{false};
        auto finished = [&]() -> Result<void> {
            TELVO_TRY_ASSIGN(const AclMutationLockGuard lock,
                             AcquireAclMutationLock(platform, state, not_cancellable, kTeardownLockTimeout));
            return FinishJournal(platform, journal,
                                 [&](const JournalData& data) { return ExactCleanup(platform, data, journal.path); });
        }();
        if (!finished) failures.push_back(std::move(finished.error()).Context("sandbox ACL/profile cleanup failed"));
    }
    if (failures.empty()) return *launched;
    return Fail(Error::Joined(std::move(failures)));
}

Result<std::int32_t> ExecuteRun(Platform& platform, const protocol::Run& run) {
    TELVO_TRY_ASSIGN(const std::string state, PrepareStateDirectory(platform));
    TELVO_TRY(CheckCommand(run.command));
    TELVO_TRY_ASSIGN(const CheckedAuthorities checked, CheckCommandAuthorities(platform, run, state));
    // A command line or working directory that CreateProcessW would refuse
    // is refused while nothing has changed.
    TELVO_TRY(process::PrepareLaunchText(platform, run.command, checked.cwd));

    const process::ControllerGoneFlag gone = std::make_shared<std::atomic<bool>>(false);
    std::optional<AclMutationLockGuard> lock;
    {
        TELVO_TRY_ASSIGN(AclMutationLockGuard acquired, AcquireAclMutationLock(platform, state, *gone));
        lock.emplace(std::move(acquired));
    }
    TELVO_TRY(RecoverStaleRuns(platform, state));

    std::vector<std::string> authority_paths;
    for (const CommandAuthority& authority : checked.authorities) authority_paths.push_back(authority.path.text());
    TELVO_TRY_ASSIGN(const std::string profile, identity::NewProfileName(platform.system));
    const std::string mutex = "Global\\" + profile;
    TELVO_TRY_ASSIGN(platform::UniqueHandle marker, CreateLiveMarker(platform, mutex));
    TELVO_TRY_ASSIGN(JournalRecord journal, CreateJournal(platform, state, profile, mutex, authority_paths));
    if (!run.network_access) {
        // Recorded before the broker is ever asked for a lease.
        journal.data.broker_required = true;
        TELVO_TRY(WriteJournal(platform, journal));
    }
    TELVO_TRY_ASSIGN(const identity::CapabilitySet capabilities,
                     identity::CapabilitySet::Resolve(platform.appcontainer));
    TELVO_TRY_ASSIGN(const winformat::Sid sid, identity::CreateProfile(platform.appcontainer, profile, capabilities));
    TELVO_TRY_ASSIGN(std::string folder, identity::EnsureAppContainerTemp(platform, sid));
    TELVO_TRY_ASSIGN(const std::shared_ptr<process::SandboxJob> job, process::CreateSandboxJob(platform));
    TELVO_TRY_ASSIGN(const process::ParentMonitor monitor, process::StartParentMonitor(job, gone));

    const SandboxRun sandbox{
        .command = run.command,
        .cwd = checked.cwd,
        .network_access = run.network_access,
        .profile_name = profile,
        .app_container_sid = &sid,
        .capabilities = &capabilities,
        .app_container_folder = std::move(folder),
        .journal = &journal,
        .job = job,
        .controller_gone = gone,
        // The lock serialises the user's runs while they change DACLs, not
        // while their commands run.
        .dacl_changes_done = [&lock] { lock.reset(); },
    };
    auto launched = SetUpAndLaunch(platform, checked.authorities, run.private_paths, sandbox);
    lock.reset();

    bool deferred = false;
    auto result = TearDown(platform, state, *job, journal, std::move(launched), deferred);
    // The marker says the run is alive for as long as anything of it may
    // run: a job that was not proved empty dies with this process, and only
    // then may recovery undo the run.
    if (deferred) marker.release();
    return result;
}

}  // namespace

Result<std::int32_t> ExecuteRequest(Platform& platform, const protocol::Request& request) {
    if (const auto* run = std::get_if<protocol::Run>(&request)) return ExecuteRun(platform, *run);
    return ExecuteRecover(platform);
}

}  // namespace telvo::windows
