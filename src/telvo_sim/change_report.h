#pragma once

#include <string>
#include <vector>

#include "platform/sim/sim_change_log.h"

namespace telvo::telvo_sim {

// The readable report of what a run changed on the simulated host and
// whether each change was undone by the end of the log (docs/telvo-sim.md,
// "The change report"). One group per object, in the order the objects were
// first changed: file-system objects by their path, then "profile <name>",
// "mutex <name>", "registry HKLM\<key>\<value>", "service <name>",
// "lease <id>", "wfp filter <id>". Each line
// is "  undone  <change>" or "  left    <change>", followed by " (<n> times)"
// when the same change was made to the object more than once; the last line
// counts the lines: "<n> changes, <m> undone, <k> left".
//
// - An object's descriptor is compared part by part (owner, group, DACL
//   flags, SACL) and its DACL entry by entry, in SDDL: from the descriptor it
//   had before its first change (or was created with) through every later
//   one. An entry that appeared is "dacl added", undone when it is gone at
//   the end; an entry of the first descriptor that disappeared is "dacl
//   removed", undone when it is back. An object created and gone again has
//   its creation line only.
// - "created <kind>" is undone when the object (followed through renames)
//   is gone at the end; "deleted <kind>" of an object that existed before
//   is left; "renamed to <path>" is undone when the object is back under the
//   name it had before, or was created by the run and is gone; "data written" of an
//   object that existed before is left (data is not kept to compare).
// - A profile or a mutex has one line: "created" (undone when gone at the
//   end) or, when it existed before, "deleted" or "destroyed" (undone when
//   it exists again). A profile's line carries its SID.
// - A registry value "set" is undone when its data is back to what it was;
//   a service "installed" or "changed" is left.
// - An offline-network lease has one line, from the filtering engine's
//   filter changes grouped by the lease record in their provider data:
//   "installed (profile <name>, filters <ids>)", undone when its filters
//   were removed again, or "removed (...)" of a lease that was there
//   before, undone when its filters are back. A filter without a lease
//   record is a "wfp filter <id>" of its own, "added" or "deleted".
//
// An object "meant to stay" is one of `meant_to_stay` (paths of files or
// directories that the helper keeps between runs on purpose, such as its
// state directory): its heading ends in "  (meant to stay)".
struct ReportedChange {
    std::string object;  // the group's heading
    std::string change;
    bool undone = false;
    int times = 1;
    bool meant_to_stay = false;
};
std::vector<ReportedChange> ReportChanges(const platform::sim::SimChangeLog& log,
                                          const std::vector<std::u16string>& meant_to_stay = {});
std::string DescribeChanges(const platform::sim::SimChangeLog& log,
                            const std::vector<std::u16string>& meant_to_stay = {});
// The same lines as JSON, one object a line: {"object", "change", "status"
// ("undone" or "left"), "times", "meantToStay"}.
std::string DescribeChangesAsJson(const platform::sim::SimChangeLog& log,
                                  const std::vector<std::u16string>& meant_to_stay = {});

}  // namespace telvo::telvo_sim
