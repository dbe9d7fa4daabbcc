#include "process/sandbox_launch.h"

#include <algorithm>
#include <array>
#include <functional>
#include <utility>

#include "common/poisonable_mutex.h"
#include "common/size_probe.h"
#include "common/try.h"
#include "network_broker/offline_lease.h"
#include "windows/sandbox_access.h"
#include "winformat/text.h"
#include "winutil/local_path.h"

namespace telvo::process {

namespace {

using platform::Handle;
using platform::Platform;
using platform::UniqueHandle;

constexpr std::uint32_t kCreationFlags =
    platform::creation_flag::kSuspended | platform::creation_flag::kUnicodeEnvironment |
    platform::creation_flag::kExtendedStartupInfoPresent | platform::creation_flag::kNoWindow;
static_assert(kCreationFlags == 0x08080404);
constexpr std::uint32_t kAttributeCount = 4;
constexpr std::uint32_t kShareAll =
    platform::file_share::kRead | platform::file_share::kWrite | platform::file_share::kDelete;
// TOKEN_APPCONTAINER_INFORMATION: one pointer, then the SID it points at.
constexpr std::uint32_t kAppContainerInformationHeader = 8;
constexpr std::uint32_t kMaxTokenInformation = 0x10000;

// Serialises the window in which the child's standard handles are
// inheritable, so that a concurrent launch in this process cannot inherit a
// handle meant for another child.
PoisonableMutex& HandleInheritanceLock() {
    static PoisonableMutex lock;
    return lock;
}

struct Child {
    UniqueHandle process;
    UniqueHandle thread;
    std::uint32_t id = 0;
};

// The offline-network lease held for a run without network access: taken for
// the suspended child before it is resumed, given back once its job is
// proved empty. Empty when none is held.
// The offline-network lease a launch holds while its command may run.
struct OfflineProtection {
    std::unique_ptr<network_broker::OfflineLease> lease;
};

// Registers the offline-network lease of the suspended child with the broker
// (profile name, process id, job); without it the command is never resumed.
Result<OfflineProtection> ProtectOffline(Platform& platform, std::string_view profile_name, std::uint32_t process_id,
                                         const std::shared_ptr<SandboxJob>& job) {
    auto lease = network_broker::RegisterOfflineLease(platform, std::string(profile_name), process_id, job);
    if (!lease) {
        return Fail(std::move(lease.error()).Context("offline-network protection unavailable; command not resumed"));
    }
    return OfflineProtection{std::make_unique<network_broker::OfflineLease>(std::move(*lease))};
}

// Gives a held lease back once, also after a drain that failed: the release
// itself proves the job has no active process before it asks the broker, so
// while anything of the command may still run the lease and its filters
// stay. The outcome is reported either way; a lease not given back stays
// with the broker until recovery, and nothing retries it unseen.
Result<void> ReleaseProtection(OfflineProtection& protection) {
    if (!protection.lease) return {};
    if (auto released = network_broker::ReleaseOfflineLease(*protection.lease); !released) {
        protection.lease->KeepWithBroker();
        return Fail(std::move(released.error())
                        .Context("command completed but offline-network lease cleanup failed; protection retained"));
    }
    return {};
}

Result<platform::UniqueAttributeList> InitializeAttributeList(platform::Processes& processes) {
    // The size depends on the attribute count alone, so the sized call is made once.
    std::size_t needed = 0;
    auto probe = processes.InitializeProcThreadAttributeList(kAttributeCount, 0, needed);
    if (probe) return platform::UniqueAttributeList(processes, *probe);
    if (probe.error() != SysError::Win32(platform::win32_error::kInsufficientBuffer)) {
        return FailSys("InitializeProcThreadAttributeList(size)", probe.error());
    }
    std::size_t again = 0;
    TELVO_TRY_ASSIGN(const platform::AttributeList list,
                     Lift("InitializeProcThreadAttributeList",
                          processes.InitializeProcThreadAttributeList(kAttributeCount, needed, again)));
    return platform::UniqueAttributeList(processes, list);
}

// The four attributes, in this order: the AppContainer identity, the
// less-privileged opt-out, exactly the inherited handles, exactly the job.
Result<platform::UniqueAttributeList> BuildAttributeList(platform::Processes& processes,
                                                         platform::SecurityCapabilities capabilities,
                                                         const std::array<Handle, 2>& inherited, Handle job) {
    TELVO_TRY_ASSIGN(platform::UniqueAttributeList list, InitializeAttributeList(processes));
    namespace attribute = platform::proc_thread_attribute;
    const std::pair<std::uint32_t, const char*> names[] = {
        {attribute::kSecurityCapabilities, "SECURITY_CAPABILITIES"},
        {attribute::kAllApplicationPackagesPolicy, "ALL_APPLICATION_PACKAGES_POLICY"},
        {attribute::kHandleList, "HANDLE_LIST"},
        {attribute::kJobList, "JOB_LIST"},
    };
    const platform::ProcThreadAttributeValue values[] = {
        std::move(capabilities),
        platform::kAllApplicationPackagesOptOut,
        std::vector<Handle>(inherited.begin(), inherited.end()),
        std::vector<Handle>{job},
    };
    for (std::size_t i = 0; i < std::size(names); ++i) {
        TELVO_TRY(Lift(std::string("UpdateProcThreadAttribute(") + names[i].second + ")",
                       processes.UpdateProcThreadAttribute(list.get(), names[i].first, values[i])));
    }
    return list;
}

// A child that exists, with the failure to restore an inherit flag if there
// was one: it is then killed like a child that fails its proof.
struct Created {
    Child child;
    Result<void> restored;
};

// Creates the child under the handle-inheritance lock. The two standard
// handles are inheritable for the creation only: their previous flags come
// back whatever happens.
Result<Created> CreateUnderInheritanceLock(Platform& platform, platform::CreateProcessParameters& parameters,
                                           const platform::SecurityCapabilities& capabilities,
                                           const std::array<Handle, 2>& inherited, Handle job) {
    PoisonableMutex::Guard guard(HandleInheritanceLock());
    if (guard.poisoned()) return Fail("sandbox handle inheritance lock was poisoned");
    platform::Processes& processes = platform.processes;
    constexpr std::uint32_t kInherit = platform::handle_flag::kInherit;

    std::array<std::uint32_t, 2> previous{};
    for (std::size_t i = 0; i < inherited.size(); ++i) {
        TELVO_TRY_ASSIGN(previous[i], Lift("GetHandleInformation", processes.GetHandleInformation(inherited[i])));
    }
    std::size_t changed = 0;
    auto created = [&]() -> Result<platform::ProcessInformation> {
        for (; changed < inherited.size(); ++changed) {
            TELVO_TRY(Lift("SetHandleInformation", processes.SetHandleInformation(inherited[changed], kInherit, kInherit)));
        }
        TELVO_TRY_ASSIGN(platform::UniqueAttributeList list,
                         BuildAttributeList(processes, capabilities, inherited, job));
        parameters.startup_info.attribute_list = list.get();
        return Lift("CreateProcessW(AppContainer)", processes.CreateProcessW(parameters));
    }();

    FailureList restore_failures;
    for (std::size_t i = changed; i-- > 0;) {
        auto reset = Lift("SetHandleInformation", processes.SetHandleInformation(inherited[i], kInherit, previous[i]));
        if (!reset) restore_failures.Add(std::move(reset.error()));
    }
    if (!created) {
        FailureList failures;
        failures.Add(std::move(created.error()));
        if (auto restored = std::move(restore_failures).Finish(); !restored) failures.Add(std::move(restored.error()));
        return std::unexpected(std::move(failures).Finish().error());
    }
    return Created{Child{UniqueHandle(platform.kernel, created->process), UniqueHandle(platform.kernel, created->thread),
                         created->process_id},
                   std::move(restore_failures).Finish()};
}

platform::SecurityCapabilities SandboxCapabilities(const winformat::Sid& sid, const identity::CapabilitySet& set) {
    platform::SecurityCapabilities capabilities{sid, {}};
    for (std::size_t i = 0; i < set.sids().size(); ++i) {
        capabilities.capabilities.push_back({set.sids()[i], set.entries()[i].attributes});
    }
    return capabilities;
}

// Waits for the resumed command and reads its exit code.
Result<std::uint32_t> AwaitExit(Platform& platform, Handle process) {
    TELVO_TRY_ASSIGN(const std::uint32_t waited,
                     Lift("WaitForSingleObject", platform.kernel.WaitForSingleObject(process, platform::kInfinite)));
    if (waited != platform::wait_result::kObject0) return Fail("unexpected WaitForSingleObject result " + Hex32(waited));
    return Lift("GetExitCodeProcess", platform.processes.GetExitCodeProcess(process));
}

}  // namespace

Result<std::u16string> BuildCommandLine(std::u16string_view processor, std::string_view command) {
    TELVO_TRY_ASSIGN(const std::u16string text, winformat::Utf8ToUtf16(command));
    std::u16string line;
    line.reserve(processor.size() + text.size() + 16);
    line.append(u"\"").append(processor).append(u"\" /d /s /c \"").append(text).append(u"\"");
    if (line.size() + 1 > kMaxCommandLineUnits) return Fail("Windows command line exceeds 32767 UTF-16 code units");
    return line;
}

Result<std::u16string> LaunchWorkingDirectory(const winutil::LocalPath& working_directory) {
    std::u16string plain = working_directory.PlainWide();
    const std::size_t with_separator = plain.size() + (plain.ends_with(u'\\') ? 0 : 1);
    if (with_separator > kMaxWorkingDirectoryUnits) {
        return Fail("cwd exceeds the " + std::to_string(kMaxWorkingDirectoryUnits - 1) +
                    " UTF-16 code units of a Windows current directory");
    }
    return plain;
}

Result<LaunchText> PrepareLaunchText(Platform& platform, std::string_view command,
                                     const winutil::LocalPath& working_directory) {
    LaunchText text;
    TELVO_TRY_ASSIGN(text.processor, FindCommandProcessor(platform));
    TELVO_TRY_ASSIGN(text.command_line, BuildCommandLine(text.processor.path, command));
    TELVO_TRY_ASSIGN(text.working_directory, LaunchWorkingDirectory(working_directory));
    return text;
}

Result<UniqueHandle> VerifyChildToken(Platform& platform, Handle process, const winformat::Sid& expected) {
    TELVO_TRY_ASSIGN(const Handle opened,
                     Lift("OpenProcessToken(sandbox child)",
                          platform.security.OpenProcessToken(
                              process, platform::token_access::kQuery | platform::token_access::kDuplicate)));
    UniqueHandle token(platform.kernel, opened);

    std::uint32_t length = 0;
    TELVO_TRY_ASSIGN(const platform::TokenInformation is_container,
                     Lift("GetTokenInformation(TokenIsAppContainer)",
                          platform.security.GetTokenInformation(token.get(), platform::token_information::kIsAppContainer,
                                                                sizeof(std::uint32_t), length)));
    const bool app_container = std::any_of(is_container.bytes.begin(), is_container.bytes.end(),
                                           [](std::uint8_t byte) { return byte != 0; });
    if (!app_container) return Fail("sandbox child token is not AppContainer; command not resumed");

    constexpr char kOperation[] = "GetTokenInformation(TokenAppContainerSid)";
    std::uint32_t needed = 0;
    auto probe = platform.security.GetTokenInformation(token.get(), platform::token_information::kAppContainerSid, 0,
                                                       needed);
    if (!probe && probe.error() != SysError::Win32(platform::win32_error::kInsufficientBuffer)) {
        return FailSys(kOperation, probe.error());
    }
    auto bounded = [](std::uint32_t size) -> Result<std::size_t> {
        if (size < kAppContainerInformationHeader || size > kMaxTokenInformation) {
            return Fail("invalid sandbox child AppContainer SID information length");
        }
        return size;
    };
    TELVO_TRY_ASSIGN(const std::size_t first, bounded(needed));
    platform::TokenInformation answer;
    std::uint32_t returned = 0;
    TELVO_TRY(ProbeSized(first, kSizeProbeAttempts, "sandbox child token information changed size repeatedly",
                         [&](std::vector<std::uint8_t>& buffer) -> Result<std::optional<std::size_t>> {
                             auto read = platform.security.GetTokenInformation(
                                 token.get(), platform::token_information::kAppContainerSid,
                                 static_cast<std::uint32_t>(buffer.size()), returned);
                             if (read) {
                                 answer = std::move(*read);
                                 return std::nullopt;
                             }
                             if (read.error() != SysError::Win32(platform::win32_error::kInsufficientBuffer)) {
                                 return FailSys(kOperation, read.error());
                             }
                             TELVO_TRY_ASSIGN(const std::size_t grown, bounded(returned));
                             return std::optional<std::size_t>(grown);
                         }));
    if (answer.bytes.empty() || returned < kAppContainerInformationHeader + answer.bytes.size()) {
        return Fail("invalid sandbox child AppContainer SID information length");
    }
    const auto sid = winformat::Sid::FromBytes(answer.bytes);
    if (!sid || *sid != expected) return Fail("sandbox child AppContainer SID does not match the run; command not resumed");
    return token;
}

Result<std::int32_t> LaunchSandboxedCommand(Platform& platform, const LaunchInputs& inputs) {
    TELVO_TRY_ASSIGN(LaunchText text, PrepareLaunchText(platform, inputs.command, inputs.working_directory));

    TELVO_TRY_ASSIGN(const Handle opened,
                     Lift("CreateFileW(NUL)",
                          platform.files.CreateFileW(u"NUL", platform::file_access::kFileGenericRead, kShareAll,
                                                     platform::creation_disposition::kOpenExisting, 0)));
    UniqueHandle null_input(platform.kernel, opened);
    TELVO_TRY_ASSIGN(const Handle output, Lift("GetStdHandle(STD_OUTPUT_HANDLE)",
                                               platform.console.GetStdHandle(platform::StdStream::output)));
    if (!platform::IsUsable(output)) {
        return Fail(Error::Win32("GetStdHandle(STD_OUTPUT_HANDLE)", platform::win32_error::kInvalidHandle));
    }
    if (inputs.controller_gone->load()) return Fail("sandbox launch cancelled because the controller closed stdin");

    platform::CreateProcessParameters parameters;
    parameters.application_name = text.processor.path;
    parameters.command_line = std::move(text.command_line);
    parameters.inherit_handles = true;
    parameters.creation_flags = kCreationFlags;
    parameters.environment = inputs.environment->block;
    parameters.current_directory = std::move(text.working_directory);
    parameters.startup_info.cb = platform::startup_info_layout::kExtendedSize;
    parameters.startup_info.flags = platform::startup_flag::kUseStdHandles;
    parameters.startup_info.std_input = null_input.get();
    parameters.startup_info.std_output = output;
    parameters.startup_info.std_error = output;
    TELVO_TRY_ASSIGN(Created created,
                     CreateUnderInheritanceLock(platform, parameters,
                                                SandboxCapabilities(*inputs.app_container_sid, *inputs.capabilities),
                                                {null_input.get(), output}, inputs.job->handle()));
    const Child& child = created.child;

    // Suspended in the job: nothing of the command has run yet.
    OfflineProtection protection;
    auto resumed = [&]() -> Result<void> {
        TELVO_TRY(created.restored);
        TELVO_TRY_ASSIGN(const UniqueHandle token,
                         VerifyChildToken(platform, child.process.get(), *inputs.app_container_sid));
        TELVO_TRY(windows::VerifySandboxAccess(
            platform, token.get(),
            windows::SandboxAccessRun{inputs.authorities, inputs.app_container_sid, inputs.journal,
                                      inputs.controller_gone.get()}));
        if (inputs.dacl_changes_done) inputs.dacl_changes_done();
        if (!inputs.network_access) {
            TELVO_TRY_ASSIGN(protection, ProtectOffline(platform, inputs.profile_name, child.id, inputs.job));
        }
        TELVO_TRY(Lift("ResumeThread", platform.processes.ResumeThread(child.thread.get())));
        return {};
    }();
    if (!resumed) {
        // The job takes the child; a failure there is listed on the job.
        // A drain that fails is listed on the job.
        (void)TerminateAndDrainJob(*inputs.job, kLaunchFailedExitCode);
        FailureList failures;
        failures.Add(std::move(resumed.error()));
        if (auto released = ReleaseProtection(protection); !released) failures.Add(std::move(released.error()));
        return std::unexpected(std::move(failures).Finish().error());
    }

    auto exit_code = AwaitExit(platform, child.process.get());
    // Nothing the command started outlives it. A failure is listed on the
    // job, whose emptiness the run proves itself.
    (void)TerminateAndDrainJob(*inputs.job, exit_code ? *exit_code : kLaunchFailedExitCode);
    FailureList failures;
    if (!exit_code) failures.Add(std::move(exit_code.error()));
    if (auto released = ReleaseProtection(protection); !released) failures.Add(std::move(released.error()));
    if (!failures.empty()) return std::unexpected(std::move(failures).Finish().error());
    return static_cast<std::int32_t>(*exit_code);
}

}  // namespace telvo::process
