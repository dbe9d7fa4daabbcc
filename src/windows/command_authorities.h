#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "identity/capability_set.h"
#include "platform/platform.h"
#include "process/sandbox_job.h"
#include "protocol/request.h"
#include "windows/journal.h"
#include "winformat/sid.h"
#include "winutil/local_path.h"

namespace telvo::windows {

// The directories a run's command may use, from the request's texts to the
// command's launch: checked before anything on the host changes, then, once
// the run's journal, profile and job exist, given their private paths and
// their exact grants, and handed to the launch.

// One directory (or, for a readable root, possibly a file) granted to the
// run: its canonical path in extended form.
struct CommandAuthority {
    winutil::LocalPath path;
    bool writable = false;
    bool directory = true;
};

// The authority list (the root first, then the readable roots in request
// order) and the canonical working directory.
struct CheckedAuthorities {
    std::vector<CommandAuthority> authorities;
    winutil::LocalPath cwd;
};

// Every rule on root, mode, readableRoots and cwd, in order, the first that
// fails being the error: normalized paths with a parent, an existing
// non-volume root directory, readable roots that are no volume, an account
// home (the Profile known folder) that no authority contains, a cwd that is
// a directory inside an authority, readable roots that neither repeat the
// root or each other nor (in "workspace-write" mode) nest with it, and no
// overlap between the authorities and `state_directory` (canonical). Reads
// only: a refusal leaves the host as it was.
Result<CheckedAuthorities> CheckCommandAuthorities(platform::Platform& platform, const protocol::Run& run,
                                                   std::string_view state_directory);

// What the set-up and launch need of the run: its identity, its journal
// (written, naming the authorities), its job and the controller-gone flag.
struct SandboxRun {
    std::string command{};
    winutil::LocalPath cwd;  // canonical
    bool network_access = false;
    std::string profile_name{};
    const winformat::Sid* app_container_sid = nullptr;
    const identity::CapabilitySet* capabilities = nullptr;
    std::string app_container_folder{};  // the child's home; its "Temp" is the child's temp
    JournalRecord* journal = nullptr;
    std::shared_ptr<process::SandboxJob> job{};
    process::ControllerGoneFlag controller_gone{};
    // Passed to the launch: the run's DACL changes are done.
    std::function<void()> dacl_changes_done{};
};

// The run's set-up and launch: establishes the private paths (creating the
// missing ones inside writable authorities, each recorded in the journal),
// grants every authority object by object and reads each grant back, builds
// the child's environment (the AppContainer folder as its home, the root as
// its workspace, the readable root directories as further roots) and
// launches the command. The controller going away stops it between the
// phases ("controller closed stdin during sandbox setup", "... during ACL
// setup", "... before process launch"). The command's exit code, or the
// first error; what was changed stays for the run's cleanup.
Result<std::int32_t> SetUpAndLaunch(platform::Platform& platform, const std::vector<CommandAuthority>& authorities,
                                    const std::vector<std::string>& private_paths, const SandboxRun& run);

}  // namespace telvo::windows
