#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "windows/journal_json.h"

namespace telvo::windows {

// The recovery journal of a run, from its creation to its removal, and the
// live marker that tells a running run from a dead one.

// A journal and the file it lives in: "<profileName>.json" in the recovery directory.
struct JournalRecord {
    std::string path;
    JournalData data;
};

// "<profile name>.json" in `directory`.
std::string JournalPath(std::string_view directory, std::string_view profile_name);

// The first journal of a run: "<profileName>.json" in `recovery_directory`
// (created with its parents), recording the authorities with their current
// identities and nothing else yet. Refuses a journal that already exists.
// Authority paths are in extended form, as final paths are.
Result<JournalRecord> CreateJournal(platform::Platform& platform, std::string_view recovery_directory,
                                    std::string_view profile_name, std::string_view mutex_name,
                                    const std::vector<std::string>& authority_paths);

// Rewrites the whole journal file under the metadata lock: the JSON (at most
// 4 MiB) goes to "<journal>.new", is flushed, and then replaces the journal
// in one rename. A failure leaves the previous journal as it was and removes
// the temporary file.
Result<void> WriteJournal(platform::Platform& platform, const JournalRecord& record);

// Reads a journal file for recovery: a plain file (no link, no directory) of
// at most 4 MiB, decoded strictly and validated. The caller checks that the
// file's name matches the profile it names.
Result<JournalData> ReadJournalFile(platform::Platform& platform, std::string_view path);

// Undoes exactly what a journal names (the DACL engine's exact cleanup).
using JournalCleanup = std::function<Result<void>(const JournalData&)>;

// The end of a run: the exact cleanup, then the removal of the journal. A
// failed cleanup is returned and keeps the journal for recovery.
Result<void> FinishJournal(platform::Platform& platform, const JournalRecord& record,
                           const JournalCleanup& exact_cleanup);

// Deletes a journal file under the metadata lock; a failure is the cause of
// `failure_message` ("could not remove completed journal <path>" and the like).
Result<void> RemoveJournalFile(platform::Platform& platform, std::string_view path, std::string failure_message);

// A run is alive exactly as long as its live marker, a named global mutex
// ("Global\<profile name>"), exists: the run holds its only handle.
enum class Liveness { alive, dead };

// Creates the marker with an explicit owner, the process's user (not the
// token's default owner, which for an elevated administrator is
// Administrators), and a DACL that lets that user alone open it, for
// SYNCHRONIZE only. A marker that already exists is refused: its name
// belongs to another run.
Result<platform::UniqueHandle> CreateLiveMarker(platform::Platform& platform, std::string_view mutex_name);

// Whether the run that created the marker still holds it. The name is
// visible to everyone while the run lives, and anyone may create an object
// under it once the run has ended; since names are unique, anything found
// there that is not such a marker proves the run's own marker gone.
//
// The probe runs as the run's own user (the journals lie in that user's
// state directory) and opens the name for SYNCHRONIZE | READ_CONTROL. A
// marker of the run grants both: SYNCHRONIZE through its DACL, READ_CONTROL
// as its owner's implicit right, which no OWNER RIGHTS entry takes away, and
// no integrity label withholds either (neither is a write right). So a
// refusal (Win32 error 5) means another object, made by someone who let this
// user in less than a marker does, and counts as dead; so does a name held
// by an object of another type (error 6). What opens is alive only when its
// owner is the current user and its DACL is exactly the marker's; a mutex
// of any other owner or DACL (another user's that lets anyone wait, say)
// is dead. A marker that cannot be read, or an open that fails otherwise,
// keeps the journal.
Result<Liveness> ProbeLiveMarker(platform::Platform& platform, std::string_view mutex_name);

}  // namespace telvo::windows
