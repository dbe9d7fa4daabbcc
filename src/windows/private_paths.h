#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/authority_access.h"
#include "windows/command_authorities.h"
#include "windows/journal.h"

namespace telvo::windows {

// Paths inside the authorities that the sandbox must never reach: the
// request's private paths and the controller's own state inside the root.
//
// The controller keeps its state in the root under two fixed names, the
// entry ".supervisor" and the directory "telvo-run" inside ".zanth". Both
// are private paths of the root in every run, whether or not they exist
// yet, so that no grant ever reaches them, and ".zanth", leading to a
// private path, is protected against deletion like every such ancestor.
//
// A private path that does not exist yet inside a writable authority is
// created as a directory (with every missing directory on the way) before
// the first grant: otherwise the sandbox could create the name itself,
// inheriting the authority's grant, and leave there whatever the controller
// later trusts (its state, a repository's hooks). The new directory
// inherits no entry for the sandbox, and the sandbox can neither delete nor
// rename it (its parent grants no delete-child right, and the parent is a
// protected ancestor). Inside a read-only authority the sandbox cannot
// create anything, so nothing is created there. Each directory is recorded
// in the journal's created paths as soon as it exists (its identity is only
// known then) and before any grant; the run's cleanup removes it again while
// it is empty and still the recorded object. A crash between a creation and
// its record leaves an empty directory without any entry for the sandbox.

inline constexpr std::string_view kSupervisorName = ".supervisor";
inline constexpr std::string_view kControllerDirectoryName = ".zanth";
inline constexpr std::string_view kRunStateName = "telvo-run";

// Each request path (index i) must be a normalized local path ("privatePaths[<i>]
// must be a normalized absolute local-drive path") inside an authority ("private
// path is outside every command authority"). It is resolved through its
// nearest existing ancestor ("private path has no existing ancestor"), which
// must resolve inside the authority ("private path resolves outside its
// authority"), as must every existing ancestor above it ("private path ancestor
// resolves outside its authority: <path>"), and with the authority root's case
// ("private path casing does not match canonical root"). Any other failure is
// the cause of "could not establish private-path ancestors for <path>". The
// result: the authorities with the resolved private paths each contains, the
// two fixed names included in the root's.
Result<std::vector<AuthorityAccess>> EstablishPrivatePaths(platform::Platform& platform,
                                                           const std::vector<CommandAuthority>& authorities,
                                                           const std::vector<std::string>& private_paths);

// Creates the missing directories of the private paths of writable
// authorities, the outermost first, each recorded in the journal once it
// exists ("could not materialize private path <path>" with the cause).
Result<void> MaterializePrivatePaths(platform::Platform& platform, const std::vector<AuthorityAccess>& authorities,
                                     JournalRecord& journal);

}  // namespace telvo::windows
