#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "identity/capability_set.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "process/child_environment.h"
#include "process/sandbox_job.h"
#include "windows/authority_access.h"
#include "windows/journal.h"
#include "winformat/sid.h"

namespace telvo::process {

// The sandboxed command's one process: created suspended inside the run's
// job as a less-privileged AppContainer process, proved to carry the run's
// identity and to reach exactly what the policy grants, held offline when
// network access is not granted, and only then resumed, waited for and
// drained. It never runs an instruction before all of that is proved: every
// failure before the resume kills it through the job, and a message saying
// "command not resumed" means it never ran.

// The longest command line CreateProcessW takes, in UTF-16 units with its
// terminating NUL: the text itself has at most one unit less.
inline constexpr std::size_t kMaxCommandLineUnits = 32767;
// The longest current directory Windows sets for a process that is not
// long-path aware (SetCurrentDirectory): MAX_PATH - 1 units with the trailing
// backslash, so 258 for a directory named without one. Whether cmd.exe is
// long-path aware is unconfirmed; a longer directory is refused.
inline constexpr std::size_t kMaxWorkingDirectoryUnits = 259;
// What the job's processes end with when the launch fails before the command ran.
inline constexpr std::uint32_t kLaunchFailedExitCode = 125;

// `"<processor>" /d /s /c "<command>"`, the command unchanged (quotes
// included); with its terminating NUL longer than kMaxCommandLineUnits:
// "Windows command line exceeds 32767 UTF-16 code units".
Result<std::u16string> BuildCommandLine(std::u16string_view processor, std::string_view command);

// The working directory in the drive-letter form
// CreateProcessW is given: cmd.exe takes a current directory that starts with
// \\ for a UNC path and runs in the Windows directory instead. Longer than
// kMaxWorkingDirectoryUnits with a trailing backslash: "cwd exceeds the 258
// UTF-16 code units of a Windows current directory".
Result<std::u16string> LaunchWorkingDirectory(const winutil::LocalPath& working_directory);

// What CreateProcessW is given as text, for a run to make before anything on
// the host changes: the command processor, the command line and the working
// directory, with the refusals above.
struct LaunchText {
    CommandProcessor processor;
    std::u16string command_line;
    std::u16string working_directory;
};
Result<LaunchText> PrepareLaunchText(platform::Platform& platform, std::string_view command,
                                     const winutil::LocalPath& working_directory);

// Proves that the child's token is an AppContainer token of `expected`:
// "sandbox child token is not AppContainer; command not resumed", "sandbox
// child AppContainer SID does not match the run; command not resumed", and a
// TokenAppContainerSid answer too short for its SID "invalid sandbox child
// AppContainer SID information length". Returns the proved token, opened
// for query and duplication.
Result<platform::UniqueHandle> VerifyChildToken(platform::Platform& platform, platform::Handle process,
                                                const winformat::Sid& expected);

// What one launch needs of its run. The pointers stay valid for the call.
struct LaunchInputs {
    std::string command{};
    winutil::LocalPath working_directory;
    std::string profile_name{};
    const winformat::Sid* app_container_sid = nullptr;
    const identity::CapabilitySet* capabilities = nullptr;
    std::shared_ptr<SandboxJob> job{};
    ControllerGoneFlag controller_gone{};
    const ChildEnvironment* environment = nullptr;
    bool network_access = false;
    // What the access verification proves, and the journal it records
    // prepared metadata ancestors in.
    const std::vector<windows::AuthorityAccess>* authorities = nullptr;
    windows::JournalRecord* journal = nullptr;
    // Called once the child's access is proved, before anything else: the
    // run changes no DACL from then until its teardown, so other runs of the
    // user may change theirs while the command runs.
    std::function<void()> dacl_changes_done{};
};

// Runs the command through the system command processor, with the null
// device as standard input and the helper's own standard output as standard
// output and error, and returns the processor's exit code once the job is
// drained. The two standard handles are made inheritable only under the
// process-wide handle-inheritance lock, for the creation alone, and get their
// previous flags back on every path; the child inherits exactly them.
Result<std::int32_t> LaunchSandboxedCommand(platform::Platform& platform, const LaunchInputs& inputs);

}  // namespace telvo::process
