#include "telvo_sim/change_report.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "offline_network/lease_record.h"
#include "winformat/ordinal_case.h"
#include "winformat/sddl.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"

namespace telvo::telvo_sim {

namespace {

using platform::sim::SimChange;
using Kind = SimChange::Kind;
namespace control = winformat::sd_control;

constexpr std::uint16_t kDaclFlags = control::kDaclProtected | control::kDaclAutoInherited | control::kDaclAutoInheritReq;
constexpr std::uint16_t kSaclFlags = control::kSaclProtected | control::kSaclAutoInherited | control::kSaclAutoInheritReq;

std::string Display(std::u16string_view text) { return winformat::Utf16ToDisplay(text); }

// A descriptor as the report compares it: each part in SDDL, the DACL's
// entries one by one. An absent part is empty.
struct DescriptorParts {
    std::string owner;
    std::string group;
    std::string dacl;  // "D:" with the DACL's flags, without its entries
    std::vector<std::string> aces;
    std::string sacl;  // the whole "S:" part
};

std::optional<std::string> AclSddl(const winformat::AclSlot& slot, std::uint16_t flags, bool sacl) {
    if (!slot.present()) return std::string();
    winformat::SecurityDescriptor only;
    only.control = flags;
    (sacl ? only.sacl : only.dacl) = slot;
    auto text = winformat::WriteSddl(only);
    if (!text) return std::nullopt;
    return std::move(*text);
}

DescriptorParts PartsOf(std::span<const std::uint8_t> bytes) {
    DescriptorParts parts;
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    if (!descriptor) {
        parts.dacl = "(unreadable descriptor)";
        return parts;
    }
    if (descriptor->owner) parts.owner = "O:" + winformat::WriteSddlSid(*descriptor->owner);
    if (descriptor->group) parts.group = "G:" + winformat::WriteSddlSid(*descriptor->group);
    const auto dacl = AclSddl(descriptor->dacl, descriptor->control & kDaclFlags, false);
    if (!dacl) {
        parts.dacl = "D:(entries with no SDDL form)";
    } else {
        // SDDL entries hold no parentheses of their own.
        const std::size_t first = dacl->find('(');
        parts.dacl = dacl->substr(0, first);
        for (std::size_t at = first; at < dacl->size();) {
            const std::size_t close = dacl->find(')', at);
            parts.aces.push_back(dacl->substr(at, close - at + 1));
            at = close + 1;
        }
    }
    const auto sacl = AclSddl(descriptor->sacl, descriptor->control & kSaclFlags, true);
    parts.sacl = sacl ? *sacl : "S:(entries with no SDDL form)";
    return parts;
}

struct Line {
    std::string text;
    bool undone = false;
    int times = 1;
};

// An object of the file system, followed through its renames.
struct FileObject {
    bool created = false;  // by the changes logged, not before them
    std::string kind;
    bool exists = true;
    std::u16string origin;  // where the log first met it
    std::u16string path;    // where it is now
    // The descriptor before the first change (or at creation), then each later one.
    std::vector<std::vector<std::uint8_t>> descriptors;
    bool descriptor_reported = false;
    bool write_reported = false;
};

// A profile or a mutex: it exists or not, by name.
struct NamedObject {
    bool existed_before = false;
    bool exists = false;
};

struct RegistryValue {
    std::vector<std::uint8_t> first;
    std::vector<std::uint8_t> last;
};

// How many times each entry appears in `aces`.
std::map<std::string, int> Counted(const std::vector<std::string>& aces) {
    std::map<std::string, int> counts;
    for (const auto& ace : aces) ++counts[ace];
    return counts;
}

int CountIn(const std::map<std::string, int>& counts, const std::string& ace) {
    auto it = counts.find(ace);
    return it == counts.end() ? 0 : it->second;
}

std::string OrNone(const std::string& part) { return part.empty() ? "(none)" : part; }

// The descriptor's changes over `descriptors`, the first being the state
// before them (or, for an object the changes created, the descriptor it was
// created with; the removal of an entry it was created with says so).
std::vector<Line> DescriptorLines(const std::vector<std::vector<std::uint8_t>>& descriptors, bool created) {
    std::vector<DescriptorParts> states;
    for (const auto& bytes : descriptors) states.push_back(PartsOf(bytes));
    const DescriptorParts& before = states.front();
    const DescriptorParts& after = states.back();

    // Each line with the state it first shows in, so the lines keep the order of the changes.
    std::vector<std::pair<std::size_t, Line>> lines;
    const std::pair<const char*, std::string DescriptorParts::*> scalars[] = {
        {"owner", &DescriptorParts::owner},
        {"group", &DescriptorParts::group},
        {"dacl flags", &DescriptorParts::dacl},
        {"sacl", &DescriptorParts::sacl}};
    for (const auto& [label, part] : scalars) {
        for (std::size_t i = 1; i < states.size(); ++i) {
            if (states[i].*part == before.*part) continue;
            const bool undone = after.*part == before.*part;
            const std::string& to = undone ? states[i].*part : after.*part;
            lines.emplace_back(i, Line{std::string(label) + " " + OrNone(before.*part) + " -> " + OrNone(to), undone});
            break;
        }
    }

    std::vector<std::map<std::string, int>> counts;
    for (const auto& state : states) counts.push_back(Counted(state.aces));
    std::vector<std::string> seen;
    for (const auto& state : states) {
        for (const auto& ace : state.aces) {
            if (std::find(seen.begin(), seen.end(), ace) == seen.end()) seen.push_back(ace);
        }
    }
    for (const auto& ace : seen) {
        const int base = CountIn(counts.front(), ace);
        const int end = CountIn(counts.back(), ace);
        std::optional<std::size_t> added;
        std::optional<std::size_t> removed;
        for (std::size_t i = 1; i < counts.size(); ++i) {
            const int now = CountIn(counts[i], ace);
            if (now > base && !added) added = i;
            if (now < base && !removed) removed = i;
        }
        if (added) lines.emplace_back(*added, Line{"dacl added " + ace, end <= base});
        if (removed) {
            lines.emplace_back(*removed, Line{"dacl removed " + ace + (created ? " (created with it)" : ""), end >= base});
        }
    }
    // By the state each line first shows in; lines of one state keep their order.
    std::vector<std::size_t> order(lines.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::ranges::sort(order, [&lines](std::size_t a, std::size_t b) {
        return std::pair(lines[a].first, a) < std::pair(lines[b].first, b);
    });
    std::vector<Line> ordered;
    for (const std::size_t i : order) ordered.push_back(std::move(lines[i].second));
    return ordered;
}

class ChangeReport {
public:
    void Take(const SimChange& change) {
        switch (change.kind) {
            case Kind::object_created: return Created(change);
            case Kind::object_deleted: return Deleted(change);
            case Kind::object_renamed: return Renamed(change);
            case Kind::descriptor_replaced: return DescriptorReplaced(change);
            case Kind::data_written: return Written(change);
            case Kind::profile_created:
            case Kind::profile_deleted: return Profile(change);
            case Kind::mutex_created:
            case Kind::mutex_destroyed: return Mutex(change);
            case Kind::registry_value_set: return RegistryValueSet(change);
            case Kind::service_changed: return Service(change);
            case Kind::wfp_filter_added:
            case Kind::wfp_filter_deleted: return Filter(change);
        }
    }

    // Every line, group by group, once every change has been taken.
    std::vector<ReportedChange> Lines(const std::vector<std::u16string>& meant_to_stay) {
        for (auto& [group, describe] : deferred_) {
            for (auto& line : describe()) Add(groups_[group], std::move(line));
        }
        deferred_.clear();
        std::set<std::u16string> staying;
        for (const auto& path : meant_to_stay) staying.insert(winformat::Upcased(path));
        std::vector<ReportedChange> lines;
        for (const auto& group : groups_) {
            const bool stays = group.path && staying.contains(winformat::Upcased(*group.path));
            for (const auto& line : group.lines) {
                lines.push_back({group.title, line.text, line.undone, line.times, stays});
            }
        }
        return lines;
    }

private:
    struct Group {
        std::string title;
        std::optional<std::u16string> path;  // of a file or directory
        std::vector<Line> lines;
    };

    // The same change made again to one object (a journal rewritten through
    // one temporary name) is one line, with the number of times.
    static void Add(Group& group, Line line) {
        for (Line& earlier : group.lines) {
            if (earlier.text == line.text && earlier.undone == line.undone) {
                ++earlier.times;
                return;
            }
        }
        group.lines.push_back(std::move(line));
    }

    std::size_t GroupOf(const std::string& title, std::optional<std::u16string> path = std::nullopt) {
        auto [it, added] = group_index_.try_emplace(title, groups_.size());
        if (added) groups_.push_back(Group{title, std::move(path), {}});
        return it->second;
    }
    std::size_t GroupOfPath(const std::u16string& path) { return GroupOf(Display(path), path); }
    // Lines whose status is known only once every change has been taken.
    void Defer(std::size_t group, std::function<std::vector<Line>()> describe) {
        deferred_.emplace_back(group, std::move(describe));
    }

    // The object now at `path`: one that existed before the log when the log has not met it.
    std::size_t ObjectAt(const std::u16string& path) {
        if (auto it = at_path_.find(path); it != at_path_.end()) return it->second;
        FileObject existing;
        existing.origin = path;
        existing.path = path;
        objects_.push_back(std::move(existing));
        return at_path_[path] = objects_.size() - 1;
    }

    void Created(const SimChange& change) {
        FileObject created;
        created.created = true;
        created.kind = Display(change.detail);
        created.origin = change.subject;
        created.path = change.subject;
        if (!change.after.empty()) created.descriptors.push_back(change.after);
        objects_.push_back(std::move(created));
        const std::size_t id = objects_.size() - 1;
        at_path_[change.subject] = id;
        Defer(GroupOfPath(change.subject),
              [this, id] { return std::vector<Line>{{"created " + objects_[id].kind, !objects_[id].exists}}; });
    }

    void Deleted(const SimChange& change) {
        const std::size_t id = ObjectAt(change.subject);
        FileObject& object = objects_[id];
        object.exists = false;
        at_path_.erase(change.subject);
        if (object.created) return;
        Defer(GroupOfPath(change.subject),
              [kind = Display(change.detail)] { return std::vector<Line>{{"deleted " + kind, false}}; });
    }

    void Renamed(const SimChange& change) {
        const std::size_t id = ObjectAt(change.subject);
        at_path_.erase(change.subject);
        at_path_[change.detail] = id;
        objects_[id].path = change.detail;
        Defer(GroupOfPath(change.subject), [this, id, to = Display(change.detail)] {
            const FileObject& object = objects_[id];
            const bool undone = object.created ? !object.exists : object.exists && object.path == object.origin;
            return std::vector<Line>{{"renamed to " + to, undone}};
        });
    }

    void DescriptorReplaced(const SimChange& change) {
        const std::size_t id = ObjectAt(change.subject);
        FileObject& object = objects_[id];
        if (object.descriptors.empty()) object.descriptors.push_back(change.before);
        object.descriptors.push_back(change.after);
        if (object.descriptor_reported) return;
        object.descriptor_reported = true;
        Defer(GroupOfPath(change.subject), [this, id] {
            const FileObject& described = objects_[id];
            // What an object the run made and removed again went through is gone with it.
            if (described.created && !described.exists) return std::vector<Line>{};
            return DescriptorLines(described.descriptors, described.created);
        });
    }

    void Written(const SimChange& change) {
        FileObject& object = objects_[ObjectAt(change.subject)];
        if (object.created || object.write_reported) return;
        object.write_reported = true;
        Defer(GroupOfPath(change.subject), [] { return std::vector<Line>{{"data written", false}}; });
    }

    // One line for a name: what first happened to it, undone when the name
    // is back where it started.
    void Named(std::map<std::u16string, NamedObject>& named, const std::u16string& name, bool creates,
               const std::string& title, std::string text) {
        auto [it, first] = named.try_emplace(winformat::Upcased(name));
        NamedObject& object = it->second;
        object.exists = creates;
        if (!first) return;
        object.existed_before = !creates;
        Defer(GroupOf(title), [&object, text = std::move(text)] {
            return std::vector<Line>{{text, object.exists == object.existed_before}};
        });
    }

    void Profile(const SimChange& change) {
        const bool creates = change.kind == Kind::profile_created;
        Named(profiles_, change.subject, creates, "profile " + Display(change.subject),
              std::string(creates ? "created" : "deleted") + " (" + Display(change.detail) + ")");
    }

    // A filter that carries a lease record belongs to its lease's one line;
    // any other filter has a line of its own.
    void Filter(const SimChange& change) {
        const bool adds = change.kind == Kind::wfp_filter_added;
        auto record = offline_network::DecodeLeaseRecord(std::string(change.after.begin(), change.after.end()));
        platform::Guid key{};
        if (change.before.size() == key.size()) std::ranges::copy(change.before, key.begin());
        const auto slot = record ? std::ranges::find(record->filter_keys, offline_network::GuidText(key)) -
                                       record->filter_keys.begin()
                                 : 0;
        if (!record || slot >= static_cast<std::ptrdiff_t>(offline_network::kFilterSlots)) {
            Named(filters_, change.subject, adds, "wfp filter " + Display(change.subject), adds ? "added" : "deleted");
            return;
        }
        auto [it, first] = leases_.try_emplace(record->lease_id);
        LeaseFilters& lease = it->second;
        if (first) {
            lease.installs = adds;
            lease.profile = record->profile_name;
            Defer(GroupOf("lease " + record->lease_id), [&lease] {
                std::string text = std::string(lease.installs ? "installed" : "removed") + " (profile " +
                                   lease.profile + ", filters";
                for (std::size_t i = 0; i < lease.ids.size(); ++i) text += (i == 0 ? " " : ", ") + lease.ids[i];
                // Undone when every filter it added is gone again, or every one it deleted is back.
                return std::vector<Line>{{text + ")", lease.present == 0}};
            });
        }
        std::string& id = lease.ids[static_cast<std::size_t>(slot)];
        if (id.empty()) id = Display(change.subject);
        lease.present += adds ? 1 : -1;
    }

    void Mutex(const SimChange& change) {
        const bool creates = change.kind == Kind::mutex_created;
        Named(mutexes_, change.subject, creates, "mutex " + Display(change.subject), creates ? "created" : "destroyed");
    }

    void RegistryValueSet(const SimChange& change) {
        auto [it, first] = registry_.try_emplace(winformat::Upcased(change.subject));
        RegistryValue& value = it->second;
        value.last = change.after;
        if (!first) return;
        value.first = change.before;
        Defer(GroupOf("registry HKLM\\" + Display(change.subject)),
              [&value] { return std::vector<Line>{{"value set", value.last == value.first}}; });
    }

    void Service(const SimChange& change) {
        Defer(GroupOf("service " + Display(change.subject)),
              [text = Display(change.detail)] { return std::vector<Line>{{text, false}}; });
    }

    std::vector<Group> groups_;
    std::map<std::string, std::size_t> group_index_;
    std::vector<std::pair<std::size_t, std::function<std::vector<Line>()>>> deferred_;
    std::vector<FileObject> objects_;
    std::map<std::u16string, std::size_t> at_path_;
    // std::map keeps its elements in place, so deferred lines may refer to them.
    std::map<std::u16string, NamedObject> profiles_;
    std::map<std::u16string, NamedObject> mutexes_;
    // A lease's four filters: its first change installs or removes it;
    // `present` counts its filters added less those deleted.
    struct LeaseFilters {
        bool installs = true;
        std::string profile;
        std::array<std::string, offline_network::kFilterSlots> ids;
        int present = 0;
    };
    std::map<std::string, LeaseFilters> leases_;
    std::map<std::u16string, NamedObject> filters_;
    std::map<std::u16string, RegistryValue> registry_;
};

}  // namespace

std::vector<ReportedChange> ReportChanges(const platform::sim::SimChangeLog& log,
                                          const std::vector<std::u16string>& meant_to_stay) {
    ChangeReport report;
    for (const SimChange& change : log.Changes()) report.Take(change);
    return report.Lines(meant_to_stay);
}

std::string DescribeChanges(const platform::sim::SimChangeLog& log, const std::vector<std::u16string>& meant_to_stay) {
    std::string text;
    std::size_t undone = 0;
    const std::string* heading = nullptr;
    const auto lines = ReportChanges(log, meant_to_stay);
    for (const ReportedChange& line : lines) {
        if (!heading || *heading != line.object) {
            heading = &line.object;
            text += line.object + (line.meant_to_stay ? "  (meant to stay)\n" : "\n");
        }
        text += std::string("  ") + (line.undone ? "undone" : "left  ") + "  " + line.change;
        text += line.times > 1 ? " (" + std::to_string(line.times) + " times)\n" : "\n";
        if (line.undone) ++undone;
    }
    text += std::to_string(lines.size()) + " changes, " + std::to_string(undone) + " undone, " +
            std::to_string(lines.size() - undone) + " left\n";
    return text;
}

std::string DescribeChangesAsJson(const platform::sim::SimChangeLog& log,
                                  const std::vector<std::u16string>& meant_to_stay) {
    std::string text;
    for (const ReportedChange& line : ReportChanges(log, meant_to_stay)) {
        json::Json entry = json::Json::object();
        entry["object"] = line.object;
        entry["change"] = line.change;
        entry["status"] = line.undone ? "undone" : "left";
        entry["times"] = line.times;
        entry["meantToStay"] = line.meant_to_stay;
        text += entry.dump(-1, ' ', false, json::Json::error_handler_t::replace) + "\n";
    }
    return text;
}

}  // namespace telvo::telvo_sim
