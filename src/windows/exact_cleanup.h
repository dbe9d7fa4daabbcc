#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/journal_json.h"
#include "winutil/recorded_path.h"

namespace telvo::windows {

// What a run changed on the host, as its recovery journal records it: the
// part of the journal that the exact cleanup undoes (the touched paths lie
// inside the authorities, which are walked whole). Paths are in extended form,
// as they were recorded. `journal_path` names the journal in messages.
struct CleanupPlan {
    std::string profile_name;
    std::vector<winutil::RecordedPath> authorities;
    std::vector<winutil::RecordedPath> metadata_paths;  // metadata ancestors outside the authorities
    std::vector<winutil::RecordedPath> created_paths;   // in creation order
    std::string journal_path;
};

// What a finished cleanup left, and why that was safe to leave (see below).
struct CleanupReport {
    std::uint64_t objects = 0;         // objects the last walk visited
    std::uint64_t unchangeable = 0;    // may hold an entry of the SID this user cannot remove
    std::uint64_t unopened = 0;        // refused even to a read
    std::uint64_t unlisted = 0;        // directories that refused to be listed
    std::uint64_t unnameable = 0;      // deeper than a path can name
    std::uint64_t past_bound = 0;      // authorities whose walk stopped at the cleanup bound
    std::uint64_t gone = 0;            // recorded authorities and metadata ancestors that no longer exist
    std::uint64_t left_created = 0;    // created directories left: not empty, or in use

    std::uint64_t passed_over() const { return unchangeable + unopened + unlisted + unnameable + past_bound; }
};

// Undoes a run: proves every recorded object that still exists is the one
// recorded (nothing is changed otherwise), removes every entry for the
// profile's SID from every object of each authority and from each metadata
// ancestor, proves them gone, deletes the profile, and removes the
// directories the run created. It does not stop at a failure after the
// identity proof: every failure is collected and returned as one error, the
// failures joined by "; ". The profile is deleted only when every entry that
// can be removed is proved gone.
//
// What the cleanup may leave, and why that blocks nothing:
// - The SID is new: no object held an entry of it before the grant. The grant
//   writes its entries only through handles this user opened for WRITE_DAC,
//   and leaves the sandbox neither WRITE_DAC nor WRITE_OWNER. So every object
//   that existed when it was granted can still be opened, read and changed by
//   this user at cleanup, whatever the command did: it cannot change such an
//   object's DACL or owner.
// - An object the cleanup cannot open, list, or change (WRITE_DAC refused, or
//   an entry of an opaque type holding the SID's bytes, which cannot be
//   removed exactly) was therefore made, or replaced, during the run: the
//   sandbox may create objects with descriptors of its own. Likewise a tree
//   deeper than a path can name. Their entries of the SID stay, and are
//   counted in the report; the walks pass them over and go on. The command
//   may also move an object it was granted below one it made: it is then out
//   of the walks' reach, and its entries stay in the same way.
// - Once the profile is deleted its SID belongs to no token, and an entry of
//   an AppContainer SID never grants anything by itself: an AppContainer
//   token gets only what both its own user and groups and its package are
//   granted. Such leftovers grant nothing to anyone.
// - The cleanup's bound counts objects once each (a hard link's further names
//   are visited once, under their first name, and count as names only). A
//   walk that reaches it has met more than ten times what any grant may
//   reach; the rest of that authority is counted as past the bound, and its
//   entries stay under the argument above, rather than keeping a journal that
//   every later recovery would stop at in the same place. Nothing of the run
//   executes during the cleanup (its job is proved empty first), so the tree
//   does not grow under the walk.
// - A recorded authority or metadata ancestor whose path no longer exists
//   (the project deleted or renamed after a crash, a removable drive back
//   under another letter) cannot be reached by path; what it holds keeps
//   entries of the deleted SID. A path that now names another object stays
//   a failure: nothing is undone, and the message names the journal that
//   keeps the user's runs blocked.
// - A failed proof of an object that this user can change (a final path that
//   moved, a failed read, an entry left that WRITE_DAC could remove) is a
//   failure, and the journal stays for the next recovery.
Result<CleanupReport> ExactCleanup(platform::Platform& platform, const CleanupPlan& plan);

// The exact cleanup of what a journal names (the cleanup FinishJournal runs),
// the journal lying at `journal_path`.
Result<void> ExactCleanup(platform::Platform& platform, const JournalData& journal, const std::string& journal_path);

}  // namespace telvo::windows
